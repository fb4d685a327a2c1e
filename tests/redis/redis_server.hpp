#pragma once

#include <hiredis/hiredis.h>

#include <sys/types.h>

#include <string>
#include <vector>

namespace kelm::test {

// A redis-server of the test's own on a free loopback port, with no persistence and a
// temporary directory; stopped and cleaned up by the destructor.
class redis_server {
public:
    redis_server();
    ~redis_server();
    redis_server(const redis_server&) = delete;
    redis_server& operator=(const redis_server&) = delete;

    int port() const { return m_port; }
    // Ends the server at once, as a crash would.
    void kill();
    // Starts an empty server again on the same port; answers when it takes commands.
    void start();

private:
    std::string m_directory;
    int m_port;
    pid_t m_pid = -1;
};

// One command the server saw, as MONITOR reports it: the client's address and the
// words, quoted and escaped by the server, e.g. "GET" "k".
struct seen_command {
    std::string client;
    std::string words;
};

// A MONITOR connection to the server.
class redis_monitor {
public:
    explicit redis_monitor(int _port);
    ~redis_monitor();
    // The next commands the server runs, waiting a bounded time for each.
    std::vector<seen_command> next(std::size_t _count);

private:
    redisContext* m_context;
};

// A port on the loopback address nobody listens on.
int free_port();

}  // namespace kelm::test
