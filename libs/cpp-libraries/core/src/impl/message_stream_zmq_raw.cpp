#include "message_stream_zmq_raw.hpp"

#include <core/logger.hpp>

#include <boost/asio/error.hpp>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
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

std::size_t channel_hash(std::string_view _channel) {
    return std::hash<std::string_view>()(_channel);
}

std::uint32_t tag(std::size_t _hash) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(_hash) >> 32);
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
    channel_entry* entry = m_channels->find(to_std(_channel));
    if (entry == nullptr) {
        // Each channel is subscribed in ZeroMQ once, and stays subscribed.
        m_socket.subscribe(to_std(_channel));
        entry = &m_channels->add(to_std(_channel));
        auto& lengths = m_channels->m_lengths;
        const auto length = std::lower_bound(lengths.begin(), lengths.end(), _channel.size());
        if (length == lengths.end() || *length != _channel.size()) {
            lengths.insert(length, _channel.size());
        }
    }
    auto& callbacks = entry->m_callbacks;
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
        if (channel_entry* const entry = _channels.find(message.substr(0, length))) {
            return entry->m_callbacks;
        }
    }
    return boost::none;
}

message_stream_zmq_raw::channel_entry* message_stream_zmq_raw::channels::find(
    std::string_view _channel) {
    if (m_slots.empty()) {
        return nullptr;
    }
    const std::size_t hash = channel_hash(_channel);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t index = hash & mask;; index = (index + 1) & mask) {
        const channel_slot slot = m_slots[index];
        if (slot.m_entry == 0) {
            return nullptr;
        }
        if (slot.m_tag == tag(hash)) {
            channel_entry& entry = m_entries[slot.m_entry - 1];
            if (entry.m_channel == _channel) {
                return &entry;
            }
        }
    }
}

message_stream_zmq_raw::channel_entry& message_stream_zmq_raw::channels::add(
    std::string_view _channel) {
    if (m_entries.size() >= std::numeric_limits<std::uint32_t>::max() - 1) {
        throw std::length_error("message stream: too many channels");
    }
    if (2 * (m_entries.size() + 1) > m_slots.size()) {
        m_slots.assign(std::max<std::size_t>(16, 2 * m_slots.size()), channel_slot());
        for (std::size_t entry = 0; entry < m_entries.size(); ++entry) {
            place(channel_hash(m_entries[entry].m_channel), static_cast<std::uint32_t>(entry + 1));
        }
    }
    m_entries.push_back({std::string(_channel), callbacks_vector()});
    place(channel_hash(_channel), static_cast<std::uint32_t>(m_entries.size()));
    return m_entries.back();
}

void message_stream_zmq_raw::channels::place(std::size_t _hash, std::uint32_t _entry) {
    const std::size_t mask = m_slots.size() - 1;
    std::size_t index = _hash & mask;
    while (m_slots[index].m_entry != 0) {
        index = (index + 1) & mask;
    }
    m_slots[index] = {tag(_hash), _entry};
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
