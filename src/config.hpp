#pragma once

#include <istream>
#include <optional>
#include <string>

namespace kelm {

// The broker's configuration: the two ZeroMQ endpoints it binds, the limits it sets on them and
// where it serves its metrics.
struct config {
    // Reads a JSON document; throws when it cannot be parsed, lacks an endpoint, or holds an
    // endpoint or a limit that cannot be right.
    explicit config(std::istream& _stream);

    // The content of a configuration file, which must be a regular file of at most
    // max_file_size bytes; throws otherwise, with the parser's "Cannot parse json: " prefix.
    static std::string read_file(const std::string& _file_name);
    static constexpr std::size_t max_file_size = 1 << 20;

    struct {
        std::string input_address;
        std::string output_address;
        // Larger frames from a producer are refused by ZeroMQ, which drops its connection.
        int max_message_size = 16 << 20;
        // The same for what a subscriber sends: its subscriptions.
        int max_subscription_size = 4 << 10;
        // Frames queued per peer; 0 is no limit.
        int input_high_water_mark = 1000;
        int output_high_water_mark = 1000;
        // ZMTP heartbeats, off when 0; a timeout of 0 is the interval.
        int heartbeat_interval_ms = 0;
        int heartbeat_timeout_ms = 0;
        // Where metrics are served over HTTP, "host:port" with an IPv6 host in brackets; empty
        // serves none. metrics_host is the address alone, without brackets.
        std::string metrics_address;
        std::string metrics_host;
        unsigned short metrics_port = 0;
        // Where the keys of CURVE are; absent, both sockets take any peer unencrypted.
        struct curve_files {
            std::string secret_key_file;
            // Folders of *.pub files: the keys of the peers allowed on each socket.
            std::string producers;
            std::string subscribers;
        };
        std::optional<curve_files> curve;
    } system;
};

// Whether a bound endpoint ("tcp://0.0.0.0:5570") takes peers from beyond this host: TCP on an
// address other than loopback.
bool reachable_from_network(const std::string& _endpoint);

}  // namespace kelm
