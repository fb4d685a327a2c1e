#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/thread_pool.hpp>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace kelm::test {

// A real HTTP/1.1 server on a free loopback port, served by threads of its own, with
// keep-alive. It answers the request's target thus:
//   /status/N      status N
//   /redirect/T    302 to the target T, e.g. /redirect/status/200 goes to /status/200;
//                  /redirect alone goes to itself
//   /delay/N       200 after N milliseconds
//   /stream/N      200 with a body of N bytes, declared in Content-Length, sent until the
//                  client hangs up
//   /stream        200 with a body without a declared length that runs on until the
//                  client hangs up, and ends after 128 MiB, so a client taking it all
//                  sees an end
//   anything else  200
// with a body that tells what it read: "METHOD TARGET [content-type] [content-length]
// [body]". It counts the connections it accepted, records the target of every
// request it read and how many bytes of body each stream had sent when it ended.
class http_server {
public:
    struct record {
        std::size_t connections = 0;
        std::vector<std::string> requests;
        std::vector<std::size_t> streamed;
    };

    explicit http_server(int _threads = 1);
    // The sessions' handlers, some of them waiting long, go with the pool; the acceptor
    // and the record must outlive the threads.
    ~http_server() {
        m_threads.stop();
        m_threads.join();
    }

    unsigned short port() const { return m_acceptor.local_endpoint().port(); }
    // "http://127.0.0.1:<port>", without a trailing slash.
    std::string address() const { return "http://127.0.0.1:" + std::to_string(port()); }
    // What the server has seen so far; sessions run on any of the threads.
    record seen() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }

private:
    struct session;

    void accept();

    mutable std::mutex m_mutex;
    record m_seen;
    boost::asio::thread_pool m_threads;
    boost::asio::ip::tcp::acceptor m_acceptor;
};

}  // namespace kelm::test
