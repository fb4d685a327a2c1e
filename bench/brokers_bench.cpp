// Several brokers side by side against one: producers spread their frames over every broker's
// input (with ZMQ_IMMEDIATE, as the README tells them), one consumer hears every output. Runs
// alternate between one broker and several, and the medians are printed with their ratio.
#include "child_process.hpp"
#include "load.hpp"
#include "options.hpp"

#include <zmq.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quorvane_bench {
namespace {

using steady_clock = std::chrono::steady_clock;

constexpr const char* usage =
    "usage: brokers_bench [--brokers N] [--producers N] [--messages N] [--size N] [--rounds N]\n"
    "Frames per second taken from the producers (intake) and delivered to one consumer,\n"
    "with one broker and with N (default 2), alternating for the given rounds.\n";

struct options {
    std::uint64_t brokers = 2;
    std::uint64_t producers = 2;
    std::uint64_t messages = 1000000;
    std::uint64_t size = 64;
    std::uint64_t rounds = 3;
};

struct run_result {
    double intake = 0;
    double delivered = 0;
    double lost = 0;
    // The brokers' user and system time per message, in microseconds.
    double cpu_us = 0;
};

std::unique_ptr<kelm::test::child_process> start_broker(const endpoints& _endpoints,
                                                        const std::filesystem::path& _config) {
    std::ofstream(_config) << "{ \"system\": { \"input_address\": \"" << _endpoints.input
                           << "\", \"output_address\": \"" << _endpoints.output << "\" } }\n";
    return std::make_unique<kelm::test::child_process>(
        std::vector<std::string>{QUORVANE_BENCH_BROKER, "-c", _config.string()});
}

// Until a probe through each broker's input reaches the consumer, then what is left in flight
// is dropped.
void await_forwarding(zmq::context_t& _context, zmq::socket_t& _consumer,
                      const std::vector<endpoints>& _endpoints,
                      std::vector<std::unique_ptr<kelm::test::child_process>>& _brokers) {
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    _consumer.set(zmq::sockopt::rcvtimeo, 20);
    for (std::size_t i = 0; i < _endpoints.size(); ++i) {
        zmq::socket_t probe(_context, zmq::socket_type::push);
        probe.set(zmq::sockopt::linger, 0);
        probe.connect(_endpoints[i].input);
        for (zmq::message_t message; message.to_string() != "p" + std::to_string(i);) {
            _brokers[i]->check_running();
            if (steady_clock::now() > deadline) throw std::runtime_error("no broker forwards");
            (void)probe.send(zmq::buffer("p" + std::to_string(i)), zmq::send_flags::dontwait);
            if (!_consumer.recv(message)) message.rebuild();
        }
    }
    _consumer.set(zmq::sockopt::rcvtimeo, 100);
    for (zmq::message_t message; _consumer.recv(message);) {
    }
}

run_result run_once(std::size_t _brokers, const options& _options) {
    const temp_directory directory{"quorvane-brokers"};
    std::vector<endpoints> endpoints;
    std::vector<std::unique_ptr<kelm::test::child_process>> brokers;
    for (std::size_t i = 0; i < _brokers; ++i) {
        endpoints.push_back(pick_loopback_endpoints());
        brokers.push_back(
            start_broker(endpoints.back(), directory.path() / (std::to_string(i) + ".json")));
    }
    zmq::context_t context;
    zmq::socket_t consumer(context, zmq::socket_type::sub);
    consumer.set(zmq::sockopt::linger, 0);
    consumer.set(zmq::sockopt::rcvhwm, 0);
    consumer.set(zmq::sockopt::subscribe, "");
    std::vector<zmq::socket_t> producers;
    for (std::size_t p = 0; p < _options.producers; ++p) {
        auto& producer = producers.emplace_back(context, zmq::socket_type::push);
        producer.set(zmq::sockopt::linger, 0);
        producer.set(zmq::sockopt::immediate, true);
        producer.set(zmq::sockopt::sndtimeo, 10000);
    }
    for (const auto& endpoint : endpoints) {
        consumer.connect(endpoint.output);
        for (auto& producer : producers) producer.connect(endpoint.input);
    }
    await_forwarding(context, consumer, endpoints, brokers);

    double cpu_before = 0;
    for (const auto& broker : brokers) cpu_before += broker->cpu_seconds();
    const std::uint64_t per_producer = _options.messages / _options.producers;
    const std::uint64_t messages = per_producer * _options.producers;
    const auto start = steady_clock::now();
    std::vector<steady_clock::time_point> done(producers.size(), start);
    std::vector<std::thread> threads;
    for (std::size_t p = 0; p < producers.size(); ++p) {
        threads.emplace_back([&, p] {
            std::vector<char> frame(_options.size, 'x');
            for (std::uint64_t i = 0; i < per_producer; ++i) {
                if (!producers[p].send(zmq::buffer(frame))) break;
            }
            done[p] = steady_clock::now();
        });
    }
    consumer.set(zmq::sockopt::rcvtimeo, 2000);
    std::uint64_t received = 0;
    auto last = start;
    for (zmq::message_t message; received < messages && consumer.recv(message);) {
        ++received;
        last = steady_clock::now();
    }
    for (auto& thread : threads) thread.join();
    double cpu_after = 0;
    for (const auto& broker : brokers) cpu_after += broker->cpu_seconds();
    for (auto& broker : brokers) broker->stop(std::chrono::seconds(6));

    const auto seconds = [&](steady_clock::time_point _end) {
        return std::chrono::duration<double>(_end - start).count();
    };
    run_result result;
    result.intake = double(messages) / seconds(*std::max_element(done.begin(), done.end()));
    result.delivered = double(received) / seconds(last);
    result.lost = double(messages - received);
    result.cpu_us = (cpu_after - cpu_before) * 1e6 / double(messages);
    return result;
}

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    return _values[_values.size() / 2];
}

}  // namespace
}  // namespace quorvane_bench

