#include "socket_impl.hpp"

#include <core/exception.hpp>
#include <core/logger.hpp>

#include <zmq.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <boost/throw_exception.hpp>

#include <cerrno>
#include <utility>

namespace kelm::libs::core::zmq {

namespace {

int zmq_type(socket::type _type) {
    switch (_type) {
        case socket::type::push:
            return ZMQ_PUSH;
        case socket::type::pull:
            return ZMQ_PULL;
        case socket::type::pub:
            return ZMQ_PUB;
        case socket::type::req:
            return ZMQ_REQ;
        case socket::type::rep:
            return ZMQ_REP;
    }
    // ZeroMQ refuses it, so the caller learns from ZeroMQ's own error.
    return -1;
}

void throw_if_refused(const boost::system::error_code& _error, const char* _what,
                      const std::string& _address) {
    if (_error) {
        throw exception(std::string(_what) + _address + ": " + _error.message(),
                        KELM_SOURCE_LOCATION());
    }
}

}  // namespace

socket::ptr socket_impl::connect(type _type, boost::asio::io_context& _io_context,
                                 const component_logger& _logger, std::string _address) {
    asio_zmq::socket zmq_socket(_io_context, zmq_type(_type));
    boost::system::error_code error;
    zmq_socket.connect(_address, error);
    throw_if_refused(error, "zmq::socket_impl::connect to ", _address);
    return std::make_unique<socket_impl>(_logger, std::move(zmq_socket));
}

socket::ptr socket_impl::bind(type _type, boost::asio::io_context& _io_context,
                              const component_logger& _logger, std::string _address) {
    asio_zmq::socket zmq_socket(_io_context, zmq_type(_type));
    boost::system::error_code error;
    zmq_socket.bind(_address, error);
    throw_if_refused(error, "zmq::socket_impl::bind to ", _address);
    return std::make_unique<socket_impl>(_logger, std::move(zmq_socket));
}

socket_impl::socket_impl(const component_logger& _logger, asio_zmq::socket&& _socket)
    : m_socket(std::move(_socket)), m_logger(_logger), m_data(std::make_shared<shared_data>()) {}

// Cancelling cannot fail here: the binding completes the pending receive with
// operation_aborted, which the handler, finding the socket gone, ignores.
socket_impl::~socket_impl() {
    m_data->m_socket_alive = false;
    m_socket.cancel();
    m_data.reset();
    m_socket.close();
}

void socket_impl::set_receive_callback(callback _callback) {
    if (!m_data->m_receiving) {
        setup_receive(m_data);
        m_data->m_receiving = true;
    }
    m_data->m_receive_callback.set(std::move(_callback));
}

void socket_impl::send(message _message) {
    send(std::move(_message), flags::none);
}

void socket_impl::send(message _message, flags _flags) {
    m_socket.send(_message, static_cast<int>(_flags));
}

bool socket_impl::try_send(message _message) {
    return try_send(std::move(_message), flags::none);
}

bool socket_impl::try_send(message _message, flags _flags) {
    boost::system::error_code error;
    m_socket.send(_message, static_cast<int>(_flags) | ZMQ_DONTWAIT, error);
    if (error.value() == EAGAIN) {
        return false;
    }
    if (error) {
        boost::throw_exception(boost::system::system_error(error, "try_send"));
    }
    return true;
}

message socket_impl::receive_more() {
    message frame;
    m_socket.receive(frame, 0);
    return frame;
}

void socket_impl::setup_receive(std::shared_ptr<shared_data> _data) {
    m_socket.async_receive([data = std::move(_data), this](const boost::system::error_code& _error,
                                                           message& _frame, std::size_t) mutable {
        on_receive(std::move(data), this, _error, _frame);
    });
}

void socket_impl::on_receive(std::shared_ptr<shared_data> _data, socket_impl* _socket,
                             const boost::system::error_code& _error, message& _frame) {
    if (!_data->m_socket_alive) {
        return;
    }
    if (_error) {
        // Receiving ends here, until a callback is installed again; a dead socket must not
        // go unnoticed.
        _data->m_receiving = false;
        if (_error != boost::asio::error::operation_aborted) {
            _socket->m_logger.log_error(_error, KELM_SOURCE_LOCATION());
        }
        return;
    }
    // Armed again once the callback is left, by a return or an exception, unless the
    // callback destroyed the socket; without a guard's allocation on every frame. The
    // pending receive hands _data on to the next one.
    const auto rearm = [&_data, _socket] {
        if (_data->m_socket_alive) {
            _socket->setup_receive(std::move(_data));
        }
    };
    try {
        _data->m_receive_callback.call(_frame);
    } catch (...) {
        rearm();
        throw;
    }
    rearm();
}

}  // namespace kelm::libs::core::zmq
