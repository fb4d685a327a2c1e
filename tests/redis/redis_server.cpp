#include "redis_server.hpp"

#include "wait.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>

extern char** environ;

namespace kelm::test {

int listen_on_loopback(int& _port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(fd, 16);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    _port = ntohs(address.sin_port);
    return fd;
}

int free_port() {
    int port = 0;
    ::close(listen_on_loopback(port));
    return port;
}

redis_server::redis_server() : m_directory("/tmp/quorvane-redis-XXXXXX"), m_port(free_port()) {
    if (::mkdtemp(m_directory.data()) == nullptr) {
        throw std::runtime_error("cannot make a directory for redis-server");
    }
    start();
}

redis_server::~redis_server() {
    kill();
    std::filesystem::remove_all(m_directory);
}

void redis_server::start() {
    std::vector<std::string> words{"redis-server",
                                   "--port",
                                   std::to_string(m_port),
                                   "--bind",
                                   "127.0.0.1",
                                   "--save",
                                   "",
                                   "--appendonly",
                                   "no",
                                   "--dir",
                                   m_directory,
                                   "--logfile",
                                   m_directory + "/redis.log"};
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    if (::posix_spawnp(&m_pid, "redis-server", nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start redis-server");
    }
    const bool answers = eventually([this] {
        redisContext* context = redisConnect("127.0.0.1", m_port);
        auto* reply = context->err ? nullptr : redisCommand(context, "PING");
        freeReplyObject(reply);
        redisFree(context);
        return reply != nullptr;
    });
    if (!answers) {
        throw std::runtime_error("redis-server does not answer");
    }
}

void redis_server::kill() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

redis_monitor::redis_monitor(int _port) : m_context(redisConnect("127.0.0.1", _port)) {
    redisSetTimeout(m_context, timeval{patience.count(), 0});
    freeReplyObject(redisCommand(m_context, "MONITOR"));
}

std::vector<std::string> redis_monitor::next(std::size_t _count) {
    std::vector<std::string> result;
    void* record = nullptr;
    while (result.size() < _count && redisGetReply(m_context, &record) == REDIS_OK) {
        // 1700000000.000000 [0 127.0.0.1:50000] "GET" "k"
        const std::string line(static_cast<redisReply*>(record)->str);
        freeReplyObject(record);
        result.push_back(line.substr(line.find("] ") + 2));
    }
    return result;
}

namespace {

// Takes one command (an array of bulk strings) off the front of the input.
bool take_command(std::string& _input, std::vector<std::string>& _words) {
    std::size_t at = 0;
    const auto number = [&](char _prefix, std::size_t& _value) {
        const auto end = _input.find("\r\n", at);
        if (at >= _input.size() || _input[at] != _prefix || end == std::string::npos) {
            return false;
        }
        _value = std::strtoul(_input.c_str() + at + 1, nullptr, 10);
        at = end + 2;
        return true;
    };
    std::size_t count = 0;
    _words.clear();
    if (!number('*', count)) {
        return false;
    }
    for (std::size_t length = 0; _words.size() < count; at += length + 2) {
        if (!number('$', length) || _input.size() < at + length + 2) {
            return false;
        }
        _words.push_back(_input.substr(at, length));
    }
    _input.erase(0, at);
    return true;
}

}  // namespace

fake_server::fake_server(script _script)
    : m_script(std::move(_script)), m_listener(listen_on_loopback(m_port)) {
    m_thread = std::thread([this] { serve(); });
}

fake_server::~fake_server() {
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

void fake_server::serve() {
    std::map<int, std::string> inputs;
    while (!m_stop) {
        std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
        for (const auto& input : inputs) {
            fds.push_back({input.first, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 20) > 0 && (fds[0].revents & POLLIN)) {
            inputs[::accept(m_listener, nullptr, nullptr)];
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            char buffer[4096];
            const auto received = fds[i].revents ? ::read(fds[i].fd, buffer, sizeof(buffer)) : -2;
            auto& input = inputs[fds[i].fd];
            input.append(buffer, received > 0 ? received : 0);
            bool open = received != 0 && received != -1;
            for (std::vector<std::string> words; open && take_command(input, words);) {
                const auto reply = m_script(words);
                ::send(fds[i].fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
                open = !reply.close;
            }
            if (!open) {
                ::close(fds[i].fd);
                inputs.erase(fds[i].fd);
            }
        }
    }
    for (const auto& input : inputs) {
        ::close(input.first);
    }
}

}  // namespace kelm::test
