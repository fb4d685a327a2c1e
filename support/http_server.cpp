#include "http_server.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <chrono>
#include <memory>

namespace kelm::test {

namespace beast_http = boost::beast::http;
using boost::asio::ip::tcp;
using boost::beast::error_code;

// One connection: reads a request, answers it once its delay is over, reads the next.
struct http_server::session : std::enable_shared_from_this<session> {
    session(http_server& _server, tcp::socket _socket)
        : server(_server), socket(std::move(_socket)), timer(socket.get_executor()) {}

    void read() {
        request = {};
        beast_http::async_read(socket, buffer, request,
                               [self = shared_from_this()](error_code _error, std::size_t) {
                                   if (!_error) {
                                       self->answer();
                                   }
                               });
    }

    void answer() {
        const std::string target(request.target());
        std::unique_lock<std::mutex> lock(server.m_mutex);
        server.m_seen.requests.push_back(target);
        lock.unlock();
        if (target.rfind("/stream", 0) == 0) {
            start_stream(target.size() > 8 ? std::stoull(target.substr(8)) : 0);
            return;
        }
        response = {beast_http::status::ok, 11};
        response.body() = std::string(request.method_string()) + " " + target + " [" +
                          std::string(request[beast_http::field::content_type]) + "] [" +
                          std::string(request[beast_http::field::content_length]) + "] [" +
                          request.body() + "]";
        if (target.rfind("/redirect", 0) == 0) {
            response.result(beast_http::status::found);
            response.set(beast_http::field::location,
                         target == "/redirect" ? target : target.substr(9));
        } else if (target.rfind("/status/", 0) == 0) {
            response.result(static_cast<unsigned>(std::stoi(target.substr(8))));
        }
        response.prepare_payload();
        const auto delay = target.rfind("/delay/", 0) == 0 ? std::stoi(target.substr(7)) : 0;
        timer.expires_after(std::chrono::milliseconds(delay));
        timer.async_wait([self = shared_from_this()](error_code) {
            beast_http::async_write(self->socket, self->response,
                                    [self](error_code _error, std::size_t) {
                                        if (!_error) {
                                            self->read();
                                        }
                                    });
        });
    }

    // Writes the head, then the body in slices of one buffer; the connection ends with the
    // body.
    void start_stream(std::size_t _declared) {
        remaining = _declared != 0 ? _declared : std::size_t{128} << 20;
        head = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
        if (_declared != 0) {
            head += "Content-Length: " + std::to_string(_declared) + "\r\n";
        }
        head += "\r\n";
        boost::asio::async_write(
            socket, boost::asio::buffer(head),
            [self = shared_from_this()](error_code _error, std::size_t) { self->stream(_error); });
    }

    void stream(error_code _error) {
        static const std::string slice(std::size_t{1} << 20, 'x');
        if (_error || remaining == 0) {
            const std::lock_guard<std::mutex> lock(server.m_mutex);
            server.m_seen.streamed.push_back(streamed);
            return;
        }
        const auto size = std::min(remaining, slice.size());
        boost::asio::async_write(socket, boost::asio::buffer(slice.data(), size),
                                 [self = shared_from_this()](error_code _error, std::size_t _sent) {
                                     self->streamed += _sent;
                                     self->remaining -= _sent;
                                     self->stream(_error);
                                 });
    }

    http_server& server;
    tcp::socket socket;
    std::string head;
    std::size_t remaining = 0;
    std::size_t streamed = 0;
    boost::asio::steady_timer timer;
    boost::beast::flat_buffer buffer;
    beast_http::request<beast_http::string_body> request;
    beast_http::response<beast_http::string_body> response;
};

http_server::http_server(int _threads)
    : m_threads(static_cast<std::size_t>(_threads)),
      m_acceptor(m_threads, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {
    accept();
}

void http_server::accept() {
    m_acceptor.async_accept([this](error_code _error, tcp::socket _socket) {
        if (!_error) {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_seen.connections;
            lock.unlock();
            std::make_shared<session>(*this, std::move(_socket))->read();
            accept();
        }
    });
}

}  // namespace kelm::test
