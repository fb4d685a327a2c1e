#pragma once

#include <core/ip_protocol.hpp>
#include <core/tcp/acceptor.hpp>
#include <core/tcp/socket.hpp>

#include <boost/utility/string_view.hpp>

#include <memory>

namespace kelm::libs::core::tcp {

// TCP on one events loop, reached through its get_tcp(). Addresses are numeric IPv4 or
// IPv6 (no name resolution); failures throw boost::system::system_error.
class manager {
public:
    using ptr = std::unique_ptr<manager>;

    virtual ~manager() = default;

    // Blocks the calling thread until the connection is made.
    virtual socket::ptr connect(boost::string_view _address, int _port) = 0;
    // Listens on the family's wildcard address; port 0 picks a free one.
    virtual acceptor::ptr listen(ip_protocol _protocol, int _port) = 0;
    virtual acceptor::ptr listen(boost::string_view _address, int _port) = 0;
};

}  // namespace kelm::libs::core::tcp