int main(int argc, char** argv) {
    using namespace quorvane_bench;
    options parsed;
    try {
        quorvane::bench::parse_counts<std::uint64_t>(argc, argv, usage,
                                                     {{"--brokers", &parsed.brokers},
                                                      {"--producers", &parsed.producers},
                                                      {"--messages", &parsed.messages},
                                                      {"--size", &parsed.size},
                                                      {"--rounds", &parsed.rounds}});
        std::vector<run_result> runs[2];
        const std::uint64_t counts[2] = {1, parsed.brokers};
        for (std::uint64_t round = 0; round < parsed.rounds; ++round) {
            for (int k = 0; k < 2; ++k) {
                runs[k].push_back(run_once(counts[k], parsed));
                const auto& run = runs[k].back();
                std::cerr << "round " << round + 1 << ", " << counts[k] << " broker(s): intake "
                          << std::fixed << std::setprecision(0) << run.intake << "/s, delivered "
                          << run.delivered << "/s, lost " << run.lost << "\n";
            }
        }
        const auto field = [&](int _k, double run_result::*_member) {
            std::vector<double> values;
            for (const auto& run : runs[_k]) values.push_back(run.*_member);
            return median(values);
        };
        std::cout << parsed.producers << " producers, " << parsed.messages << " frames of "
                  << parsed.size << " B, median of " << parsed.rounds << " rounds\n"
                  << std::left << std::setw(26) << "" << std::setw(14) << "1 broker"
                  << std::setw(14) << (std::to_string(parsed.brokers) + " brokers") << "ratio\n";
        for (const auto& [name, member] :
             {std::make_pair("intake (frames/s)", &run_result::intake),
              std::make_pair("delivered (frames/s)", &run_result::delivered),
              std::make_pair("brokers' CPU (us/frame)", &run_result::cpu_us),
              std::make_pair("lost (frames)", &run_result::lost)}) {
            const double one = field(0, member), several = field(1, member);
            const int decimals = member == &run_result::cpu_us ? 3 : 0;
            std::cout << std::setw(26) << name << std::fixed << std::setprecision(decimals)
                      << std::setw(14) << one << std::setw(14) << several << std::setprecision(2)
                      << (one > 0 ? several / one : 0.0) << "\n";
        }
    } catch (const std::invalid_argument& e) {
        std::cerr << e.what();
        return 64;
    } catch (const std::exception& e) {
        std::cerr << "brokers_bench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
