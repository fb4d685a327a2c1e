#include "http_server.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <chrono>
#include <memory>

namespace kelm::test {

namespace beast_http = boost::beast::http;
using boost::asio::ip::tcp;
using boost::beast::error_code;

struct http_server::session : std::enable_shared_from_this<session> {
    session(http_server& _server, tcp::socket _socket)
        : m_server(_server), m_socket(std::move(_socket)), m_timer(m_socket.get_executor()) {}

    void read(error_code _error = {}) {
        if (_error) {
            return;
        }
        m_request = {};
        beast_http::async_read(
            m_socket, m_buffer, m_request,
            [self = shared_from_this()](error_code _error, std::size_t) { self->on_read(_error); });
    }

    void on_read(error_code _error) {
        if (_error) {
            return;
        }
        const std::string target(m_request.target());
        m_response = {beast_http::status::ok, 11};
        m_response.body() = std::string(m_request.method_string()) + " " + target + " [" +
                            std::string(m_request[beast_http::field::content_type]) + "] [" +
                            std::string(m_request[beast_http::field::content_length]) + "] [" +
                            m_request.body() + "]";
        m_server.change([&](record& _seen) {
            _seen.requests.push_back(target);
            _seen.most_in_hand = std::max(_seen.most_in_hand, ++_seen.in_hand);
        });
        if (target.rfind("/redirect", 0) == 0) {
            m_response.result(beast_http::status::found);
            m_response.set(beast_http::field::location,
                           target == "/redirect" ? target : target.substr(9));
        } else if (target.rfind("/status/", 0) == 0) {
            m_response.result(static_cast<unsigned>(std::stoi(target.substr(8))));
        }
        const auto delay = target.rfind("/delay/", 0) == 0 ? std::stoi(target.substr(7)) : 0;
        m_timer.expires_after(std::chrono::milliseconds(delay));
        m_timer.async_wait([self = shared_from_this()](error_code) { self->answer(); });
    }

    void answer() {
        m_response.prepare_payload();
        m_server.change([](record& _seen) { --_seen.in_hand; });
        beast_http::async_write(
            m_socket, m_response,
            [self = shared_from_this()](error_code _error, std::size_t) { self->read(_error); });
    }

    http_server& m_server;
    tcp::socket m_socket;
    boost::asio::steady_timer m_timer;
    boost::beast::flat_buffer m_buffer;
    beast_http::request<beast_http::string_body> m_request;
    beast_http::response<beast_http::string_body> m_response;
};

http_server::http_server(int _threads)
    : m_threads(static_cast<std::size_t>(_threads)),
      m_acceptor(m_threads, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {
    accept();
}

// The sessions' handlers, some of them waiting long, go with the pool; the acceptor
// and the record must outlive the threads.
http_server::~http_server() {
    m_threads.stop();
    m_threads.join();
}

http_server::record http_server::seen() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_seen;
}

void http_server::accept() {
    m_acceptor.async_accept([this](error_code _error, tcp::socket _socket) {
        if (!_error) {
            change([](record& _seen) { ++_seen.connections; });
            std::make_shared<session>(*this, std::move(_socket))->read();
            accept();
        }
    });
}

}  // namespace kelm::test
