#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kelm::test {

// A stand-in for a Redis server on a loopback port, for what a real one never does.
// Each command received is handed to the script on the server's thread; the answer's
// bytes are sent as they are (nothing: no answer), then the connection is closed if
// asked to.
class fake_server {
public:
    struct answer {
        std::string bytes;
        bool close = false;
    };
    using script = std::function<answer(const std::vector<std::string>& _words)>;

    explicit fake_server(script _script);
    ~fake_server();
    fake_server(const fake_server&) = delete;
    fake_server& operator=(const fake_server&) = delete;

    int port() const { return m_port; }

private:
    struct client {
        int fd;
        std::string input;
    };

    void serve();
    // Answers every whole command in the client's input; false once it is closed.
    bool answer_commands(client& _client);

    script m_script;
    int m_listener;
    int m_port;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace kelm::test
