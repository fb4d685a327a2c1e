#include "socket_impl.hpp"

#include <core/logger.hpp>
#include <core/scope_guard.hpp>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>

#include <sys/socket.h>
#include <cerrno>
#include <string>
#include <utility>

namespace kelm::libs::core::tcp {

namespace {

constexpr std::size_t read_size = 65536;

}  // namespace

socket_impl::socket_impl(const component_logger& _logger, boost::asio::ip::tcp::socket _socket)
    : m_socket(std::move(_socket)), m_logger(_logger), m_data(std::make_shared<shared_data>()) {
    // Sends say MSG_DONTWAIT themselves, which spares a system call per connection over
    // switching the descriptor to non-blocking mode; reads are Asio's, never blocking.
    if (!m_socket.is_open()) {
        throw boost::system::system_error(boost::asio::error::bad_descriptor, "tcp socket");
    }
}

socket_impl::~socket_impl() {
    m_data->m_socket_alive = false;
    // A callback that is running keeps its own reference; the others let go of what they
    // hold now rather than when the aborted operations complete.
    m_data->m_receive_callback.set(nullptr);
    m_data->m_close_callback.set(nullptr);
    m_data->m_can_send_callback.set(nullptr);
    m_data.reset();
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

socket::ptr socket_impl::connect(boost::asio::io_context& _io_context,
                                 const component_logger& _logger, boost::string_view _address,
                                 unsigned short _port) {
    boost::asio::ip::tcp::socket connection(_io_context);
    connection.connect({boost::asio::ip::make_address(std::string(_address)), _port});
    return std::make_unique<socket_impl>(_logger, std::move(connection));
}

void socket_impl::set_close_callback(close_callback _callback) {
    m_data->m_close_callback.set(std::move(_callback));
}

void socket_impl::set_receive_callback(receive_callback _callback) {
    if (m_data->m_buffer.empty()) {
        m_data->m_buffer.resize(read_size);
        setup_receive();
    }
    m_data->m_receive_callback.set(std::move(_callback));
}

socket::endpoint socket_impl::get_remote_endpoint() const {
    return m_socket.remote_endpoint();
}

void socket_impl::set_can_send_callback(can_send_callback _callback) {
    m_data->m_can_send_callback.set(std::move(_callback));
}

void socket_impl::notify_that_send_is_possible() {
    if (m_data->m_waiting_in_progress) {
        return;
    }
    m_data->m_waiting_in_progress = true;
    m_socket.async_wait(boost::asio::ip::tcp::socket::wait_write,
                        [data = m_data, this](const boost::system::error_code& _error) {
                            if (data->m_socket_alive) {
                                on_writable(*data, _error);
                            }
                        });
}

std::size_t socket_impl::send_some(message _message) {
    if (_message.empty()) {
        return 0;
    }
    for (;;) {
        const auto sent = ::send(m_socket.native_handle(), _message.data(), _message.size(),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            return static_cast<std::size_t>(sent);
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return 0;
        }
        if (error != EINTR) {
            throw boost::system::system_error(
                boost::system::error_code(error, boost::system::system_category()), "send");
        }
    }
}

void socket_impl::setup_receive() {
    m_socket.async_read_some(
        boost::asio::buffer(m_data->m_buffer),
        [data = m_data, this](const boost::system::error_code& _error, std::size_t _size) {
            if (data->m_socket_alive) {
                on_receive(data, _error, _size);
            }
        });
}

void socket_impl::on_receive(const std::shared_ptr<shared_data>& _data,
                             const boost::system::error_code& _error, std::size_t _size) {
    if (_error == boost::asio::error::eof) {
        if (_data->m_close_callback.is_set()) {
            _data->m_close_callback.call();
        }
        return;
    }
    if (_error == boost::asio::error::operation_aborted) {
        return;
    }
    if (_error) {
        m_logger.log_error(_error, KELM_SOURCE_LOCATION());
        return;
    }
    // The callback may destroy this socket; the guard then finds the flag false.
    const auto rearm = make_scope_guard([this, &_data] {
        if (_data->m_socket_alive) {
            setup_receive();
        }
    });
    _data->m_receive_callback.call(boost::string_view(_data->m_buffer.data(), _size));
}

void socket_impl::on_writable(shared_data& _data, const boost::system::error_code& _error) {
    _data.m_waiting_in_progress = false;
    if (_error) {
        throw boost::system::system_error(_error, "wait for writability");
    }
    if (_data.m_can_send_callback.is_set()) {
        _data.m_can_send_callback.call();
    }
}

}  // namespace kelm::libs::core::tcp
