#include "message_stream_zmq_raw.hpp"

#include <core/logger.hpp>

#include <boost/asio/error.hpp>

#include <algorithm>
#include <string_view>
#include <utility>

namespace kelm::libs::core {

namespace {

class subscription_impl final : public message_stream::subscription {
public:
    explicit subscription_impl(std::shared_ptr<message_stream::callback> _callback)
        : m_callback(std::move(_callback)) {}

private:
    // The only owner of the callback; the stream holds it weakly.
    std::shared_ptr<message_stream::callback> m_callback;
};

std::string_view to_std(boost::string_view _text) {
    return std::string_view(_text.data(), _text.size());
}

}  // namespace

message_stream_zmq_raw::message_stream_zmq_raw(boost::asio::io_context& _io_context,
                                               const component_logger& _logger,
                                               const std::string& _address)
    : m_callbacks(std::make_shared<callbacks_map>()), m_socket(_io_context), m_logger(_logger) {
    m_socket.connect(_address);
    setup_receive();
}

message_stream::subscription::ptr message_stream_zmq_raw::subscribe(boost::string_view _channel,
                                                                    callback _callback) {
    auto entry = m_callbacks->find(to_std(_channel));
    if (entry == m_callbacks->end()) {
        // Each channel is subscribed in ZeroMQ once, and stays subscribed.
        m_socket.subscribe(to_std(_channel));
        entry = m_callbacks->emplace(std::string(_channel), callbacks_vector()).first;
    }
    auto shared = std::make_shared<callback>(std::move(_callback));
    entry->second.push_back(shared);
    return std::make_unique<subscription_impl>(std::move(shared));
}

void message_stream_zmq_raw::setup_receive() {
    m_socket.async_receive(
        [callbacks = std::weak_ptr<callbacks_map>(m_callbacks), &logger = m_logger, this](
            const boost::system::error_code& _error, asio_zmq::message& _frame, std::size_t) {
            on_receive(callbacks, logger, this, _error, _frame);
        });
}

void message_stream_zmq_raw::on_receive(const std::weak_ptr<callbacks_map>& _callbacks,
                                        const component_logger& _logger,
                                        message_stream_zmq_raw* _stream,
                                        const boost::system::error_code& _error,
                                        asio_zmq::message& _frame) {
    if (_error) {
        if (_error != boost::asio::error::operation_aborted) {
            _logger.log_error(_error, KELM_SOURCE_LOCATION());
        }
        return;
    }
    // Keeps the map, and with it the channel being dispatched, alive even when a
    // callback destroys the stream.
    const auto callbacks = _callbacks.lock();
    if (!callbacks) {
        return;
    }
    _stream->setup_receive();
    process_message(*callbacks,
                    boost::string_view(static_cast<const char*>(_frame.data()), _frame.size()));
}

void message_stream_zmq_raw::process_message(callbacks_map& _callbacks,
                                             boost::string_view _message) {
    const auto callbacks = find_callbacks(_callbacks, _message);
    if (!callbacks) {
        return;
    }
    call_callbacks(*callbacks, _message);
    remove_expired_callbacks(*callbacks);
}

// The smallest key that is a prefix of the message, which is also the shortest. Instead
// of walking every key, it looks up the message's prefixes shortest first and lets each
// look-up rule out the lengths the next one need not try: the first key not below a
// prefix of length n is the smallest key that starts with it, if any does; when that
// key parts from the message at byte c, no key of length n to c can match, since each
// such prefix of the message would be below it.
boost::optional<message_stream_zmq_raw::callbacks_vector&> message_stream_zmq_raw::find_callbacks(
    callbacks_map& _callbacks, boost::string_view _message) {
    const std::string_view message = to_std(_message);
    std::size_t length = 0;
    while (length <= message.size()) {
        const auto candidate = _callbacks.lower_bound(message.substr(0, length));
        if (candidate == _callbacks.end()) {
            return boost::none;
        }
        const std::string& key = candidate->first;
        const std::size_t common =
            std::mismatch(key.begin(), key.end(), message.begin(), message.end()).first -
            key.begin();
        if (common == key.size()) {
            return candidate->second;
        }
        if (common < length) {
            // No key starts with this prefix, so none starts with a longer one either.
            return boost::none;
        }
        length = common + 1;
    }
    return boost::none;
}

// Callbacks subscribed while the frame is dispatched start with the next frame. The
// vector may grow meanwhile, so it is read by index.
void message_stream_zmq_raw::call_callbacks(const callbacks_vector& _callbacks,
                                            boost::string_view _message) {
    const std::size_t count = _callbacks.size();
    for (std::size_t index = 0; index < count; ++index) {
        if (const auto callback = _callbacks[index].lock()) {
            (*callback)(_message);
        }
    }
}

void message_stream_zmq_raw::remove_expired_callbacks(callbacks_vector& _callbacks) {
    _callbacks.erase(
        std::remove_if(_callbacks.begin(), _callbacks.end(),
                       [](const std::weak_ptr<callback>& _entry) { return _entry.expired(); }),
        _callbacks.end());
}

}  // namespace kelm::libs::core
