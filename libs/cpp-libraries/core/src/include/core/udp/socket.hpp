#pragma once

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/utility/string_view.hpp>

#include <functional>
#include <memory>

namespace kelm::libs::core::udp {

using endpoint = boost::asio::ip::udp::endpoint;
// Datagram bytes; the caller owns them.
using message = boost::string_view;

// A bound UDP socket on an events loop. Every datagram reaches the callback with its
// sender and the local IPv4 address it was sent to (0.0.0.0 when the kernel gives none,
// as for native IPv6 traffic), so a service bound to the wildcard can answer from the
// address it was reached at. The datagram view is valid only during the call.
class socket {
public:
    using ptr = std::unique_ptr<socket>;
    using callback = std::function<void(const endpoint& _sender,
                                        const boost::asio::ip::address_v4& _local_address,
                                        const boost::string_view& _datagram)>;

    virtual ~socket() = default;

    // The first call starts receiving; until then datagrams wait in the kernel.
    virtual void set_receive_callback(callback _callback) = 0;
    // Returns once the datagram is handed to the kernel; throws
    // boost::system::system_error on failure.
    virtual void send_to(const endpoint& _destination, const message& _message) = 0;
    virtual void send_to(const boost::string_view& _address, int _port,
                         const message& _message) = 0;
    // Numeric IPv4 or IPv6 only; other text throws boost::system::system_error.
    virtual endpoint make_endpoint(const boost::string_view& _address, int _port) const = 0;
};

}  // namespace kelm::libs::core::udp
