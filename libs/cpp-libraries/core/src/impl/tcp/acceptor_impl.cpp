#include "acceptor_impl.hpp"

#include "socket_impl.hpp"

#include <core/logger.hpp>
#include <core/scope_guard.hpp>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <string>
#include <utility>

namespace kelm::libs::core::tcp {

namespace {

constexpr int listen_backlog = 4096;
constexpr std::chrono::milliseconds retry_pause{100};

boost::asio::ip::tcp::endpoint wildcard(ip_protocol _protocol, unsigned short _port) {
    return {_protocol == ip_protocol::v6 ? boost::asio::ip::tcp::v6() : boost::asio::ip::tcp::v4(),
            _port};
}

// Shortages that pass: descriptors or kernel memory run out for a while.
bool is_shortage(const boost::system::error_code& _error) {
    return _error == boost::asio::error::no_descriptors ||
           _error == boost::system::errc::too_many_files_open_in_system ||
           _error == boost::asio::error::no_buffer_space || _error == boost::asio::error::no_memory;
}

}  // namespace

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                             const boost::asio::ip::tcp::endpoint& _endpoint)
    : m_io_context(_io_context),
      m_logger(_logger),
      m_acceptor(_io_context),
      m_acceptor_alive(std::make_shared<bool>(true)),
      m_retry_timer(_io_context) {
    m_acceptor.open(_endpoint.protocol());
    m_acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
    m_acceptor.bind(_endpoint);
    m_acceptor.listen(listen_backlog);
}

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                             ip_protocol _protocol, unsigned short _port)
    : acceptor_impl(_io_context, _logger, wildcard(_protocol, _port)) {}

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                             boost::string_view _address, unsigned short _port)
    : acceptor_impl(_io_context, _logger,
                    {boost::asio::ip::make_address(std::string(_address)), _port}) {}

acceptor_impl::~acceptor_impl() {
    *m_acceptor_alive = false;
    m_acceptor_alive.reset();
    m_callback.set(nullptr);
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
}

void acceptor_impl::set_callback(callback _callback) {
    if (!m_accepting) {
        setup_accept();
        m_accepting = true;
    }
    m_callback.set(std::move(_callback));
}

void acceptor_impl::setup_accept() {
    m_acceptor.async_accept(
        m_io_context, [alive = m_acceptor_alive, this](const boost::system::error_code& _error,
                                                       boost::asio::ip::tcp::socket _peer) {
            if (*alive) {
                on_accept(alive, _error, std::move(_peer));
            }
        });
}

void acceptor_impl::on_accept(const std::shared_ptr<bool>& _alive,
                              const boost::system::error_code& _error,
                              boost::asio::ip::tcp::socket _peer) {
    if (_error == boost::asio::error::operation_aborted) {
        return;
    }
    if (is_shortage(_error)) {
        // Once per shortage, not once per attempt.
        if (!m_short_of_resources) {
            m_short_of_resources = true;
            m_logger.log_error(_error, KELM_SOURCE_LOCATION());
        }
        accept_later();
        return;
    }
    if (_error) {
        m_logger.log_error(_error, KELM_SOURCE_LOCATION());
        return;
    }
    m_short_of_resources = false;
    // The callback may destroy this acceptor; the guard then finds the flag false.
    const auto rearm = make_scope_guard([this, &_alive] {
        if (*_alive) {
            setup_accept();
        }
    });
    socket::ptr accepted = std::make_unique<socket_impl>(m_logger, std::move(_peer));
    m_callback.call(std::move(accepted));
}

void acceptor_impl::accept_later() {
    m_retry_timer.expires_after(retry_pause);
    m_retry_timer.async_wait(
        [alive = m_acceptor_alive, this](const boost::system::error_code& _error) {
            if (*alive && !_error) {
                setup_accept();
            }
        });
}

}  // namespace kelm::libs::core::tcp
