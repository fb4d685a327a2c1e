#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <zmq.hpp>

namespace quorvane_bench {

struct endpoints {
    std::string input;
    std::string output;
};

// Two distinct free TCP ports on 127.0.0.1, found by binding port 0. Loopback TCP rather than
// ipc:// because that is how producers and consumers reach a broker in service.
endpoints pick_loopback_endpoints();

// CURVE keys, Z85: the forwarder's public key, and a pair for each of the two clients.
struct client_keys {
    std::string server_public;
    std::string producer_public;
    std::string producer_secret;
    std::string consumer_public;
    std::string consumer_secret;
};

struct throughput_result {
    double send_seconds = 0;
    // From the first send to the last frame that arrived.
    double receive_seconds = 0;
    std::uint64_t received = 0;
    // Frames that came back resized or behind an already seen sequence number.
    std::uint64_t misordered = 0;
};

// One PUSH producer on the forwarder's input and one SUB consumer on its output, for frames of
// one size. Every frame starts with a 64-bit sequence number, so that size must be at least 8.
class load_generator {
public:
    // With keys, both connect as CURVE clients.
    load_generator(zmq::context_t& _context, const endpoints& _endpoints, std::size_t _frame_size,
                   const client_keys* _keys = nullptr);

    // Sends probes until one comes back (SUB joins late), then drops what is still in flight.
    // _check_forwarder throws if the forwarder died meanwhile.
    void wait_until_forwarding(std::chrono::seconds _limit,
                               const std::function<void()>& _check_forwarder);
    // Round trips of one frame at a time, in microseconds, sorted.
    std::vector<double> measure_latency(std::size_t _samples);
    throughput_result measure_throughput(std::uint64_t _messages);

private:
    void send(std::vector<char>& _frame, std::uint64_t _sequence);
    throughput_result consume(std::uint64_t _messages,
                              std::chrono::steady_clock::time_point& _last_arrival);
    void drain();

    std::size_t m_frame_size;
    zmq::socket_t m_producer;
    zmq::socket_t m_consumer;
};

// A fresh directory under the system's temporary one, named after _name, removed with all it
// holds when it goes.
class temp_directory {
public:
    explicit temp_directory(const std::string& _name);
    ~temp_directory();
    temp_directory(const temp_directory&) = delete;
    temp_directory& operator=(const temp_directory&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace quorvane_bench
