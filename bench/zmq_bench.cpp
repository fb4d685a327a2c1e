// Receive rates of the runtime's ZeroMQ layer, side by side with what it is built on:
// - frames through zmq::socket's receive callback against the binding's own async_receive
//   loop, on the same PULL endpoint, alternating the two round by round;
// - frames dispatched by the raw message stream with 1, 100 and 10 000 subscribed channels,
//   each frame matching one of them, the frames going to every channel in turn (and, with
//   10 000, also all to one of them), each case next to the binding's SUB socket receiving
//   the same frames with the same subscriptions.
// A producer thread with a context of its own feeds 64-byte frames over loopback TCP; the
// rate counts from the first frame received to the last.
// The figures are noisy on a shared machine: compare the medians of several rounds.
#include "options.hpp"

#include <asio_zmq/socket.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/message_stream.hpp>
#include <core/zmq/manager.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <zmq.hpp>

namespace {

namespace core = kelm::libs::core;
namespace asio_zmq = kelm::libs::asio_zmq;
using clock_type = std::chrono::steady_clock;

constexpr std::size_t frame_size = 64;

struct options {
    std::size_t rounds = 3;
    std::size_t socket_frames = 1000000;
    std::size_t stream_frames = 300000;
};

constexpr const char* usage =
    "usage: zmq_bench [--rounds N] [--socket-frames N] [--stream-frames N]\n";

options parse_options(int _argc, char** _argv) {
    options parsed;
    quorvane::bench::parse_counts<std::size_t>(_argc, _argv, usage,
                                               {{"--rounds", &parsed.rounds},
                                                {"--socket-frames", &parsed.socket_frames},
                                                {"--stream-frames", &parsed.stream_frames}});
    return parsed;
}

std::string free_endpoint() {
    boost::asio::io_context io_context;
    const boost::asio::ip::tcp::acceptor acceptor(io_context,
                                                  {boost::asio::ip::address_v4::loopback(), 0});
    return "tcp://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port());
}

// Receive rates over the same frames: per second of wall-clock time, and per second of
// processor time of the receiving thread, which other work on a busy machine does not
// inflate.
struct rates {
    double wall;
    double cpu;
};

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Counts frames on the receiving thread and takes the times of the first and the last.
class meter {
public:
    explicit meter(std::size_t _frames) : m_frames(_frames) {}

    // True on the last frame.
    bool count() {
        if (m_received == 0) {
            m_first = clock_type::now();
            m_first_cpu = thread_cpu_seconds();
        }
        if (++m_received < m_frames) {
            return false;
        }
        m_last = clock_type::now();
        m_last_cpu = thread_cpu_seconds();
        return true;
    }

    rates result() const {
        const std::chrono::duration<double> elapsed = m_last - m_first;
        const auto frames = static_cast<double>(m_received - 1);
        return {frames / elapsed.count(), frames / (m_last_cpu - m_first_cpu)};
    }

private:
    std::size_t m_frames;
    std::size_t m_received = 0;
    clock_type::time_point m_first;
    clock_type::time_point m_last;
    double m_first_cpu = 0;
    double m_last_cpu = 0;
};

// Sends the frames on a PUSH socket; PUSH waits for room, so none is lost.
std::thread push_frames(const std::string& _endpoint, std::size_t _frames) {
    return std::thread([_endpoint, _frames] {
        zmq::context_t context;
        zmq::socket_t push(context, ZMQ_PUSH);
        push.connect(_endpoint);
        const std::string payload(frame_size, 'x');
        for (std::size_t i = 0; i < _frames; ++i) {
            push.send(zmq::buffer(payload), zmq::send_flags::none);
        }
    });
}

rates receive_with_runtime_socket(const core::logger& _logger, const std::string& _endpoint,
                                  std::size_t _frames) {
    const auto runtime = core::core::create(_logger);
    const auto loop = runtime->create_events_loop("bench");
    meter frames(_frames);
    {
        const auto pull = loop->get_zmq().bind(core::zmq::socket::type::pull, _endpoint);
        pull->set_receive_callback([&](core::zmq::message&) {
            if (frames.count()) {
                loop->stop();
            }
        });
        std::thread producer = push_frames(_endpoint, _frames);
        loop->run();
        producer.join();
    }
    return frames.result();
}

// The binding used directly, the way a hand-written receive loop would.
class binding_receiver {
public:
    binding_receiver(asio_zmq::socket& _socket, meter& _frames, boost::asio::io_context& _context)
        : m_socket(_socket), m_frames(_frames), m_context(_context) {}

