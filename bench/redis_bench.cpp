// Side-by-side benchmark of the runtime's asynchronous Redis commands against raw hiredis
// on a minimal poll loop, both against one local redis-server that the benchmark starts.
// The two alternate (A B A B ...) so that machine noise hits both alike; each run is a
// child process of its own, so its CPU time and peak RSS are its own.
#include "child_process.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include <boost/asio/io_context.hpp>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace core = kelm::libs::core;
namespace redis = kelm::libs::core::redis;

constexpr const char* usage =
    "usage: redis_bench [--commands N] [--rounds N] [--warmup N] [--port N]\n"
    "Runs N asynchronous SETs (16-byte keys, 64-byte values) issued at once, through the\n"
    "runtime and through raw hiredis, alternating for the given rounds. Each run first\n"
    "sends --warmup untimed batches (default 1).\n";

struct workload {
    // Untimed batches first, so that both sides are measured with a heap already grown.
    int warmup = 1;
    std::vector<std::string> keys;
    std::string value = std::string(64, 'v');
};

// What a child reports back through its pipe.
struct measurement {
    double seconds = 0;
    // Until the last command was queued, before anything went out.
    double issue_seconds = 0;
    double cpu_seconds = 0;
    std::size_t failed = 0;
};

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& _t) { return _t.tv_sec + _t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class stopwatch {
public:
    void issued() { m_issued = std::chrono::steady_clock::now(); }
    measurement stop(std::size_t _failed) const {
        const auto now = std::chrono::steady_clock::now();
        const std::chrono::duration<double> elapsed = now - m_start;
        const std::chrono::duration<double> issuing = m_issued - m_start;
        return {elapsed.count(), issuing.count(), cpu_seconds() - m_cpu, _failed};
    }

private:
    std::chrono::steady_clock::time_point m_issued;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    double m_cpu = cpu_seconds();
};

measurement run_runtime(int _port, const workload& _work) {
    core::logger logger("redis_bench", "main");
    logger.set_writing_to_socket(false);
    const auto root = core::core::create(logger);
    const auto loop = root->create_events_loop("bench");
    auto& io = loop->get_io_context();
    boost::optional<redis::context::ptr> client;
    const auto open = loop->create_redis_context("127.0.0.1", _port, 0);
    open->set_callback(
        [&](boost::optional<redis::context::ptr> _client) { client = std::move(_client); });
    while (!client) {
        io.run_one();
    }
    if (!*client) {
        throw std::runtime_error("the runtime's client did not open");
    }
    auto& commands = **client;
    measurement result;
    for (int batch = 0; batch <= _work.warmup; ++batch) {
        // As a program would: the key and the value are copied into the strings the
        // command takes, and each handle is kept until its reply arrives.
        const auto& keys = _work.keys;
        struct {
            std::vector<core::async_operation_handle<redis::reply>::ptr> handles;
            std::size_t replies = 0;
            std::size_t failed = 0;
        } state;
        state.handles.resize(keys.size());
        stopwatch watch;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            auto& handle = state.handles[i];
            handle = commands.set(keys[i], _work.value)->execute_async();
            handle->set_callback([state = &state, i](redis::reply _reply) {
                ++state->replies;
                state->failed += _reply.get_type() != redis::reply_type::STATUS;
                state->handles[i].reset();
            });
        }
        watch.issued();
        while (state.replies < keys.size()) {
            io.run_one();
        }
        result = watch.stop(state.failed);
    }
    return result;
}

// The smallest event loop hiredis can run on: one descriptor, polled for what it asks.
struct poll_loop {
    bool read = false;
    bool write = false;
    bool connected = false;
    std::size_t replies = 0;
    std::size_t failed = 0;
};

