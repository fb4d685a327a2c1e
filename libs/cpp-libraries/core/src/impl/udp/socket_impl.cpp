#include "socket_impl.hpp"

#include <core/logger.hpp>
#include <core/scope_guard.hpp>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <ifaddrs.h>
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

// An address of one of this host's interfaces, which is neither a broadcast nor a multicast
// address: a socket bound to it hears only datagrams sent to it.
bool is_interface_address(const boost::asio::ip::address& _address) {
    if (!_address.is_v4() || _address.is_unspecified() || _address.is_multicast()) {
        return false;
    }
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) {
        return false;
    }
    bool found = false;
    for (const ifaddrs* entry = interfaces; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            sockaddr_in address;
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            found = ntohl(address.sin_addr.s_addr) == _address.to_v4().to_uint();
        }
    }
    ::freeifaddrs(interfaces);
    return found;
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
    if (is_interface_address(_endpoint.address())) {
        m_bound_address = _endpoint.address().to_v4();
        return;
    }
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
    socklen_t sender_size = sizeof sender;
    boost::asio::ip::address_v4 local;
    const auto size = read_one(_data, sender, sender_size, local);
    if (size < 0) {
        const auto error = last_error();
        if (error != boost::asio::error::would_block && error != boost::asio::error::try_again &&
            error != boost::asio::error::interrupted) {
            m_logger.log_error(error, KELM_SOURCE_LOCATION());
        }
        return false;
    }
    endpoint from;
    std::memcpy(from.data(), &sender, std::min<std::size_t>(sender_size, from.capacity()));
    from.resize(std::min<std::size_t>(sender_size, from.capacity()));
    m_callback.call(from, local, boost::string_view(_data.m_buffer.data(), size));
    return true;
}

// Never blocks, whatever the readiness said: a spurious one finds nothing to read.
ssize_t socket_impl::read_one(shared_data& _data, sockaddr_storage& _sender,
                              socklen_t& _sender_size, boost::asio::ip::address_v4& _local) {
    if (m_bound_address) {
        _local = *m_bound_address;
        return ::recvfrom(m_socket.native_handle(), _data.m_buffer.data(), _data.m_buffer.size(),
                          MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&_sender), &_sender_size);
    }
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    iovec data{_data.m_buffer.data(), _data.m_buffer.size()};
    msghdr header{};
    header.msg_name = &_sender;
    header.msg_namelen = _sender_size;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const auto size = ::recvmsg(m_socket.native_handle(), &header, MSG_DONTWAIT);
    if (size >= 0) {
        _sender_size = header.msg_namelen;
        _local = local_address(header);
    }
    return size;
}

}  // namespace kelm::libs::core::udp
