#include <asio_zmq/socket.hpp>

#include "socket_state.hpp"

#include <asio_zmq/error.hpp>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace kelm::libs::asio_zmq {
namespace {

void throw_on_error(const boost::system::error_code& error, const char* what) {
    if (error) {
        throw boost::system::system_error(error, what);
    }
}

void throw_on_error(const boost::system::error_code& error, const char* what,
                    const std::string& endpoint) {
    if (error) {
        throw boost::system::system_error(error, std::string(what) + " " + endpoint);
    }
}

boost::system::error_code result_of(int zmq_result) noexcept {
    return zmq_result < 0 ? last_error() : boost::system::error_code();
}

}  // namespace

socket::socket(boost::asio::io_context& io_context, int type)
    : m_io_context(&io_context), m_state(std::make_shared<detail::socket_state>(io_context, type)) {
    set_option(ZMQ_LINGER, static_cast<int>(default_linger.count()));
    m_state->watch();
}

socket& socket::operator=(socket&& other) noexcept {
    if (this != &other) {
        close();
        m_io_context = other.m_io_context;
        m_state = std::move(other.m_state);
    }
    return *this;
}

socket::~socket() {
    close();
}

void socket::bind(const std::string& endpoint) {
    boost::system::error_code error;
    bind(endpoint, error);
    throw_on_error(error, "bind", endpoint);
}

void socket::bind(const std::string& endpoint, boost::system::error_code& error) {
    if (void* handle = open_handle(error)) {
        error = result_of(zmq_bind(handle, endpoint.c_str()));
        m_state->operation_done();
    }
}

void socket::connect(const std::string& endpoint) {
    boost::system::error_code error;
    connect(endpoint, error);
    throw_on_error(error, "connect", endpoint);
}

void socket::connect(const std::string& endpoint, boost::system::error_code& error) {
    if (void* handle = open_handle(error)) {
        error = result_of(zmq_connect(handle, endpoint.c_str()));
        m_state->operation_done();
    }
}

std::string socket::endpoint() const {
    boost::system::error_code error;
    void* handle = open_handle(error);
    throw_on_error(error, "endpoint");
    char text[256];
    std::size_t size = sizeof text;
    throw_on_error(result_of(zmq_getsockopt(handle, ZMQ_LAST_ENDPOINT, text, &size)), "endpoint");
    // The size counts the terminating NUL.
    return std::string(text, size > 0 ? size - 1 : 0);
}

void socket::set_option(int option, int value) {
    boost::system::error_code error;
    if (void* handle = open_handle(error)) {
        error = result_of(zmq_setsockopt(handle, option, &value, sizeof value));
    }
    throw_on_error(error, "set_option");
}

void socket::set_option(int option, std::int64_t value) {
    boost::system::error_code error;
    if (void* handle = open_handle(error)) {
        error = result_of(zmq_setsockopt(handle, option, &value, sizeof value));
    }
    throw_on_error(error, "set_option");
}

void socket::set_option(int option, std::string_view value) {
    set_bytes_option(option, value, "set_option");
}

void socket::subscribe(std::string_view prefix) {
    set_bytes_option(ZMQ_SUBSCRIBE, prefix, "subscribe");
}

void socket::unsubscribe(std::string_view prefix) {
    set_bytes_option(ZMQ_UNSUBSCRIBE, prefix, "unsubscribe");
}

void socket::set_bytes_option(int option, std::string_view value, const char* what) {
    boost::system::error_code error;
    if (void* handle = open_handle(error)) {
        error = result_of(zmq_setsockopt(handle, option, value.data(), value.size()));
        m_state->operation_done();
    }
    throw_on_error(error, what);
}

std::size_t socket::send(message& frame, int flags) {
    boost::system::error_code error;
    const std::size_t bytes = send(frame, flags, error);
    throw_on_error(error, "send");
    return bytes;
}

std::size_t socket::send(message& frame, int flags, boost::system::error_code& error) {
    return transfer(zmq_msg_send, frame, flags, error);
}

std::size_t socket::receive(message& frame, int flags) {
    boost::system::error_code error;
    const std::size_t bytes = receive(frame, flags, error);
    throw_on_error(error, "receive");
    return bytes;
}

std::size_t socket::receive(message& frame, int flags, boost::system::error_code& error) {
    return transfer(zmq_msg_recv, frame, flags, error);
}

std::size_t socket::transfer(int (*operation)(zmq_msg_t*, void*, int), message& frame, int flags,
                             boost::system::error_code& error) {
    void* handle = open_handle(error);
    if (handle == nullptr) {
        return 0;
    }
    const int bytes = operation(frame.native_handle(), handle, flags);
    error = result_of(bytes);
    m_state->operation_done();
    return bytes < 0 ? 0 : static_cast<std::size_t>(bytes);
}

void socket::cancel() {
    if (m_state) {
        m_state->cancel();
    }
}

void socket::close() {
    if (m_state) {
        m_state->close();
    }
}

bool socket::is_open() const noexcept {
    return m_state && m_state->is_open();
}

void* socket::native_handle() const noexcept {
    return m_state ? m_state->native_handle() : nullptr;
}

void socket::start_receive(detail::receive_handler handler) {
    if (m_state) {
        m_state->start_receive(std::move(handler));
    } else {
        detail::post_completion(*m_io_context, std::move(handler),
                                boost::asio::error::bad_descriptor);
    }
}

void* socket::open_handle(boost::system::error_code& error) const noexcept {
    void* handle = native_handle();
    error = handle != nullptr ? boost::system::error_code()
                              : boost::system::error_code(boost::asio::error::bad_descriptor);
    return handle;
}

}  // namespace kelm::libs::asio_zmq
