#include "metrics_server.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

namespace kelm {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

// After a failed accept (descriptors exhausted, say) the listener waits this long rather than
// spin on an error that lasts.
constexpr std::chrono::milliseconds accept_retry{100};

bool too_large(const boost::system::error_code& _error) {
    return _error == http::error::header_limit || _error == http::error::body_limit ||
           _error == http::error::buffer_overflow;
}

bool malformed(const boost::system::error_code& _error) {
    return _error.category() == http::make_error_code(http::error::bad_method).category() &&
           _error != http::error::end_of_stream && _error != http::error::partial_message;
}

// One client. Its pending operation owns it, and the server closes it when the server goes.
class connection : public std::enable_shared_from_this<connection> {
public:
    connection(tcp::socket _socket, std::shared_ptr<const metrics_server::render_callback> _render)
        : m_stream(std::move(_socket)), m_render(std::move(_render)) {}

    void start() { read(); }

    void close() { m_stream.close(); }

private:
    void read() {
        m_parser.emplace();
        m_parser->header_limit(metrics_server::max_request_size);
        m_parser->body_limit(metrics_server::max_request_size);
        m_stream.expires_after(metrics_server::idle_timeout);
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = shared_from_this()](const boost::system::error_code& _error,
                                                     std::size_t) { self->on_read(_error); });
    }

    void on_read(const boost::system::error_code& _error) {
        if (too_large(_error)) {
            answer(http::status::payload_too_large, false);
        } else if (malformed(_error)) {
            answer(http::status::bad_request, false);
        } else if (!_error) {
            const auto& request = m_parser->get();
            const auto target = request.target();
            if (target.substr(0, target.find('?')) != "/metrics") {
                answer(http::status::not_found, request.keep_alive());
            } else if (request.method() != http::verb::get &&
                       request.method() != http::verb::head) {
                answer(http::status::method_not_allowed, request.keep_alive());
            } else {
                answer_metrics(request.method() == http::verb::head, request.keep_alive());
            }
        }
    }

    void answer_metrics(bool _head, bool _keep_alive) {
        m_response = {http::status::ok, 11};
        m_response.set(http::field::content_type, "text/plain; version=0.0.4");
        m_response.body() = (*m_render)();
        write(_head, _keep_alive);
    }

    void answer(http::status _status, bool _keep_alive) {
        m_response = {_status, 11};
        m_response.set(http::field::content_type, "text/plain");
        if (_status == http::status::method_not_allowed) {
            m_response.set(http::field::allow, "GET, HEAD");
        }
        m_response.body() = std::string(http::obsolete_reason(_status)) + "\n";
        write(false, _keep_alive);
    }

    void write(bool _head, bool _keep_alive) {
        m_response.keep_alive(_keep_alive);
        m_response.prepare_payload();
        if (_head) {
            m_response.body().clear();
        }
        m_stream.expires_after(metrics_server::idle_timeout);
        http::async_write(m_stream, m_response,
                          [self = shared_from_this()](const boost::system::error_code& _error,
                                                      std::size_t) { self->on_written(_error); });
    }

    void on_written(const boost::system::error_code& _error) {
        if (!_error && m_response.keep_alive()) {
            read();
        } else if (!_error) {
            boost::system::error_code ignored;
            m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
    }

    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer{metrics_server::max_request_size};
    std::optional<http::request_parser<http::string_body>> m_parser;
    http::response<http::string_body> m_response;
    std::shared_ptr<const metrics_server::render_callback> m_render;
};

}  // namespace

struct metrics_server::shared_data {
    shared_data(boost::asio::io_context& _io_context, render_callback _render)
        : acceptor(_io_context),
          retry(_io_context),
          render(std::make_shared<const render_callback>(std::move(_render))) {}

    tcp::acceptor acceptor;
    boost::asio::steady_timer retry;
    std::shared_ptr<const render_callback> render;
    std::vector<std::weak_ptr<connection>> connections;
};

metrics_server::metrics_server(boost::asio::io_context& _io_context, const tcp::endpoint& _endpoint,
                               render_callback _render)
    : m_data(std::make_shared<shared_data>(_io_context, std::move(_render))) {
    auto& acceptor = m_data->acceptor;
    boost::system::error_code error;
    acceptor.open(_endpoint.protocol(), error);
    // A restarted broker gets its port back while connections of the last one linger.
    if (!error) {
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(_endpoint, error);
    }
    if (!error) {
        acceptor.listen(tcp::acceptor::max_listen_connections, error);
    }
    if (error) {
        std::ostringstream what;
        what << "bind metrics " << _endpoint;
        throw boost::system::system_error(error, what.str());
    }
    accept(m_data);
}

metrics_server::~metrics_server() {
    boost::system::error_code ignored;
    m_data->acceptor.close(ignored);
    m_data->retry.cancel();
    for (const auto& weak : m_data->connections) {
        if (const auto client = weak.lock()) {
            client->close();
        }
    }
}

tcp::endpoint metrics_server::local_endpoint() const {
    return m_data->acceptor.local_endpoint();
}

void metrics_server::accept(const std::shared_ptr<shared_data>& _data) {
    _data->acceptor.async_accept([weak = std::weak_ptr<shared_data>(_data)](
                                     const boost::system::error_code& _error, tcp::socket _socket) {
        on_accept(weak, _error, std::move(_socket));
    });
}

void metrics_server::on_accept(const std::weak_ptr<shared_data>& _weak,
                               const boost::system::error_code& _error, tcp::socket _socket) {
    const auto data = _weak.lock();
    if (!data || _error == boost::asio::error::operation_aborted) {
        return;
    }
    if (_error) {
        data->retry.expires_after(accept_retry);
        data->retry.async_wait([weak = _weak](const boost::system::error_code& _cancelled) {
            const auto data = weak.lock();
            if (!_cancelled && data) {
                accept(data);
            }
        });
        return;
    }
    accept(data);
    auto& connections = data->connections;
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const auto& _client) { return _client.expired(); }),
                      connections.end());
    // Closing the socket, as it goes out of scope, is the whole answer past the limit.
    if (connections.size() < max_connections) {
        const auto client = std::make_shared<connection>(std::move(_socket), data->render);
        connections.push_back(client);
        client->start();
    }
}

}  // namespace kelm
