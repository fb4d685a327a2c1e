#include "socket_impl.hpp"

#include <core/logger.hpp>
#include <core/scope_guard.hpp>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace kelm::libs::core::udp {

namespace {

// Datagrams read in one completion before other work on the loop gets its turn. Reading
// what is already queued saves a reactor round trip per datagram under load.
constexpr int receive_batch_limit = 64;

endpoint wildcard(ip_protocol _protocol, unsigned short _port) {
    return {_protocol == ip_protocol::v6 ? boost::asio::ip::udp::v6() : boost::asio::ip::udp::v4(),
            _port};
}

// The local address from the packet information, which the kernel gives for IPv4
// datagrams, IPv4-mapped ones on an IPv6 socket included.
boost::asio::ip::address_v4 local_address(msghdr& _header) {
    for (cmsghdr* control = CMSG_FIRSTHDR(&_header); control != nullptr;
         control = CMSG_NXTHDR(&_header, control)) {
        if (control->cmsg_level == IPPROTO_IP && control->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(control), sizeof info);
            return boost::asio::ip::address_v4(ntohl(info.ipi_spec_dst.s_addr));
        }
    }
    return boost::asio::ip::address_v4::any();
}

boost::system::error_code last_error() {
    return {errno, boost::system::system_category()};
}

}  // namespace

socket_impl::socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                         ip_protocol _protocol, int _port)
    : socket_impl(_io_context, _logger, wildcard(_protocol, static_cast<unsigned short>(_port))) {}

socket_impl::socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                         const std::string& _address, int _port)
    : socket_impl(
          _io_context, _logger,
          endpoint(boost::asio::ip::make_address(_address), static_cast<unsigned short>(_port))) {}

socket_impl::socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                         const endpoint& _endpoint)
    : m_socket(_io_context, _endpoint), m_logger(_logger), m_data(std::make_shared<shared_data>()) {
    // Ignored on failure: every datagram then reports 0.0.0.0 as its local address.
    const int enable = 1;
    ::setsockopt(m_socket.native_handle(), IPPROTO_IP, IP_PKTINFO, &enable, sizeof enable);
}

socket_impl::~socket_impl() {
    m_data->m_socket_alive = false;
    m_data.reset();
    m_callback.set(nullptr);
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void socket_impl::set_receive_callback(callback _callback) {
    if (!m_receiving) {
        setup_receive();
        m_receiving = true;
    }
    m_callback.set(std::move(_callback));
}

void socket_impl::send_to(const endpoint& _destination, const message& _message) {
    for (;;) {
        const auto sent = ::sendto(m_socket.native_handle(), _message.data(), _message.size(),
                                   MSG_NOSIGNAL, _destination.data(), _destination.size());
        if (sent >= 0) {
            return;
        }
        const auto error = last_error();
        if (error == boost::asio::error::would_block || error == boost::asio::error::try_again) {
            m_socket.wait(boost::asio::ip::udp::socket::wait_write);
        } else if (error != boost::asio::error::interrupted) {
            throw boost::system::system_error(error, "sendto");
        }
    }
}

void socket_impl::send_to(const boost::string_view& _address, int _port, const message& _message) {
    send_to(make_endpoint(_address, _port), _message);
}

endpoint socket_impl::make_endpoint(const boost::string_view& _address, int _port) const {
    return {boost::asio::ip::make_address(std::string(_address)),
            static_cast<unsigned short>(_port)};
}

void socket_impl::setup_receive() {
    m_socket.async_wait(boost::asio::ip::udp::socket::wait_read,
                        [data = m_data, this](const boost::system::error_code& _error) {
                            if (data->m_socket_alive) {
                                on_readable(data, _error);
                            }
                        });
}

void socket_impl::on_readable(const std::shared_ptr<shared_data>& _data,
                              const boost::system::error_code& _error) {
    if (_error == boost::asio::error::operation_aborted) {
        return;
    }
    if (_error) {
        m_logger.log_error(_error, KELM_SOURCE_LOCATION());
        return;
    }
    // A callback may destroy this socket; the guard and the loop then find the flag false.
    const auto rearm = make_scope_guard([this, &_data] {
        if (_data->m_socket_alive) {
            setup_receive();
        }
    });
    for (int read = 0; read < receive_batch_limit && _data->m_socket_alive; ++read) {
        if (!receive_one(*_data)) {
            return;
        }
    }
}

bool socket_impl::receive_one(shared_data& _data) {
    // Large enough for either family, so an IPv6 socket reports its real senders.
    sockaddr_storage sender{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    iovec data{_data.m_buffer.data(), _data.m_buffer.size()};
    msghdr header{};
    header.msg_name = &sender;
    header.msg_namelen = sizeof sender;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    // Never blocks, whatever the readiness said: a spurious one finds nothing to read.
    const auto size = ::recvmsg(m_socket.native_handle(), &header, MSG_DONTWAIT);
    if (size < 0) {
        const auto error = last_error();
        if (error != boost::asio::error::would_block && error != boost::asio::error::try_again &&
            error != boost::asio::error::interrupted) {
            m_logger.log_error(error, KELM_SOURCE_LOCATION());
        }
        return false;
    }
    endpoint from;
    std::memcpy(from.data(), &sender, std::min<std::size_t>(header.msg_namelen, from.capacity()));
    from.resize(std::min<std::size_t>(header.msg_namelen, from.capacity()));
    const auto local = local_address(header);
    m_callback.call(from, local, boost::string_view(_data.m_buffer.data(), size));
    return true;
}

}  // namespace kelm::libs::core::udp
