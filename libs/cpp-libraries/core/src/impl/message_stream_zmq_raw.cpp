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
                                               const std::string& _address,
                                               const socket_setup& _setup)
    : m_channels(std::make_shared<channels>()), m_socket(_io_context), m_logger(_logger) {
    // A SUB socket sends nothing but its subscriptions, and ZeroMQ drops those silently
    // once its send queue is full: without this limit gone, a stream subscribing more
    // than a thousand channels at once would never hear from some of them.
    m_socket.set_option(ZMQ_SNDHWM, 0);
    if (_setup) {
        _setup(m_socket);
    }
    m_socket.connect(_address);
    setup_receive();
}

message_stream::subscription::ptr message_stream_zmq_raw::subscribe(boost::string_view _channel,
                                                                    callback _callback) {
    auto entry = m_channels->m_callbacks.find(to_std(_channel));
    if (entry == m_channels->m_callbacks.end()) {
        // Each channel is subscribed in ZeroMQ once, and stays subscribed.
        m_socket.subscribe(to_std(_channel));
        entry = m_channels->m_callbacks.emplace(std::string(_channel), callbacks_vector()).first;
        auto& lengths = m_channels->m_lengths;
        const auto length = std::lower_bound(lengths.begin(), lengths.end(), _channel.size());
        if (length == lengths.end() || *length != _channel.size()) {
            lengths.insert(length, _channel.size());
        }
    }
    auto& callbacks = entry->second;
    // Dropped subscriptions leave only when their channel is dispatched to, which a channel
    // shadowed by a shorter one never is. So they leave here too, before the vector would
    // grow: that keeps a subscribe amortised constant and the vector within twice the most
    // subscriptions that were live at once. Not while the vector is being walked, though.
    if (callbacks.size() == callbacks.capacity() && &callbacks != m_channels->m_dispatched) {
        remove_expired_callbacks(callbacks);
    }
    auto shared = std::make_shared<callback>(std::move(_callback));
    callbacks.push_back(shared);
    return std::make_unique<subscription_impl>(std::move(shared));
}

void message_stream_zmq_raw::setup_receive() {
    m_socket.async_receive([weak = std::weak_ptr<channels>(m_channels), &logger = m_logger, this](
                               const boost::system::error_code& _error, asio_zmq::message& _frame,
                               std::size_t) { on_receive(weak, logger, this, _error, _frame); });
}

void message_stream_zmq_raw::on_receive(const std::weak_ptr<channels>& _channels,
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
    // Keeps the channels, the one being dispatched among them, alive even when a callback
    // destroys the stream.
    const auto subscribed = _channels.lock();
    if (!subscribed) {
        return;
    }
    _stream->setup_receive();
    process_message(*subscribed,
                    boost::string_view(static_cast<const char*>(_frame.data()), _frame.size()));
}

void message_stream_zmq_raw::process_message(channels& _channels, boost::string_view _message) {
    const auto callbacks = find_callbacks(_channels, _message);
    if (!callbacks) {
        return;
    }
    _channels.m_dispatched = &*callbacks;
    try {
        call_callbacks(*callbacks, _message);
    } catch (...) {
        _channels.m_dispatched = nullptr;
        throw;
    }
    _channels.m_dispatched = nullptr;
    remove_expired_callbacks(*callbacks);
}

// The smallest channel that starts the message. All channels that start it start each
// other, so the smallest is the shortest: the message's prefixes are tried shortest first,
// those of a length that some channel has, each with one look-up.
boost::optional<message_stream_zmq_raw::callbacks_vector&> message_stream_zmq_raw::find_callbacks(
    channels& _channels, boost::string_view _message) {
    const std::string_view message = to_std(_message);
    for (const std::size_t length : _channels.m_lengths) {
        if (length > message.size()) {
            break;
        }
        const auto entry = _channels.m_callbacks.find(message.substr(0, length));
        if (entry != _channels.m_callbacks.end()) {
            return entry->second;
        }
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
