#include "redis_server.hpp"

#include "wait.hpp"

#include <hiredis/hiredis.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace kelm::test {

namespace {

bool answers_ping(int _port) {
    redisContext* context = redisConnect("127.0.0.1", _port);
    bool ok = false;
    if (context != nullptr && context->err == 0) {
        auto* reply = static_cast<redisReply*>(redisCommand(context, "PING"));
        ok = reply != nullptr && reply->type == REDIS_REPLY_STATUS;
        freeReplyObject(reply);
    }
    redisFree(context);
    return ok;
}

}  // namespace

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

redis_server::redis_server() : m_port(free_port()) {
    char directory[] = "/tmp/quorvane-redis-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        throw std::runtime_error("cannot make a directory for redis-server");
    }
    m_directory = directory;
    start();
}

redis_server::~redis_server() {
    kill();
    std::filesystem::remove_all(m_directory);
}

void redis_server::start() {
    const std::string port = std::to_string(m_port);
    const std::string log = m_directory + "/redis.log";
    std::vector<std::string> words{
        "redis-server", "--port", port,    "--bind",    "127.0.0.1", "--save", "",
        "--appendonly", "no",     "--dir", m_directory, "--logfile", log};
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    if (::posix_spawnp(&m_pid, "redis-server", nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start redis-server");
    }
    if (!eventually([this] { return answers_ping(m_port); })) {
        throw std::runtime_error("redis-server does not answer on port " + port);
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
    const timeval limit{patience.count(), 0};
    redisSetTimeout(m_context, limit);
    freeReplyObject(redisCommand(m_context, "MONITOR"));
}

redis_monitor::~redis_monitor() {
    redisFree(m_context);
}

std::vector<seen_command> redis_monitor::next(std::size_t _count) {
    std::vector<seen_command> result;
    while (result.size() < _count) {
        void* record = nullptr;
        if (redisGetReply(m_context, &record) != REDIS_OK) {
            break;
        }
        // 1700000000.000000 [0 127.0.0.1:50000] "GET" "k"
        const std::string line(static_cast<redisReply*>(record)->str);
        freeReplyObject(record);
        const auto client = line.find(' ', line.find('[')) + 1;
        const auto words = line.find("] ", client);
        result.push_back({line.substr(client, words - client), line.substr(words + 2)});
    }
    return result;
}

}  // namespace kelm::test
