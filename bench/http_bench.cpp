// Side-by-side benchmark of the runtime's HTTP client against libcurl's multi interface,
// alternating the two (A B A B) against the same local server so that machine noise hits
// both alike. The server runs in a child process, so the CPU figures are the client's own.
#include "options.hpp"

#include "child_process.hpp"
#include "http_server.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <curl/curl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace core = kelm::libs::core;
namespace http = kelm::libs::core::http;

struct options {
    int requests = 20000;
    int parallel = 10;
    int rounds = 2;
    int server_threads = 1;
};

constexpr const char* usage =
    "usage: http_bench [--requests N] [--parallel N] [--rounds N] [--server-threads N]\n"
    "Each round sends N small GET requests through the client running --parallel of them\n"
    "at a time, then through libcurl's multi interface with as many transfers at a time.\n";

options parse_options(int _argc, char** _argv) {
    options parsed;
    quorvane::bench::parse_counts<int>(_argc, _argv, usage,
                                       {{"--requests", &parsed.requests},
                                        {"--parallel", &parsed.parallel},
                                        {"--rounds", &parsed.rounds},
                                        {"--server-threads", &parsed.server_threads}});
    return parsed;
}

double cpu_seconds(int _who) {
    rusage usage{};
    getrusage(_who, &usage);
    const auto seconds = [](const timeval& _time) { return _time.tv_sec + _time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// What the server process has done so far.
struct server_counts {
    double connections = 0;
    double requests = 0;
    double cpu_seconds = 0;
};

// The server in a child process, asked for its counts over a pair of pipes.
class server_process {
public:
    explicit server_process(int _threads) {
        int to_child[2];
        int from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0) {
            throw std::runtime_error("pipe failed");
        }
        m_child.emplace([&] {
            close(to_child[1]);
            close(from_child[0]);
            serve(_threads, to_child[0], from_child[1]);
            return 0;
        });
        close(to_child[0]);
        close(from_child[1]);
        m_commands = fdopen(to_child[1], "w");
        m_answers = fdopen(from_child[0], "r");
        if (std::fscanf(m_answers, "%hu", &m_port) != 1) {
            throw std::runtime_error("the server did not start");
        }
    }

    ~server_process() {
        std::fclose(m_commands);
        std::fclose(m_answers);
        // The server ends when its commands do.
        m_child->wait(std::chrono::seconds(5));
    }

    std::string address() const { return "http://127.0.0.1:" + std::to_string(m_port); }

    server_counts counts() {
        std::fputc('?', m_commands);
        std::fflush(m_commands);
        server_counts counts;
        if (std::fscanf(m_answers, "%lf %lf %lf", &counts.connections, &counts.requests,
                        &counts.cpu_seconds) != 3) {
            throw std::runtime_error("the server did not answer");
        }
        return counts;
    }

private:
    static void serve(int _threads, int _commands, int _answers) {
        kelm::test::http_server server(_threads);
        FILE* answers = fdopen(_answers, "w");
        std::fprintf(answers, "%hu\n", server.port());
        std::fflush(answers);
        char command = 0;
        while (read(_commands, &command, 1) == 1) {
            const auto seen = server.seen();
            std::fprintf(answers, "%zu %zu %f\n", seen.connections, seen.requests.size(),
                         cpu_seconds(RUSAGE_SELF));
            std::fflush(answers);
        }
        std::fclose(answers);
    }

    std::optional<kelm::test::child_process> m_child;
    FILE* m_commands;
    FILE* m_answers;
    unsigned short m_port = 0;
};

struct run_figures {
    double seconds;
    double cpu_seconds;
    server_counts server;
    int failed;
};

template <class Run>
run_figures measure(server_process& _server, Run&& _run) {
    const auto server_before = _server.counts();
    const auto cpu_before = cpu_seconds(RUSAGE_SELF);
    const auto start = std::chrono::steady_clock::now();
    const int failed = _run();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const auto cpu = cpu_seconds(RUSAGE_SELF) - cpu_before;
    auto server = _server.counts();
    server.connections -= server_before.connections;
    server.requests -= server_before.requests;
    server.cpu_seconds -= server_before.cpu_seconds;
    return {elapsed.count(), cpu, server, failed};
}

int run_client(core::core& _core, const std::string& _address, const options& _options) {
    // A loop of its own per run: a stopped loop stays stopped.
    const auto loop = _core.create_events_loop("main");
    const auto client =
        loop->create_http_client(_address, std::chrono::seconds(10), {}, _options.parallel);
    const auto work = loop->create_work();
    int completed = 0;
    int failed = 0;
    std::vector<http::client::handle::ptr> handles;
    handles.reserve(_options.requests);
    for (int i = 0; i < _options.requests; ++i) {
        handles.push_back(
            client->perform_async_request(http::method::get, "/", [&](http::result _result) {
                failed += !_result.ok();
                if (++completed == _options.requests) {
                    loop->stop();
                }
            }));
    }
    loop->run();
    return failed;
}

std::size_t discard(char*, std::size_t _size, std::size_t _count, void* _received) {
    *static_cast<std::size_t*>(_received) += _size * _count;
    return _size * _count;
}

int run_multi(const std::string& _address, const options& _options) {
    CURLM* const multi = curl_multi_init();
    std::vector<CURL*> transfers(_options.parallel);
    std::size_t received = 0;
    const std::string url = _address + "/";
    int started = 0;
    for (auto& transfer : transfers) {
        transfer = curl_easy_init();
        curl_easy_setopt(transfer, CURLOPT_URL, url.c_str());
        curl_easy_setopt(transfer, CURLOPT_USERAGENT, "quorvane");
        curl_easy_setopt(transfer, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(transfer, CURLOPT_WRITEFUNCTION, &discard);
        curl_easy_setopt(transfer, CURLOPT_WRITEDATA, &received);
        if (started < _options.requests) {
            curl_multi_add_handle(multi, transfer);
            ++started;
        }
    }
    int completed = 0;
    int failed = 0;
    while (completed < _options.requests) {
        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            long status = 0;
            curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
            failed += message->data.result != CURLE_OK || status != 200;
            ++completed;
            curl_multi_remove_handle(multi, message->easy_handle);
            if (started < _options.requests) {
                curl_multi_add_handle(multi, message->easy_handle);
                ++started;
            }
        }
        if (completed < _options.requests) {
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }
    for (auto* transfer : transfers) {
        curl_easy_cleanup(transfer);
    }
    curl_multi_cleanup(multi);
    return failed;
}

void print(const char* _name, int _round, const run_figures& _figures, int _requests) {
    std::printf("%5d  %-22s %10.0f %14.1f %12.0f %13.0f%% %8d\n", _round, _name,
                _requests / _figures.seconds, 1e6 * _figures.cpu_seconds / _requests,
                _figures.server.connections, 100 * _figures.server.cpu_seconds / _figures.seconds,
                _figures.failed);
}

}  // namespace

int main(int _argc, char** _argv) {
    try {
        const auto parsed = parse_options(_argc, _argv);
        // Forked before this process starts any thread.
        server_process server(parsed.server_threads);
        curl_global_init(CURL_GLOBAL_DEFAULT);
        core::logger logger("http_bench", "main");
        logger.set_writing_to_socket(false);
        const auto core = core::core::create(logger);

        std::printf("%d requests per run, %d at a time, server threads %d\n", parsed.requests,
                    parsed.parallel, parsed.server_threads);
        std::printf("round  %-22s %10s %14s %12s %14s %8s\n", "variant", "requests/s",
                    "CPU us/request", "connections", "server CPU", "failed");
        double client_seconds = 0;
        double multi_seconds = 0;
        for (int round = 1; round <= parsed.rounds; ++round) {
            const auto client =
                measure(server, [&] { return run_client(*core, server.address(), parsed); });
            print("client", round, client, parsed.requests);
            const auto multi = measure(server, [&] { return run_multi(server.address(), parsed); });
            print("libcurl multi", round, multi, parsed.requests);
            client_seconds += client.seconds;
            multi_seconds += multi.seconds;
        }
        std::printf("client / multi requests per second, all rounds: %.2f\n",
                    multi_seconds / client_seconds);
        return 0;
    } catch (const std::exception& _error) {
        std::cerr << "http_bench: " << _error.what() << "\n";
        return 1;
    }
}