measurement run_raw(int _port, const workload& _work) {
    redisAsyncContext* const context = redisAsyncConnect("127.0.0.1", _port);
    if (context == nullptr || context->err != 0) {
        throw std::runtime_error("raw hiredis did not connect");
    }
    poll_loop state;
    context->ev.data = &state;
    context->ev.addRead = [](void* _data) { static_cast<poll_loop*>(_data)->read = true; };
    context->ev.delRead = [](void* _data) { static_cast<poll_loop*>(_data)->read = false; };
    context->ev.addWrite = [](void* _data) { static_cast<poll_loop*>(_data)->write = true; };
    context->ev.delWrite = [](void* _data) { static_cast<poll_loop*>(_data)->write = false; };
    redisAsyncSetConnectCallback(context, [](const redisAsyncContext* _context, int _status) {
        static_cast<poll_loop*>(_context->ev.data)->connected = _status == REDIS_OK;
    });
    const auto turn = [&] {
        pollfd descriptor{
            context->c.fd,
            static_cast<short>((state.read ? POLLIN : 0) | (state.write ? POLLOUT : 0)), 0};
        if (poll(&descriptor, 1, 1000) <= 0) {
            return;
        }
        if (descriptor.revents & (POLLIN | POLLERR | POLLHUP)) {
            redisAsyncHandleRead(context);
        }
        if (descriptor.revents & POLLOUT) {
            redisAsyncHandleWrite(context);
        }
    };
    while (!state.connected) {
        turn();
    }

    measurement result;
    for (int batch = 0; batch <= _work.warmup; ++batch) {
        state.replies = 0;
        state.failed = 0;
        stopwatch watch;
        for (const auto& key : _work.keys) {
            const char* argv[] = {"SET", key.data(), _work.value.data()};
            const std::size_t argv_len[] = {3, key.size(), _work.value.size()};
            redisAsyncCommandArgv(
                context,
                [](redisAsyncContext*, void* _reply, void* _data) {
                    auto& loop = *static_cast<poll_loop*>(_data);
                    ++loop.replies;
                    loop.failed += _reply == nullptr ||
                                   static_cast<redisReply*>(_reply)->type != REDIS_REPLY_STATUS;
                },
                &state, 3, argv, argv_len);
        }
        watch.issued();
        while (state.replies < _work.keys.size()) {
            turn();
        }
        result = watch.stop(state.failed);
    }
    redisAsyncDisconnect(context);
    return result;
}

struct run_result {
    measurement measured;
    long peak_rss_kib = 0;
};

// Runs one variant in a child process, which ends with its peak RSS on record.
template <class Variant>
run_result in_child(Variant&& _variant) {
    int channel[2];
    if (pipe(channel) != 0) {
        throw std::runtime_error("pipe failed");
    }
    kelm::test::child_process child([&] {
        close(channel[0]);
        const measurement result = _variant();
        return write(channel[1], &result, sizeof(result)) == sizeof(result) ? 0 : 1;
    });
    close(channel[1]);
    run_result result;
    const bool received = read(channel[0], &result.measured, sizeof(result.measured)) ==
                          static_cast<ssize_t>(sizeof(result.measured));
    close(channel[0]);
    // A run that has sent its figures has nothing left but to exit.
    if (!received || child.wait(std::chrono::seconds(10)) != 0) {
        throw std::runtime_error("a benchmark run failed");
    }
    result.peak_rss_kib = child.peak_rss_kib();
    return result;
}

