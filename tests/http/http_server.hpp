#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelm::test {

// A real HTTP/1.1 server on a free loopback port, served by threads of its own, with
// keep-alive. What it answers depends on the request's target:
//   /status/N      status N, body "status N" (no body for 204)
//   /redirect/T    302 to the target T, e.g. /redirect/status/200 goes to /status/200
//   /loop          302 to itself
//   /delay/N       200 after N milliseconds
//   /stall         never answers
//   anything else  200, body "ok"
// It counts the connections it accepted and the most requests it had in hand at once,
// and records every request it read.
class http_server {
public:
    struct request {
        std::string method;
        std::string target;
        std::string content_type;
        bool has_content_length;
        std::string body;
    };

    explicit http_server(int _threads = 1);
    ~http_server();
    http_server(const http_server&) = delete;
    http_server& operator=(const http_server&) = delete;

    unsigned short port() const { return m_port; }
    // "http://127.0.0.1:<port>", without a trailing slash.
    std::string address() const;

    struct record {
        std::size_t connections = 0;
        std::size_t in_hand = 0;
        std::size_t most_in_hand = 0;
        std::vector<request> requests;
    };
    // What the server has seen so far.
    record seen() const;

private:
    class session;
    friend class session;

    void accept();
    void on_request(request _request);
    void on_answer();

    boost::asio::io_context m_io_context;
    boost::asio::ip::tcp::acceptor m_acceptor;
    unsigned short m_port;
    mutable std::mutex m_mutex;
    record m_seen;
    std::vector<std::thread> m_threads;
};

}  // namespace kelm::test
