#pragma once

#include <core/fwd.hpp>
#include <core/message_stream.hpp>

#include <asio_zmq/socket.hpp>

#include <boost/container/small_vector.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelm::libs::core {

// Channels are byte prefixes of the whole frame, which the callbacks get unchanged.
class message_stream_zmq_raw final : public message_stream {
public:
    // Throws boost::system::system_error when the address cannot be connected. _setup, when
    // set, gets the socket before it connects.
    message_stream_zmq_raw(boost::asio::io_context& _io_context, const component_logger& _logger,
                           const std::string& _address, const socket_setup& _setup);

    subscription::ptr subscribe(boost::string_view _channel, callback _callback) override;

private:
    // The subscriptions own the callbacks; a channel's callbacks in subscription order.
    // Most channels have one, which is kept in place.
    using callbacks_vector = boost::container::small_vector<std::weak_ptr<callback>, 1>;

    // A channel and its callbacks, which a frame's dispatch reads together.
    struct channel_entry {
        std::string m_channel;
        callbacks_vector m_callbacks;
    };

    // Where a channel's entry is: the high half of its hash, which spares reading the
    // entries of other channels on a collision, and the entry's position plus one, 0 in a
    // free slot.
    struct channel_slot {
        std::uint32_t m_tag = 0;
        std::uint32_t m_entry = 0;
    };

    // The subscribed channels, which stay once subscribed. Keeping their distinct lengths
    // lets a frame be matched with one look-up per length, however many channels there
    // are. With many channels each frame touches a different one, so a look-up reads one
    // slot of a small table and then the entry itself.
    struct channels {
        // In subscription order. A deque keeps each entry in place while channels are
        // added, from a callback of the entry being dispatched too.
        std::deque<channel_entry> m_entries;
        // Open addressing with linear probing, a power of two long and at most half full.
        std::vector<channel_slot> m_slots;
        // Ascending.
        std::vector<std::size_t> m_lengths;
        // The callbacks a frame is being dispatched to, which a subscribe from one of them
        // may append to but not rearrange.
        const callbacks_vector* m_dispatched = nullptr;

        channel_entry* find(std::string_view _channel);
        channel_entry& add(std::string_view _channel);

    private:
        void place(std::size_t _hash, std::uint32_t _entry);
    };

    void setup_receive();
    static void on_receive(const std::weak_ptr<channels>& _channels,
                           const component_logger& _logger, message_stream_zmq_raw* _stream,
                           const boost::system::error_code& _error, asio_zmq::message& _frame);
    static void process_message(channels& _channels, boost::string_view _message);
    static boost::optional<callbacks_vector&> find_callbacks(channels& _channels,
                                                             boost::string_view _message);
    static void call_callbacks(const callbacks_vector& _callbacks, boost::string_view _message);
    static void remove_expired_callbacks(callbacks_vector& _callbacks);

    // The pending receive holds them weakly: a frame that completes after the stream is
    // gone is dropped.
    std::shared_ptr<channels> m_channels;
    // Closing it, first thing in destruction, ends the pending receive with
    // operation_aborted.
    asio_zmq::sub_socket m_socket;
    const component_logger& m_logger;
};

}  // namespace kelm::libs::core
