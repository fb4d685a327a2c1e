// Side-by-side benchmark of the broker against libzmq's zmq_proxy, alternating the two over
// several rounds per frame size so that machine noise hits both alike.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>
#include <zmq.hpp>

#include "child_process.hpp"
#include "load.hpp"

namespace quorvane_bench {
namespace {

struct forwarder {
    std::string label;
    std::string path;
    // Started as `path -c config.json` (the broker's way) rather than `path INPUT OUTPUT`.
    bool takes_config;
    // CURVE on both sockets, as the configuration's "curve" says; it is then started with
    // `-c config.json` in any case.
    bool curve = false;
};

struct options {
    forwarder broker{"broker", QUORVANE_BENCH_BROKER, true};
    forwarder reference{"reference", QUORVANE_BENCH_REFERENCE, false};
    std::size_t rounds = 3;
    std::vector<std::size_t> sizes{64, 1024, 65536};
    std::uint64_t messages = 2000000;
    std::size_t latency_samples = 2000;
    // Where the broker serves metrics, if it does.
    std::string metrics_address;
};

constexpr const char* usage =
    "usage: quorvane_bench [--broker PATH] [--reference PATH] [--rounds N]\n"
    "                      [--sizes 64,1024,65536] [--messages N] [--latency-samples N]\n"
    "                      [--metrics-address HOST:PORT] [--curve both|broker]\n"
    "--messages is the count per run for 64-byte frames; larger frames get fewer.\n"
    "--metrics-address has the broker serve its metrics there (127.0.0.1:0 for any port).\n"
    "--curve both runs the broker and the reference with CURVE on both sockets, each client\n"
    "with a key of its own; --curve broker only the broker, so that --reference naming the\n"
    "broker's binary sets CURVE beside plain.\n";

// Plain decimal digits only: std::stoull would accept "-1" and trailing junk.
std::uint64_t parse_count(const std::string& _text) {
    if (_text.empty() || _text.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument(_text);
    return std::stoull(_text);
}

std::vector<std::size_t> parse_sizes(const std::string& _list) {
    std::vector<std::size_t> sizes;
    std::istringstream items(_list);
    for (std::string item; std::getline(items, item, ',');) sizes.push_back(parse_count(item));
    return sizes;
}

options parse_options(int _argc, char** _argv) {
    options parsed;
    for (int i = 1; i < _argc; ++i) {
        const std::string name = _argv[i];
        if (name == "--help") {
            std::cout << usage;
            std::exit(0);
        }
        if (i + 1 == _argc) throw std::invalid_argument(name + " needs a value\n" + usage);
        const std::string value = _argv[++i];
        try {
            if (name == "--broker") {
                parsed.broker.path = value;
            } else if (name == "--reference") {
                parsed.reference.path = value;
            } else if (name == "--rounds") {
                parsed.rounds = parse_count(value);
            } else if (name == "--sizes") {
                parsed.sizes = parse_sizes(value);
            } else if (name == "--messages") {
                parsed.messages = parse_count(value);
            } else if (name == "--latency-samples") {
                parsed.latency_samples = parse_count(value);
            } else if (name == "--metrics-address") {
                parsed.metrics_address = value;
            } else if (name == "--curve") {
                if (value != "both" && value != "broker") throw std::invalid_argument(value);
                parsed.broker.curve = true;
                parsed.reference.curve = value == "both";
                // Plain, but started the broker's way, in case it is the broker.
                parsed.reference.takes_config = true;
            } else {
                throw std::invalid_argument("unknown option " + name + "\n" + usage);
            }
        } catch (const std::logic_error&) {
            throw std::invalid_argument("bad value '" + value + "' for " + name + "\n" + usage);
        }
    }
    if (parsed.rounds < 1 || parsed.messages < 1 || parsed.latency_samples < 1 ||
        parsed.sizes.empty())
        throw std::invalid_argument("rounds, messages, sizes and samples must be positive");
    for (auto size : parsed.sizes)
        if (size < sizeof(std::uint64_t))
            throw std::invalid_argument("frames carry a sequence number: sizes must be >= 8");
    return parsed;
}

// Large frames forward fewer messages per second, mostly bounded by bytes copied; this keeps
// each run in the same time range.
std::uint64_t messages_for(std::uint64_t _messages_64, std::size_t _size) {
    const double scale = std::pow(64.0 / double(std::max<std::size_t>(_size, 64)), 0.7);
    return std::max<std::uint64_t>(100, std::uint64_t(double(_messages_64) * scale));
}

// The keys of a forwarder and its two clients, written where "curve" of a configuration finds
// them: the forwarder's secret key, and the clients' public keys in a folder per role.
class curve_files {
public:
    explicit curve_files(const temp_directory& _directory) : m_root(_directory.path()) {
        const auto pair = [] {
            std::array<char, 41> public_key{}, secret_key{};
            if (zmq_curve_keypair(public_key.data(), secret_key.data()) != 0)
                throw std::runtime_error("zmq_curve_keypair: CURVE is not available");
            return std::make_pair(std::string(public_key.data()), std::string(secret_key.data()));
        };
        std::string forwarder_secret;
        std::tie(m_keys.server_public, forwarder_secret) = pair();
        std::tie(m_keys.producer_public, m_keys.producer_secret) = pair();
        std::tie(m_keys.consumer_public, m_keys.consumer_secret) = pair();
        write(m_root / "forwarder.secret", forwarder_secret);
        std::filesystem::permissions(
            m_root / "forwarder.secret",
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        std::filesystem::create_directories(m_root / "producers.d");
        std::filesystem::create_directories(m_root / "subscribers.d");
        write(m_root / "producers.d" / "producer.pub", m_keys.producer_public);
        write(m_root / "subscribers.d" / "consumer.pub", m_keys.consumer_public);
    }

    const client_keys& keys() const { return m_keys; }

    // The "curve" member of a configuration's "system".
    std::string member() const {
        return ", \"curve\": { \"secret_key_file\": \"" + (m_root / "forwarder.secret").string() +
               "\", \"producers\": \"" + (m_root / "producers.d").string() +
               "\", \"subscribers\": \"" + (m_root / "subscribers.d").string() + "\" }";
    }

private:
    static void write(const std::filesystem::path& _file, const std::string& _key) {
        std::ofstream out(_file);
        out << _key << '\n';
        if (!out.flush()) throw std::runtime_error("cannot write " + _file.string());
    }

    std::filesystem::path m_root;
    client_keys m_keys;
};

std::vector<std::string> command_line(const forwarder& _forwarder, const endpoints& _endpoints,
                                      const std::string& _metrics_address,
                                      const temp_directory& _directory, const curve_files& _curve) {
    if (!_forwarder.takes_config && !_forwarder.curve)
        return {_forwarder.path, _endpoints.input, _endpoints.output};
    const auto config = _directory.path() / "forwarder.json";
    std::ofstream file(config);
    file << "{ \"system\": { \"input_address\": \"" << _endpoints.input
         << "\", \"output_address\": \"" << _endpoints.output << '"';
    if (_forwarder.takes_config && !_metrics_address.empty())
        file << ", \"metrics_address\": \"" << _metrics_address << '"';
    if (_forwarder.curve) file << _curve.member();
    file << " } }\n";
    if (!file.flush()) throw std::runtime_error("cannot write " + config.string());
    return {_forwarder.path, "-c", config.string()};
}

struct run_result {
    double intake = 0;
    double delivered = 0;
    double cpu_ns = 0;
    double p50_us = 0;
    double p99_us = 0;
    double idle_rss_mib = 0;
    double peak_rss_mib = 0;
    double lost = 0;
    double misordered = 0;
};

double percentile(const std::vector<double>& _sorted, double _fraction) {
    const auto rank = std::size_t(std::ceil(_fraction * double(_sorted.size())));
    return _sorted[std::max<std::size_t>(rank, 1) - 1];
}

run_result run_once(zmq::context_t& _context, const forwarder& _forwarder, std::size_t _size,
                    std::uint64_t _messages, const options& _options,
                    const temp_directory& _directory, const curve_files& _curve) {
    const endpoints endpoints = pick_loopback_endpoints();
    kelm::test::child_process child(
        command_line(_forwarder, endpoints, _options.metrics_address, _directory, _curve));
    load_generator load(_context, endpoints, _size, _forwarder.curve ? &_curve.keys() : nullptr);
    load.wait_until_forwarding(std::chrono::seconds(10), [&] { child.check_running(); });

    run_result result;
    result.idle_rss_mib = double(child.memory_kib("VmRSS")) / 1024;
    const auto round_trips = load.measure_latency(_options.latency_samples);
    result.p50_us = percentile(round_trips, 0.50);
    result.p99_us = percentile(round_trips, 0.99);

    const double cpu_before = child.cpu_seconds();
    const throughput_result throughput = load.measure_throughput(_messages);
    result.cpu_ns = (child.cpu_seconds() - cpu_before) * 1e9 / double(_messages);
    result.intake = double(_messages) / throughput.send_seconds;
    result.delivered = double(throughput.received) / throughput.receive_seconds;
    result.lost = double(_messages - throughput.received);
    result.misordered = double(throughput.misordered);
    result.peak_rss_mib = double(child.memory_kib("VmHWM")) / 1024;

    const int status = child.stop(std::chrono::seconds(5));
    if (status != 0)
        std::cerr << "warning: " << _forwarder.label << " " << kelm::test::describe_status(status)
                  << " after SIGTERM\n";
    return result;
}

struct metric {
    const char* key;
    const char* title;
    double run_result::*field;
    int decimals;
    // Reported as the sum over all rounds, without a ratio: any non-zero count matters.
    bool total;
};

constexpr metric metrics[] = {
    {"intake_msg_per_s", "intake [msg/s]", &run_result::intake, 0, false},
    {"delivered_msg_per_s", "delivered [msg/s]", &run_result::delivered, 0, false},
    {"cpu_ns_per_msg", "CPU per message [ns]", &run_result::cpu_ns, 1, false},
    {"latency_p50_us", "latency p50 [us]", &run_result::p50_us, 1, false},
    {"latency_p99_us", "latency p99 [us]", &run_result::p99_us, 1, false},
    {"peak_rss_mib", "peak RSS [MiB]", &run_result::peak_rss_mib, 1, false},
    {"idle_rss_mib", "idle RSS [MiB]", &run_result::idle_rss_mib, 1, false},
    {"lost_msgs", "lost, all rounds", &run_result::lost, 0, true},
    {"misordered_msgs", "misordered, all rounds", &run_result::misordered, 0, true},
};

double summarise(const std::vector<run_result>& _runs, const metric& _metric) {
    std::vector<double> values;
    for (const auto& run : _runs) values.push_back(run.*_metric.field);
    if (_metric.total) return std::accumulate(values.begin(), values.end(), 0.0);
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void print_progress(const forwarder& _forwarder, const run_result& _run) {
    std::fprintf(stderr,
                 "  %-9s intake %9.0f msg/s  lost %6.0f  CPU %7.1f ns/msg  p50 %7.1f us"
                 "  p99 %7.1f us  RSS %5.1f/%5.1f MiB\n",
                 _forwarder.label.c_str(), _run.intake, _run.lost, _run.cpu_ns, _run.p50_us,
                 _run.p99_us, _run.idle_rss_mib, _run.peak_rss_mib);
}

void print_report(std::size_t _size, std::uint64_t _messages,
                  const std::array<std::vector<run_result>, 2>& _runs, const char* _curve_note) {
    std::printf("\n%zu-byte frames, %llu messages per run, medians of %zu rounds%s\n", _size,
                static_cast<unsigned long long>(_messages), _runs[0].size(), _curve_note);
    std::printf("%-24s %14s %14s %12s\n", "metric", "broker", "reference", "broker/ref");
    std::string machine_lines;
    for (const auto& metric : metrics) {
        const double broker = summarise(_runs[0], metric);
        const double reference = summarise(_runs[1], metric);
        char ratio[32] = "-";
        if (!metric.total) std::snprintf(ratio, sizeof ratio, "%.3f", broker / reference);
        std::printf("%-24s %14.*f %14.*f %12s\n", metric.title, metric.decimals, broker,
                    metric.decimals, reference, ratio);
        char line[256];
        std::snprintf(line, sizeof line,
                      "RESULT size=%zu metric=%s broker=%.*f reference=%.*f ratio=%s\n", _size,
                      metric.key, metric.decimals, broker, metric.decimals, reference, ratio);
        machine_lines += line;
    }
    std::printf("%s", machine_lines.c_str());
    std::fflush(stdout);
}

int run(const options& _options) {
    zmq::context_t context;
    temp_directory directory("quorvane-bench");
    const curve_files curve(directory);
    const std::array<const forwarder*, 2> forwarders{&_options.broker, &_options.reference};
    for (const std::size_t size : _options.sizes) {
        const std::uint64_t messages = messages_for(_options.messages, size);
        std::array<std::vector<run_result>, 2> runs;
        for (std::size_t round = 1; round <= _options.rounds; ++round) {
            std::fprintf(stderr, "%zu B, round %zu/%zu\n", size, round, _options.rounds);
            for (std::size_t i = 0; i < forwarders.size(); ++i) {
                try {
                    runs[i].push_back(run_once(context, *forwarders[i], size, messages, _options,
                                               directory, curve));
                } catch (const std::exception& e) {
                    throw std::runtime_error(forwarders[i]->label + " (" + forwarders[i]->path +
                                             "): " + e.what());
                }
                print_progress(*forwarders[i], runs[i].back());
            }
        }
        print_report(size, messages, runs,
                     _options.reference.curve ? ", CURVE on both"
                     : _options.broker.curve  ? ", CURVE on the broker only"
                                              : "");
    }
    return 0;
}

}  // namespace
}  // namespace quorvane_bench

int main(int argc, char** argv) {
    try {
        return quorvane_bench::run(quorvane_bench::parse_options(argc, argv));
    } catch (const std::exception& e) {
        std::cerr << "quorvane_bench: " << e.what() << '\n';
        return 1;
    }
}
