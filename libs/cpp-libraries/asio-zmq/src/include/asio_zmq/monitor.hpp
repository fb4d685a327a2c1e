#pragma once

#include <asio_zmq/socket.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kelm::libs::asio_zmq {

// One event of a watched socket: ZMQ_EVENT_ACCEPTED, ZMQ_EVENT_DISCONNECTED, ... with its value
// (a descriptor or an errno, depending on the event) and the endpoint it concerns.
struct socket_event {
    int event = 0;
    std::uint32_t value = 0;
    std::string endpoint;
};

// Watches the events of a socket through libzmq's socket monitor and hands each to a handler, in
// the order they happened, on the thread that runs the socket's io_context.
//
// libzmq's I/O threads send the events to the monitor without waiting for room and would block on
// a full queue, so the queue has no high-water mark: the handler should be quick, and the events
// come at the rate peers connect and leave, not at the rate of their messages.
//
// The watched socket must stay open, and in place, for the monitor's life: destroy the monitor
// first. The monitor starts before the socket binds or connects, so it sees every peer.
class monitor {
public:
    using handler = std::function<void(const socket_event&)>;

    // events is a mask of ZMQ_EVENT_* values. Throws boost::system::system_error when libzmq
    // cannot start monitoring.
    monitor(boost::asio::io_context& io_context, socket& watched, int events, handler on_event);
    monitor(const monitor&) = delete;
    monitor& operator=(const monitor&) = delete;
    ~monitor();

private:
    struct shared_data;

    static void receive(const std::shared_ptr<shared_data>& data);
    static void on_frame(const std::weak_ptr<shared_data>& weak,
                         const boost::system::error_code& error, message& frame);

    socket& m_watched;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace kelm::libs::asio_zmq