    void arm() {
        m_socket.async_receive(
            [this](const boost::system::error_code& _error, asio_zmq::message&, std::size_t) {
                if (_error) {
                    throw boost::system::system_error(_error);
                }
                if (m_frames.count()) {
                    m_context.stop();
                } else {
                    arm();
                }
            });
    }

private:
    asio_zmq::socket& m_socket;
    meter& m_frames;
    boost::asio::io_context& m_context;
};

rates receive_with_binding(const std::string& _endpoint, std::size_t _frames) {
    boost::asio::io_context context;
    meter frames(_frames);
    {
        asio_zmq::pull_socket pull(context);
        pull.bind(_endpoint);
        binding_receiver receiver(pull, frames, context);
        receiver.arm();
        std::thread producer = push_frames(_endpoint, _frames);
        context.run();
        producer.join();
    }
    return frames.result();
}

std::string channel_name(std::size_t _index) {
    char name[32];
    std::snprintf(name, sizeof name, "channel/%05zu/", _index);
    return name;
}

// Publishes once every subscription arrived; an XPUB reports each distinct one once. The
// frames wait in ZeroMQ's queues until the receiver runs, so that matching them against the
// subscriptions on the publisher's side does not take the receiver's processor time.
std::thread publish_frames(zmq::socket_t& _xpub, std::size_t _channels, std::size_t _busy,
                           std::size_t _frames) {
    return std::thread([&_xpub, _channels, _busy, _frames] {
        for (std::size_t subscribed = 0; subscribed < _channels;) {
            zmq::message_t subscription;
            if (_xpub.recv(subscription) && subscription.size() > 0 &&
                subscription.data<char>()[0] == 1) {
                ++subscribed;
            }
        }
        std::vector<std::string> frames;
        for (std::size_t i = 0; i < _busy; ++i) {
            std::string frame = channel_name(i);
            frame.resize(frame_size, 'x');
            frames.push_back(frame);
        }
        for (std::size_t i = 0; i < _frames; ++i) {
            _xpub.send(zmq::buffer(frames[i % _busy]), zmq::send_flags::none);
        }
    });
}

struct publisher {
    explicit publisher(const std::string& _endpoint) : xpub(context, ZMQ_XPUB) {
        // Frames wait for the subscriber instead of being dropped.
        xpub.set(zmq::sockopt::sndhwm, 0);
        xpub.set(zmq::sockopt::linger, 0);
        xpub.bind(_endpoint);
    }

