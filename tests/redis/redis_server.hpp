#pragma once

#include <hiredis/hiredis.h>

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kelm::test {

// A redis-server of the test's own on a free loopback port, with no persistence and a
// temporary directory; stopped and cleaned up by the destructor.
class redis_server {
public:
    redis_server();
    ~redis_server();

    int port() const { return m_port; }
    // Ends the server at once, as a crash would.
    void kill();
    // Starts an empty server again on the same port; returns once it answers.
    void start();

private:
    std::string m_directory;
    int m_port;
    pid_t m_pid = -1;
};

// A MONITOR connection: the words of the commands the server runs, quoted and escaped
// by the server, e.g. "GET" "k".
class redis_monitor {
public:
    explicit redis_monitor(int _port);
    ~redis_monitor() { redisFree(m_context); }
    // The next commands, waiting a bounded time for each.
    std::vector<std::string> next(std::size_t _count);

private:
    redisContext* m_context;
};

// A stand-in for a Redis server on a loopback port, for what a real one never does.
// The script gets each command received and answers the bytes to send (none: no
// answer); with `close` set the connection is closed after them.
class fake_server {
public:
    struct answer {
        std::string bytes;
        bool close = false;
    };
    using script = std::function<answer(const std::vector<std::string>& _words)>;

    explicit fake_server(script _script);
    ~fake_server();

    int port() const { return m_port; }

private:
    void serve();

    script m_script;
    int m_listener;
    int m_port;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A socket listening on a free loopback port, which is stored in _port.
int listen_on_loopback(int& _port);
// A loopback port nobody listens on.
int free_port();

}  // namespace kelm::test
