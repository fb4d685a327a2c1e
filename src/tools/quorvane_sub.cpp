// quorvane-sub: prints what a broker publishes (any PUB endpoint), message by message.
#include "tool.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/message_stream.hpp>
#include <core/periodic_timer.hpp>

#include <getopt.h>

#include <boost/system/system_error.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace core = kelm::libs::core;
namespace tools = quorvane::tools;

const char* const program = "quorvane-sub";

const char* const usage =
    "Usage: quorvane-sub -a ENDPOINT [-a ENDPOINT]... [-t PREFIX]... [--json CHANNEL]...\n"
    "                    [--server-key FILE --key FILE]\n"
    "Subscribes to ENDPOINT, such as a broker's output, and prints each message on its\n"
    "own line as it arrives, until SIGINT or SIGTERM. With several endpoints (several\n"
    "brokers) it prints what each of them publishes.\n"
    "\n"
    "  -a, --address ENDPOINT  ZeroMQ endpoint to connect to, e.g. tcp://127.0.0.1:5571;\n"
    "                          may be repeated\n"
    "  -t, --topic PREFIX      print the messages that start with PREFIX, whole\n"
    "      --json CHANNEL      print the payload of the messages of a JSON channel: the\n"
    "                          message is \"#\" and the channel (the channel alone when it\n"
    "                          does not start with a letter), then the payload, which\n"
    "                          starts at its first \"{\"\n"
    "      --server-key FILE   the broker's public key: connect with CURVE, encrypted\n"
    "      --key FILE          this subscriber's secret key, for --server-key\n"
    "  -h, --help              print this help\n"
    "\n"
    "-t and --json may be repeated. Without either, every message is printed. A message\n"
    "that several prefixes start is printed once, for the shortest of them.\n"
    "Log lines of a program on the runtime library start with \"&<module>:<component> \";\n"
    "-t '&quorvane:main ' for example prints those of the component main of quorvane.\n"
    "Exit status: 0 after SIGINT or SIGTERM, 64 for a bad option or a malformed endpoint,\n"
    "1 when the endpoint cannot be connected or the broker refuses the handshake.\n";

// How often the handshakes are looked at; a refusal is told within this.
constexpr std::chrono::milliseconds handshake_check_period{50};

struct options : tools::client_options {
    std::vector<std::string> prefixes;
    std::vector<std::string> json_channels;
};

options parse(int argc, char** argv) {
    constexpr int json_option = 'j';
    static const ::option long_options[] = {
        {"address", required_argument, nullptr, 'a'},
        {"topic", required_argument, nullptr, 't'},
        {"json", required_argument, nullptr, json_option},
        {"server-key", required_argument, nullptr, tools::server_key_option},
        {"key", required_argument, nullptr, tools::key_option},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    options result;
    ::opterr = 0;
    ::optind = 0;
    int option = 0;
    while ((option = ::getopt_long(argc, argv, ":a:t:h", long_options, nullptr)) != -1) {
        switch (option) {
            case 't':
                result.prefixes.emplace_back(::optarg);
                break;
            case json_option:
                result.json_channels.emplace_back(::optarg);
                break;
            default:
                if (!tools::take_client_option(option, result)) {
                    tools::refuse_option(option, argv);
                }
        }
    }
    if (::optind < argc) {
        throw tools::usage_error(std::string("unexpected argument ") + argv[::optind] +
                                 " (see --help)");
    }
    tools::require_client_options(result);
    return result;
}

// Each message as soon as it arrives, also when the output is a pipe.
void print(boost::string_view _message) {
    std::fwrite(_message.data(), 1, _message.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Stops the loop once a handshake failed; the watches say why.
void check_handshakes(std::vector<std::unique_ptr<tools::handshake_watch>>& _watches,
                      core::events_loop& _loop) {
    for (const auto& watch : _watches) {
        if (!watch->failure().empty()) {
            _loop.stop();
        }
    }
}

int subscribe(const options& _options, const core::logger& _logger) {
    std::optional<tools::client_keys> keys;
    try {
        keys = tools::read_client_keys(_options.curve);
    } catch (const core::exception& e) {
        return tools::fail(program, e.get_string_error(), EXIT_FAILURE);
    }
    const auto runtime = core::core::create(_logger);
    const auto loop = runtime->create_events_loop("main");
    const auto signals = loop->stop_on_signals();
    std::vector<core::message_stream::ptr> streams;
    std::vector<core::message_stream::subscription::ptr> subscriptions;
    // Destroyed before the streams whose sockets they watch.
    std::vector<std::unique_ptr<tools::handshake_watch>> watches;
    const auto setup = [&](kelm::libs::asio_zmq::socket& _socket) {
        tools::apply_curve(_socket, keys);
        watches.push_back(
            std::make_unique<tools::handshake_watch>(loop->get_io_context(), _socket));
    };
    using factory = core::message_stream::ptr (core::events_loop::*)(
        const std::string&, const core::message_stream::socket_setup&);
    const auto open = [&](factory _factory, const std::string& _address,
                          const std::vector<std::string>& _channels) {
        streams.push_back(((*loop).*_factory)(_address, setup));
        for (const auto& channel : _channels) {
            subscriptions.push_back(streams.back()->subscribe(channel, print));
        }
    };
    // Streams of one endpoint each: a message comes from one broker, so it is printed once.
    std::string address;
    try {
        for (const auto& endpoint : _options.addresses) {
            address = endpoint;
            if (!_options.prefixes.empty() || _options.json_channels.empty()) {
                const std::vector<std::string> everything{""};
                open(&core::events_loop::create_zmq_raw_message_stream, address,
                     _options.prefixes.empty() ? everything : _options.prefixes);
            }
            if (!_options.json_channels.empty()) {
                open(&core::events_loop::create_zmq_message_stream, address,
                     _options.json_channels);
            }
        }
    } catch (const boost::system::system_error& e) {
        // The stream that failed took its socket along.
        if (watches.size() > streams.size()) {
            watches.back()->socket_gone();
        }
        const std::string text = tools::connect_failure_text(address, e.code());
        _logger.error("%1%") % text;
        return tools::fail(program, text, tools::connect_failure_status(e.code()));
    }
    const auto checks = loop->create_periodic_timer(
        handshake_check_period, "handshakes",
        [&watches, &loop](core::timer::time_point) { check_handshakes(watches, *loop); },
        KELM_SOURCE_LOCATION());
    loop->run();
    for (const auto& watch : watches) {
        if (!watch->failure().empty()) {
            _logger.error("%1%") % watch->failure();
            return tools::fail(program, watch->failure(), EXIT_FAILURE);
        }
    }
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    return tools::run_tool(program, usage, argc, argv, parse, subscribe);
}
