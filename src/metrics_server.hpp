#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kelm {

// Serves GET and HEAD /metrics over HTTP/1.1 on the thread that runs the io_context, so it shares
// the broker's loop. It is no way in: other paths get 404, other methods 405, a request whose
// header or body is over max_request_size gets 413, a connection idle for idle_timeout (or
// that does not take its answer within it) is closed, and connections past max_connections
// are closed as they come. A connection holds at most one request and one answer.
class metrics_server {
public:
    using render_callback = std::function<std::string()>;

    static constexpr std::size_t max_request_size = 8 * 1024;
    static constexpr std::chrono::seconds idle_timeout{5};
    static constexpr std::size_t max_connections = 16;

    // Listens at once; throws boost::system::system_error when the endpoint cannot be bound.
    metrics_server(boost::asio::io_context& _io_context,
                   const boost::asio::ip::tcp::endpoint& _endpoint, render_callback _render);
    metrics_server(const metrics_server&) = delete;
    metrics_server& operator=(const metrics_server&) = delete;
    // Closes the listener and every connection.
    ~metrics_server();

    boost::asio::ip::tcp::endpoint local_endpoint() const;

private:
    struct shared_data;

    static void accept(const std::shared_ptr<shared_data>& _data);
    static void on_accept(const std::weak_ptr<shared_data>& _weak,
                          const boost::system::error_code& _error,
                          boost::asio::ip::tcp::socket _socket);

    std::shared_ptr<shared_data> m_data;
};

}  // namespace kelm