    zmq::context_t context;
    zmq::socket_t xpub;
};

// The frames go to the first _busy channels in turn.
struct channel_use {
    std::size_t channels;
    std::size_t busy;
};

rates dispatch_with_stream(const core::logger& _logger, channel_use _use, std::size_t _frames) {
    const std::string endpoint = free_endpoint();
    publisher source(endpoint);
    const auto runtime = core::core::create(_logger);
    const auto loop = runtime->create_events_loop("bench");
    meter frames(_frames);
    {
        const auto stream = loop->create_zmq_raw_message_stream(endpoint);
        std::vector<core::message_stream::subscription::ptr> subscriptions;
        for (std::size_t i = 0; i < _use.channels; ++i) {
            subscriptions.push_back(stream->subscribe(channel_name(i), [&](boost::string_view) {
                if (frames.count()) {
                    loop->stop();
                }
            }));
        }
        publish_frames(source.xpub, _use.channels, _use.busy, _frames).join();
        loop->run();
    }
    return frames.result();
}

// The same subscriptions on the binding's SUB socket with a receive loop that only counts:
// what ZeroMQ itself costs with that many channels.
rates receive_with_binding_sub(channel_use _use, std::size_t _frames) {
    const std::string endpoint = free_endpoint();
    publisher source(endpoint);
    boost::asio::io_context context;
    meter frames(_frames);
    {
        asio_zmq::sub_socket sub(context);
        sub.set_option(ZMQ_SNDHWM, 0);
        sub.connect(endpoint);
        for (std::size_t i = 0; i < _use.channels; ++i) {
            sub.subscribe(channel_name(i));
        }
        binding_receiver receiver(sub, frames, context);
        receiver.arm();
        publish_frames(source.xpub, _use.channels, _use.busy, _frames).join();
        context.run();
    }
    return frames.result();
}

double median(const std::vector<rates>& _series, double rates::*_rate) {
    std::vector<double> values;
    for (const auto& round : _series) {
        values.push_back(round.*_rate);
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void print_rounds(const std::string& _label, const std::vector<rates>& _series) {
    for (const auto& [what, rate] :
         {std::pair{"wall", &rates::wall}, std::pair{"cpu", &rates::cpu}}) {
        std::printf("  %-30s %-4s", _label.c_str(), what);
        for (const auto& round : _series) {
            std::printf(" %9.0f", round.*rate);
        }
        std::printf("   median %9.0f\n", median(_series, rate));
    }
}

void print_ratio(const std::string& _label, const std::vector<rates>& _measured,
                 const std::vector<rates>& _reference, const char* _target) {
    std::printf("  ratio %s of medians: wall %.3f, cpu %.3f%s\n", _label.c_str(),
                median(_measured, &rates::wall) / median(_reference, &rates::wall),
                median(_measured, &rates::cpu) / median(_reference, &rates::cpu), _target);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const options parsed = parse_options(argc, argv);
        core::logger logger("zmq_bench", "main");
        logger.set_writing_to_socket(false);

        std::printf(
            "Frames per second, %zu-byte frames over loopback TCP, %zu rounds; wall: per second "
            "of wall-clock time, cpu: per second of the receiving thread's processor time\n",
            frame_size, parsed.rounds);
        std::printf("\nReceiving %zu frames on one PULL endpoint (A B A B ...)\n",
                    parsed.socket_frames);
        const std::string endpoint = free_endpoint();
        std::vector<rates> runtime_rates;
        std::vector<rates> binding_rates;
        for (std::size_t round = 0; round < parsed.rounds; ++round) {
            runtime_rates.push_back(
                receive_with_runtime_socket(logger, endpoint, parsed.socket_frames));
            binding_rates.push_back(receive_with_binding(endpoint, parsed.socket_frames));
        }
        print_rounds("A zmq::socket callback", runtime_rates);
        print_rounds("B binding async_receive loop", binding_rates);
        print_ratio("A/B", runtime_rates, binding_rates, " (target >= 0.9)");

        std::printf(
            "\nDispatching %zu frames by the raw message stream (S), and receiving them on the "
            "binding's SUB socket with the same subscriptions (R), by subscribed channels; the "
            "frames go to each channel in turn, or all to one (\"one busy\"); rounds go S R for "
            "each case in turn\n",
            parsed.stream_frames);
        const std::vector<channel_use> uses{{1, 1}, {100, 100}, {10000, 10000}, {10000, 1}};
        const auto label = [](channel_use _use) {
            return std::to_string(_use.channels) +
                   (_use.busy == 1 && _use.channels > 1 ? " one busy" : "");
        };
        std::vector<std::vector<rates>> stream_rates(uses.size());
        std::vector<std::vector<rates>> sub_rates(uses.size());
        for (std::size_t round = 0; round < parsed.rounds; ++round) {
            for (std::size_t i = 0; i < uses.size(); ++i) {
                stream_rates[i].push_back(
                    dispatch_with_stream(logger, uses[i], parsed.stream_frames));
                sub_rates[i].push_back(receive_with_binding_sub(uses[i], parsed.stream_frames));
            }
        }
        for (std::size_t i = 0; i < uses.size(); ++i) {
            print_rounds("S stream, " + label(uses[i]), stream_rates[i]);
            print_rounds("R binding SUB, " + label(uses[i]), sub_rates[i]);
        }
        for (std::size_t i = 1; i < uses.size(); ++i) {
            const std::string ratio = label(uses[i]) + "/1 channels";
            const char* target = uses[i].busy == 10000 ? " (target >= 0.9)" : "";
            print_ratio("S " + ratio, stream_rates[i], stream_rates[0], target);
            print_ratio("R " + ratio, sub_rates[i], sub_rates[0], "");
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "zmq_bench: " << e.what() << std::endl;
        return 1;
    }
}
