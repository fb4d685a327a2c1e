#pragma once

#include <core/fwd.hpp>
#include <core/tcp/manager.hpp>

#include <boost/asio/io_context.hpp>

namespace kelm::libs::core::tcp {

class manager_impl final : public manager {
public:
    manager_impl(boost::asio::io_context& _io_context, const component_logger& _logger);

    socket::ptr connect(boost::string_view _address, int _port) override;
    acceptor::ptr listen(ip_protocol _protocol, int _port) override;
    acceptor::ptr listen(boost::string_view _address, int _port) override;

private:
    boost::asio::io_context& m_io_context;
    const component_logger& m_logger;
};

}  // namespace kelm::libs::core::tcp
