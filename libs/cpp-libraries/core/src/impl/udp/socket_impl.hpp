#pragma once

#include <core/fwd.hpp>
#include <core/ip_protocol.hpp>
#include <core/udp/socket.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>

#include <callback_slot/callback_slot.hpp>

#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

namespace kelm::libs::core::udp {

class socket_impl final : public socket {
public:
    // Each binds at once; a port in use, an address that is not local or not numeric
    // throws boost::system::system_error.
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                ip_protocol _protocol, int _port);
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                const std::string& _address, int _port);
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                const endpoint& _endpoint);
    ~socket_impl() override;

    void set_receive_callback(callback _callback) override;
    void send_to(const endpoint& _destination, const message& _message) override;
    void send_to(const boost::string_view& _address, int _port, const message& _message) override;
    endpoint make_endpoint(const boost::string_view& _address, int _port) const override;

private:
    // Shared with the pending wait, which may complete after the socket is gone.
    struct shared_data {
        std::vector<char> m_buffer = std::vector<char>(65536);
        bool m_socket_alive = true;
    };

    void setup_receive();
    void on_readable(const std::shared_ptr<shared_data>& _data,
                     const boost::system::error_code& _error);
    // Reads and delivers one queued datagram; false when there was none to read.
    bool receive_one(shared_data& _data);
    // Reads one datagram with the local address it arrived at; a negative size when none.
    ssize_t read_one(shared_data& _data, sockaddr_storage& _sender, socklen_t& _sender_size,
                     boost::asio::ip::address_v4& _local);

    boost::asio::ip::udp::socket m_socket;
    const component_logger& m_logger;
    // The local address of every datagram when the socket is bound to one of this host's
    // unicast IPv4 addresses: it receives only what was sent there, so the kernel need not
    // say so with each datagram, which costs it about a third of a read.
    boost::optional<boost::asio::ip::address_v4> m_bound_address;
    // The callback may replace or clear itself, or destroy the socket, while it runs.
    callback_slot<callback> m_callback;
    // Receiving starts with the first callback; later ones only take its place.
    bool m_receiving = false;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace kelm::libs::core::udp
