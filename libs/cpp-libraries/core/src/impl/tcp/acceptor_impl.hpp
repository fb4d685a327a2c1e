#pragma once

#include <core/fwd.hpp>
#include <core/ip_protocol.hpp>
#include <core/tcp/acceptor.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

#include <callback_slot/callback_slot.hpp>

#include <memory>

namespace kelm::libs::core::tcp {

class acceptor_impl final : public acceptor {
public:
    // Each binds with SO_REUSEADDR and listens at once; a port in use or an address that
    // is not numeric throws boost::system::system_error.
    acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                  const boost::asio::ip::tcp::endpoint& _endpoint);
    acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                  ip_protocol _protocol, unsigned short _port);
    acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                  boost::string_view _address, unsigned short _port);
    ~acceptor_impl() override;

    void set_callback(callback _callback) override;

private:
    void setup_accept();
    void on_accept(const std::shared_ptr<bool>& _alive, const boost::system::error_code& _error,
                   boost::asio::ip::tcp::socket _peer);
    void accept_later();

    boost::asio::io_context& m_io_context;
    const component_logger& m_logger;
    boost::asio::ip::tcp::acceptor m_acceptor;
    // The callback may replace or clear itself, or destroy the acceptor, while it runs.
    callback_slot<callback> m_callback;
    // Accepting starts with the first callback; later ones only take its place.
    bool m_accepting = false;
    std::shared_ptr<bool> m_acceptor_alive;
    // Paces the next attempt while the process or the kernel is out of descriptors or
    // memory: the pending connection stays queued, so accepting at once would spin.
    boost::asio::steady_timer m_retry_timer;
    bool m_short_of_resources = false;
};

}  // namespace kelm::libs::core::tcp