// A loopback port that nobody listens on now.
int free_port() {
    const int descriptor = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(descriptor, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    close(descriptor);
    return ntohs(address.sin_port);
}

redisReply* command(int _port, const char* _text) {
    redisContext* context = redisConnect("127.0.0.1", _port);
    void* reply = context != nullptr && context->err == 0 ? redisCommand(context, _text) : nullptr;
    redisFree(context);
    return static_cast<redisReply*>(reply);
}

// A redis-server of the benchmark's own, without persistence, in a temporary directory.
class server {
public:
    explicit server(int _port) : m_port(_port) {
        char directory[] = "/tmp/redis-bench-XXXXXX";
        if (mkdtemp(directory) == nullptr) {
            throw std::runtime_error("cannot make a directory for redis-server");
        }
        m_directory = directory;
        m_process.emplace(std::vector<std::string>{
            "redis-server", "--port", std::to_string(_port), "--bind", "127.0.0.1", "--save", "",
            "--appendonly", "no", "--dir", m_directory, "--logfile", m_directory + "/redis.log"});
        for (int i = 0; i < 500; ++i) {
            if (auto* reply = command(_port, "PING")) {
                freeReplyObject(reply);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        throw std::runtime_error("redis-server does not answer");
    }
    ~server() {
        m_process->stop(std::chrono::seconds(5));
        std::filesystem::remove_all(m_directory);
    }

private:
    int m_port;
    std::string m_directory;
    std::optional<kelm::test::child_process> m_process;
};

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    const auto middle = _values.size() / 2;
    return _values.size() % 2 != 0 ? _values[middle] : (_values[middle - 1] + _values[middle]) / 2;
}

void report(const char* _label, std::size_t _count, const run_result& _run) {
    std::printf(
        "%-8s %8.1f ms (issuing %6.1f ms) %10.0f commands/s %7.3f us CPU/command "
        "%7.1f MiB peak RSS%s\n",
        _label, _run.measured.seconds * 1e3, _run.measured.issue_seconds * 1e3,
        _count / _run.measured.seconds, _run.measured.cpu_seconds * 1e6 / _count,
        _run.peak_rss_kib / 1024.0, _run.measured.failed != 0 ? "  (failed replies!)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 100000;
    int rounds = 3;
    int port = 0;
    workload work;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (value < 0 || (value == 0 && option != "--warmup")) {
            std::fputs(usage, stderr);
            return 2;
        }
        if (option == "--warmup") {
            work.warmup = static_cast<int>(value);
        } else if (option == "--commands") {
            count = static_cast<std::size_t>(value);
        } else if (option == "--rounds") {
            rounds = static_cast<int>(value);
        } else if (option == "--port") {
            port = static_cast<int>(value);
        } else {
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (argc % 2 == 0) {
        std::fputs(usage, stderr);
        return 2;
    }
    if (port == 0) {
        port = free_port();
    }
    try {
        const server local(port);
        for (std::size_t i = 0; i < count; ++i) {
            char key[17];
            std::snprintf(key, sizeof(key), "key:%012zu", i % 1000000000000);
            work.keys.emplace_back(key);
        }
        std::printf("%zu asynchronous SETs, %zu-byte keys, %zu-byte values, redis-server on %d\n",
                    count, work.keys[0].size(), work.value.size(), port);
        // Medians, and the ratio of each A B pair, so that one lucky run does not decide.
        std::vector<double> runtime_rates, raw_rates, ratios, runtime_cpu, raw_cpu;
        for (int round = 0; round < rounds; ++round) {
            freeReplyObject(command(port, "FLUSHALL"));
            const auto runtime = in_child([&] { return run_runtime(port, work); });
            report("runtime", count, runtime);
            freeReplyObject(command(port, "FLUSHALL"));
            const auto raw = in_child([&] { return run_raw(port, work); });
            report("hiredis", count, raw);
            runtime_rates.push_back(count / runtime.measured.seconds);
            raw_rates.push_back(count / raw.measured.seconds);
            ratios.push_back(runtime_rates.back() / raw_rates.back());
            runtime_cpu.push_back(runtime.measured.cpu_seconds * 1e6 / count);
            raw_cpu.push_back(raw.measured.cpu_seconds * 1e6 / count);
        }
        std::printf(
            "median of %d rounds: runtime %.0f, raw hiredis %.0f commands/s, ratio %.2f; "
            "CPU/command %.3f vs %.3f us\n",
            rounds, median(runtime_rates), median(raw_rates), median(ratios), median(runtime_cpu),
            median(raw_cpu));
        const std::string reference = "redis-benchmark -h 127.0.0.1 -p " + std::to_string(port) +
                                      " -t set -P 100000 -c 1 -d 64 -n " + std::to_string(count) +
                                      " -q";
        if (std::system("command -v redis-benchmark >/dev/null 2>&1") == 0) {
            std::printf("%s:\n", reference.c_str());
            std::fflush(stdout);
            freeReplyObject(command(port, "FLUSHALL"));
            // Its progress lines end in carriage returns; keep the final figure.
            if (std::system((reference + " | tr '\\r' '\\n' | grep 'per second'").c_str()) != 0) {
                std::puts("redis-benchmark failed");
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "redis_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
