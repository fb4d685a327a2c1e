#include "load.hpp"

#include <tuple>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <stdexcept>
#include <system_error>

namespace quorvane_bench {

namespace {

using steady_clock = std::chrono::steady_clock;

// A forwarder that takes nothing, or delivers nothing, for this long is taken as stuck.
constexpr std::chrono::milliseconds send_timeout{10000};
constexpr std::chrono::milliseconds receive_timeout{2000};
constexpr std::uint64_t probe_sequence = ~std::uint64_t{0};

class port_reservation {
public:
    port_reservation() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (m_fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    }
    ~port_reservation() { ::close(m_fd); }
    port_reservation(const port_reservation&) = delete;
    port_reservation& operator=(const port_reservation&) = delete;

    std::string bind_loopback() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto* generic = reinterpret_cast<sockaddr*>(&address);
        if (::bind(m_fd, generic, length) != 0 || ::getsockname(m_fd, generic, &length) != 0)
            throw std::system_error(errno, std::generic_category(), "finding a free port");
        return "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }

private:
    int m_fd;
};

std::uint64_t sequence_of(const zmq::message_t& _frame) {
    std::uint64_t sequence = 0;
    if (_frame.size() >= sizeof sequence) std::memcpy(&sequence, _frame.data(), sizeof sequence);
    return sequence;
}

}  // namespace

endpoints pick_loopback_endpoints() {
    // Both stay bound until both ports are known, so they cannot coincide.
    port_reservation input, output;
    return {input.bind_loopback(), output.bind_loopback()};
}

load_generator::load_generator(zmq::context_t& _context, const endpoints& _endpoints,
                               std::size_t _frame_size, const client_keys* _keys)
    : m_frame_size(_frame_size),
      m_producer(_context, zmq::socket_type::push),
      m_consumer(_context, zmq::socket_type::sub) {
    m_producer.set(zmq::sockopt::linger, 0);
    m_producer.set(zmq::sockopt::sndtimeo, int(send_timeout.count()));
    m_consumer.set(zmq::sockopt::linger, 0);
    m_consumer.set(zmq::sockopt::rcvtimeo, int(receive_timeout.count()));
    // Queueing on our side keeps the consumer thread's hiccups from making the forwarder's PUB
    // drop; the budget only bounds the benchmark's own memory.
    constexpr std::size_t receive_budget = std::size_t{256} << 20;
    m_consumer.set(zmq::sockopt::rcvhwm,
                   int(std::max<std::size_t>(1000, receive_budget / _frame_size)));
    m_consumer.set(zmq::sockopt::subscribe, "");
    if (_keys != nullptr) {
        for (auto [socket, public_key, secret_key] :
             {std::make_tuple(&m_producer, &_keys->producer_public, &_keys->producer_secret),
              std::make_tuple(&m_consumer, &_keys->consumer_public, &_keys->consumer_secret)}) {
            socket->set(zmq::sockopt::curve_serverkey, _keys->server_public);
            socket->set(zmq::sockopt::curve_publickey, *public_key);
            socket->set(zmq::sockopt::curve_secretkey, *secret_key);
        }
    }
    m_producer.connect(_endpoints.input);
    m_consumer.connect(_endpoints.output);
}

void load_generator::wait_until_forwarding(std::chrono::seconds _limit,
                                           const std::function<void()>& _check_forwarder) {
    std::vector<char> probe(sizeof probe_sequence);
    zmq::pollitem_t arrival{m_consumer.handle(), 0, ZMQ_POLLIN, 0};
    const auto deadline = steady_clock::now() + _limit;
    while (steady_clock::now() < deadline) {
        _check_forwarder();
        send(probe, probe_sequence);
        if (zmq::poll(&arrival, 1, std::chrono::milliseconds(50)) > 0) {
            drain();
            return;
        }
    }
    _check_forwarder();
    throw std::runtime_error("no probe came through the forwarder within " +
                             std::to_string(_limit.count()) + " s");
}

std::vector<double> load_generator::measure_latency(std::size_t _samples) {
    std::vector<char> frame(m_frame_size);
    std::vector<double> round_trips;
    zmq::message_t reply;
    for (std::uint64_t sequence = 0; sequence < _samples; ++sequence) {
        const auto start = steady_clock::now();
        send(frame, sequence);
        do {
            if (!m_consumer.recv(reply))
                throw std::runtime_error("a latency probe did not come back within " +
                                         std::to_string(receive_timeout.count()) + " ms");
        } while (reply.size() != m_frame_size || sequence_of(reply) != sequence);
        round_trips.push_back(
            std::chrono::duration<double, std::micro>(steady_clock::now() - start).count());
    }
    drain();
    std::sort(round_trips.begin(), round_trips.end());
    return round_trips;
}

throughput_result load_generator::measure_throughput(std::uint64_t _messages) {
    const auto start = steady_clock::now();
    auto last_arrival = start;
    // The future's destructor joins the consumer on every path, including a throwing send.
    auto consumer =
        std::async(std::launch::async, [&] { return consume(_messages, last_arrival); });
    std::vector<char> frame(m_frame_size);
    for (std::uint64_t sequence = 0; sequence < _messages; ++sequence) send(frame, sequence);
    const auto sent = steady_clock::now();
    throughput_result result = consumer.get();
    result.send_seconds = std::chrono::duration<double>(sent - start).count();
    result.receive_seconds = std::chrono::duration<double>(last_arrival - start).count();
    drain();
    return result;
}

void load_generator::send(std::vector<char>& _frame, std::uint64_t _sequence) {
    std::memcpy(_frame.data(), &_sequence, sizeof _sequence);
    if (!m_producer.send(zmq::buffer(_frame), zmq::send_flags::none))
        throw std::runtime_error("the forwarder took no frame for " +
                                 std::to_string(send_timeout.count()) + " ms");
}

// Ends when all frames arrived or none came for receive_timeout: the PUB may have dropped some.
throughput_result load_generator::consume(std::uint64_t _messages,
                                          steady_clock::time_point& _last_arrival) {
    throughput_result result;
    zmq::message_t frame;
    std::uint64_t next = 0;
    while (result.received < _messages && m_consumer.recv(frame)) {
        _last_arrival = steady_clock::now();
        ++result.received;
        const std::uint64_t sequence = sequence_of(frame);
        if (frame.size() != m_frame_size || sequence < next) {
            ++result.misordered;
        } else {
            next = sequence + 1;
        }
    }
    return result;
}

void load_generator::drain() {
    zmq::message_t stale;
    zmq::pollitem_t arrival{m_consumer.handle(), 0, ZMQ_POLLIN, 0};
    const auto deadline = steady_clock::now() + receive_timeout;
    while (steady_clock::now() < deadline &&
           zmq::poll(&arrival, 1, std::chrono::milliseconds(100)) > 0)
        (void)m_consumer.recv(stale, zmq::recv_flags::dontwait);
}

temp_directory::temp_directory(const std::string& _name) {
    std::string pattern = std::filesystem::temp_directory_path() / (_name + "-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create " + pattern);
    }
    m_path = pattern;
}

temp_directory::~temp_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace quorvane_bench
