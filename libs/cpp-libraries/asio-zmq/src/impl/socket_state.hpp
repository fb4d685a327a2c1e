#pragma once

#include "native_socket.hpp"

#include <asio_zmq/detail/receive_handler.hpp>
#include <asio_zmq/message.hpp>

#include <callback_slot/callback_slot.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <memory>
#include <optional>

namespace kelm::libs::asio_zmq::detail {

// Posts the handler's completion with an empty frame.
void post_completion(boost::asio::io_context& io_context, receive_handler handler,
                     const boost::system::error_code& error);

// Sends and receives between two looks at ZMQ_EVENTS while no receive is pending.
inline constexpr unsigned commands_interval = 64;

// Everything a socket's pending work needs. The socket object owns it and its posted batches and
// descriptor waits share it, so they can still run, harmlessly, after the object is gone.
//
// ZMQ_FD is edge-triggered: it signals once when libzmq's internal state may have changed, and any
// libzmq call on the socket can consume that signal. So a wait on it is only started right after
// a non-blocking receive reported EAGAIN or ZMQ_EVENTS was read, which leave libzmq's state fresh,
// and every user call that can handle commands (bind, connect, send, receive, ...) is followed by
// a look at ZMQ_EVENTS while a receive is pending.
//
// The descriptor is watched for as long as the socket is open, also while no receive is pending:
// a socket that only sends (a PUB) must still handle its peers' commands while it is idle, or the
// resources of peers that came and went are never given back.
class socket_state : public std::enable_shared_from_this<socket_state> {
public:
    socket_state(boost::asio::io_context& io_context, int type);
    socket_state(const socket_state&) = delete;
    socket_state& operator=(const socket_state&) = delete;
    ~socket_state();

    bool is_open() const noexcept { return m_socket.get() != nullptr; }
    void* native_handle() const noexcept { return m_socket.get(); }

    // Watches the descriptor while no receive is pending; called right after construction.
    void watch();
    void start_receive(receive_handler handler);
    // To be called after each user call on an open socket that may have handled libzmq's
    // commands, and so consumed the descriptor's signal.
    void operation_done();
    void cancel();
    void close();

private:
    void schedule_batch();
    void on_batch_scheduled();
    void on_readable();
    void on_pause_over(const boost::system::error_code& error);
    void receive_batch();
    void deliver(const boost::system::error_code& error, message& frame, std::size_t bytes);
    bool frame_waiting() const;
    void wait_readable();
    void count_wait();
    void pause_after_error();

    boost::asio::io_context& m_io_context;
    native_socket m_socket;
    // Watches libzmq's descriptor without owning it.
    std::optional<boost::asio::posix::stream_descriptor> m_descriptor;
    boost::asio::steady_timer m_pause;
    callback_slot<receive_handler> m_handler;
    bool m_batch_scheduled = false;
    bool m_waiting = false;
    // Whether the pending wait counts as outstanding work of the io_context.
    bool m_wait_counted = false;
    bool m_watch_scheduled = false;
    bool m_delivering = false;
    bool m_pausing = false;
    unsigned m_transfers_since_events = 0;
};

}  // namespace kelm::libs::asio_zmq::detail
