#pragma once

#include <core/zmq/socket.hpp>

#include <memory>
#include <string>

namespace kelm::libs::core::zmq {

// Makes ZeroMQ sockets on its events loop (events_loop::get_zmq()).
class manager {
public:
    using ptr = std::unique_ptr<manager>;

    virtual ~manager() = default;

    // Both throw kelm::libs::core::exception when ZeroMQ refuses the endpoint, and
    // boost::system::system_error when it cannot make the socket.
    virtual socket::ptr connect(socket::type _type, std::string _address) = 0;
    // Takes ZeroMQ's wildcard port forms too ("tcp://127.0.0.1:*").
    virtual socket::ptr bind(socket::type _type, std::string _address) = 0;
};

}  // namespace kelm::libs::core::zmq
