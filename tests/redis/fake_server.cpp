#include "fake_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace kelm::test {

namespace {

// Takes one command (an array of bulk strings) off the front of the input.
bool take_command(std::string& _input, std::vector<std::string>& _words) {
    std::size_t position = 0;
    const auto number = [&](char _prefix, long& _value) {
        const auto end = _input.find("\r\n", position);
        if (position >= _input.size() || _input[position] != _prefix || end == std::string::npos) {
            return false;
        }
        _value = std::strtol(_input.c_str() + position + 1, nullptr, 10);
        position = end + 2;
        return true;
    };
    long count = 0;
    if (!number('*', count)) {
        return false;
    }
    _words.clear();
    for (long i = 0; i < count; ++i) {
        long length = 0;
        if (!number('$', length) || _input.size() < position + length + 2) {
            return false;
        }
        _words.push_back(_input.substr(position, length));
        position += length + 2;
    }
    _input.erase(0, position);
    return true;
}

}  // namespace

fake_server::fake_server(script _script)
    : m_script(std::move(_script)), m_listener(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(m_listener, 16);
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { serve(); });
}

fake_server::~fake_server() {
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

void fake_server::serve() {
    std::vector<client> clients;
    while (!m_stop) {
        std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
        for (const auto& c : clients) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 20) <= 0) {
            continue;
        }
        for (std::size_t i = clients.size(); i > 0; --i) {
            if (fds[i].revents != 0 && !answer_commands(clients[i - 1])) {
                ::close(clients[i - 1].fd);
                clients.erase(clients.begin() + static_cast<long>(i - 1));
            }
        }
        if (fds[0].revents & POLLIN) {
            clients.push_back({::accept(m_listener, nullptr, nullptr), {}});
        }
    }
    for (const auto& c : clients) {
        ::close(c.fd);
    }
}

bool fake_server::answer_commands(client& _client) {
    char buffer[4096];
    const auto received = ::read(_client.fd, buffer, sizeof(buffer));
    if (received <= 0) {
        return false;
    }
    _client.input.append(buffer, static_cast<std::size_t>(received));
    std::vector<std::string> words;
    while (take_command(_client.input, words)) {
        const auto reply = m_script(words);
        ::send(_client.fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
        if (reply.close) {
            return false;
        }
    }
    return true;
}

}  // namespace kelm::test
