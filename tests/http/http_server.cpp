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

class http_server::session : public std::enable_shared_from_this<session> {
public:
    session(http_server& _server, tcp::socket _socket)
        : m_server(_server), m_socket(std::move(_socket)), m_timer(m_socket.get_executor()) {}

    void read() {
        m_request = {};
        beast_http::async_read(
            m_socket, m_buffer, m_request,
            [self = shared_from_this()](boost::beast::error_code _error, std::size_t) {
                if (!_error) {
                    self->on_read();
                }
            });
    }

private:
    void on_read() {
        const std::string target(m_request.target());
        m_server.on_request({std::string(m_request.method_string()), target,
                             std::string(m_request[beast_http::field::content_type]),
                             m_request.count(beast_http::field::content_length) != 0,
                             m_request.body()});
        const auto rest = [&](const std::string& _prefix) {
            return target.compare(0, _prefix.size(), _prefix) == 0 ? target.substr(_prefix.size())
                                                                   : std::string();
        };
        if (target == "/stall") {
            // Holds the session, and so the connection, until the server stops.
            m_timer.expires_after(std::chrono::hours(1));
            m_timer.async_wait([self = shared_from_this()](boost::beast::error_code) {});
        } else if (!rest("/delay/").empty()) {
            m_timer.expires_after(std::chrono::milliseconds(std::stoi(rest("/delay/"))));
            m_timer.async_wait(
                [self = shared_from_this()](boost::beast::error_code) { self->answer(200, "ok"); });
        } else if (target == "/loop") {
            m_response_location = target;
            answer(302, "");
        } else if (!rest("/redirect").empty()) {
            m_response_location = rest("/redirect");
            answer(302, "");
        } else if (!rest("/status/").empty()) {
            const int status = std::stoi(rest("/status/"));
            answer(status, status == 204 ? "" : "status " + std::to_string(status));
        } else {
            answer(200, "ok");
        }
    }

    void answer(int _status, std::string _body) {
        m_response = {};
        m_response.result(static_cast<unsigned>(_status));
        m_response.version(11);
        m_response.keep_alive(m_request.keep_alive());
        if (!m_response_location.empty()) {
            m_response.set(beast_http::field::location, m_response_location);
            m_response_location.clear();
        }
        m_response.body() = std::move(_body);
        m_response.prepare_payload();
        m_server.on_answer();
        beast_http::async_write(
            m_socket, m_response,
            [self = shared_from_this()](boost::beast::error_code _error, std::size_t) {
                if (!_error && self->m_response.keep_alive()) {
                    self->read();
                }
            });
    }

    http_server& m_server;
    tcp::socket m_socket;
    boost::asio::steady_timer m_timer;
    boost::beast::flat_buffer m_buffer;
    beast_http::request<beast_http::string_body> m_request;
    beast_http::response<beast_http::string_body> m_response;
    std::string m_response_location;
};

http_server::http_server(int _threads)
    : m_acceptor(m_io_context, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)),
      m_port(m_acceptor.local_endpoint().port()) {
    accept();
    for (int i = 0; i < _threads; ++i) {
        m_threads.emplace_back([this] { m_io_context.run(); });
    }
}

http_server::~http_server() {
    m_io_context.stop();
    for (auto& thread : m_threads) {
        thread.join();
    }
}

std::string http_server::address() const {
    return "http://127.0.0.1:" + std::to_string(m_port);
}

http_server::record http_server::seen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_seen;
}

void http_server::accept() {
    m_acceptor.async_accept([this](boost::beast::error_code _error, tcp::socket _socket) {
        if (_error) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_seen.connections;
        }
        std::make_shared<session>(*this, std::move(_socket))->read();
        accept();
    });
}

void http_server::on_request(request _request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_seen.requests.push_back(std::move(_request));
    m_seen.most_in_hand = std::max(m_seen.most_in_hand, ++m_seen.in_hand);
}

void http_server::on_answer() {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_seen.in_hand;
}

}  // namespace kelm::test
