#pragma once

#include <core/fwd.hpp>
#include <core/tcp/socket.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <callback_slot/callback_slot.hpp>

#include <memory>
#include <vector>

namespace kelm::libs::core::tcp {

class socket_impl final : public socket {
public:
    // Takes over an open, connected socket; throws boost::system::system_error when it
    // is not open.
    socket_impl(const component_logger& _logger, boost::asio::ip::tcp::socket _socket);
    ~socket_impl() override;

    // Connects synchronously to a numeric address; throws boost::system::system_error.
    static socket::ptr connect(boost::asio::io_context& _io_context,
                               const component_logger& _logger, boost::string_view _address,
                               unsigned short _port);

    void set_close_callback(close_callback _callback) override;
    void set_receive_callback(receive_callback _callback) override;
    endpoint get_remote_endpoint() const override;
    void set_can_send_callback(can_send_callback _callback) override;
    void notify_that_send_is_possible() override;
    std::size_t send_some(message _message) override;

private:
    // Shared with the pending read and wait, which may complete after the socket is gone,
    // and with a callback that destroys the socket while it runs.
    struct shared_data {
        // Allocated when reading starts: sockets that only send, or are dropped at once,
        // do without it.
        std::vector<char> m_buffer;
        bool m_socket_alive = true;
        bool m_waiting_in_progress = false;
        callback_slot<receive_callback> m_receive_callback;
        callback_slot<close_callback> m_close_callback;
        callback_slot<can_send_callback> m_can_send_callback;
    };

    void setup_receive();
    void on_receive(const std::shared_ptr<shared_data>& _data,
                    const boost::system::error_code& _error, std::size_t _size);
    void on_writable(shared_data& _data, const boost::system::error_code& _error);

    boost::asio::ip::tcp::socket m_socket;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace kelm::libs::core::tcp
