#pragma once

#include <cstdint>
#include <string>

namespace kelm {

// What the broker counts while it runs. Everything is touched on the loop's thread only, so plain
// integers do: a frame costs a few additions.
struct metrics {
    std::uint64_t frames_received = 0;
    std::uint64_t bytes_received = 0;
    std::uint64_t frames_published = 0;
    std::uint64_t bytes_published = 0;
    std::uint64_t receive_errors = 0;
    std::uint64_t publish_errors = 0;
    // Connections accepted and not yet gone, handshakes included.
    std::int64_t producers = 0;
    std::int64_t subscribers = 0;
    std::uint64_t handshake_failures = 0;
};

// The counters, the process's own figures read from /proc and the build's version, in the
// Prometheus text exposition format 0.0.4.
std::string render(const metrics& _metrics, const std::string& _version);

}  // namespace kelm
