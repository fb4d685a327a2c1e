#pragma once

#include <core/fwd.hpp>
#include <core/zmq/socket.hpp>

#include <asio_zmq/socket.hpp>

#include <boost/system/error_code.hpp>

#include <callback_slot/callback_slot.hpp>

#include <memory>
#include <string>

namespace kelm::libs::core::zmq {

class socket_impl final : public socket {
public:
    // Throw exception when the endpoint is refused and boost::system::system_error when
    // ZeroMQ cannot make the socket.
    static socket::ptr connect(type _type, boost::asio::io_context& _io_context,
                               const component_logger& _logger, std::string _address);
    static socket::ptr bind(type _type, boost::asio::io_context& _io_context,
                            const component_logger& _logger, std::string _address);

    socket_impl(const component_logger& _logger, asio_zmq::socket&& _socket);
    ~socket_impl() override;

    void set_receive_callback(callback _callback) override;
    void send(message _message) override;
    void send(message _message, flags _flags) override;
    bool try_send(message _message) override;
    bool try_send(message _message, flags _flags) override;
    message receive_more() override;

private:
    // Shared with the pending receive, which may complete after the socket is gone.
    struct shared_data {
        bool m_socket_alive = true;
        callback_slot<callback> m_receive_callback;
        // A receive is pending or about to be armed again: a new callback only takes the
        // place of the one before.
        bool m_receiving = false;
    };

    // The pending receive holds _data; each one hands it on to the next.
    void setup_receive(std::shared_ptr<shared_data> _data);
    static void on_receive(std::shared_ptr<shared_data> _data, socket_impl* _socket,
                           const boost::system::error_code& _error, message& _frame);

    asio_zmq::socket m_socket;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace kelm::libs::core::zmq
