// Side-by-side benchmark of the runtime's TCP and UDP sockets against the same work written
// directly on Boost.Asio, alternating the two (A B A B) so that machine noise hits both alike.
// Peers run on threads of their own with plain POSIX calls; the measured side is the loop.
#include "options.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/tcp/manager.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ip_bench {
namespace {

namespace core = kelm::libs::core;
using asio_tcp = boost::asio::ip::tcp;
using asio_udp = boost::asio::ip::udp;
using clock_type = std::chrono::steady_clock;

struct options {
    std::size_t tcp_mib = 1024;
    std::size_t connections = 1000;
    std::size_t datagrams = 200000;
    std::size_t rounds = 2;
};

constexpr const char* usage =
    "usage: ip_bench [--tcp-mib N] [--connections N] [--datagrams N] [--rounds N]\n"
    "  --tcp-mib      MiB streamed over one TCP connection in 64 KiB writes (1024)\n"
    "  --connections  TCP connections accepted and closed per run (1000)\n"
    "  --datagrams    UDP datagrams per sender per run, two senders (200000)\n"
    "  --rounds       runs of each side, alternated (2)\n";

constexpr std::size_t chunk = 64 * 1024;

options parse_options(int _argc, char** _argv) {
    options parsed;
    quorvane::bench::parse_counts<std::size_t>(_argc, _argv, usage,
                                               {{"--tcp-mib", &parsed.tcp_mib},
                                                {"--connections", &parsed.connections},
                                                {"--datagrams", &parsed.datagrams},
                                                {"--rounds", &parsed.rounds}});
    return parsed;
}

double seconds_since(clock_type::time_point _start) {
    return std::chrono::duration<double>(clock_type::now() - _start).count();
}

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A loopback port that was free a moment ago, for the sides that cannot report theirs.
unsigned short free_port(int _type) {
    if (_type == SOCK_STREAM) {
        boost::asio::io_context io;
        return asio_tcp::acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0})
            .local_endpoint()
            .port();
    }
    boost::asio::io_context io;
    return asio_udp::socket(io, {boost::asio::ip::make_address("127.0.0.1"), 0})
        .local_endpoint()
        .port();
}

sockaddr_in loopback(unsigned short _port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

struct result {
    double rate = 0;           // per second
    double cpu_per_item = 0;   // seconds of the loop thread's CPU
    double lost_fraction = 0;  // UDP only
};

// One side under test: the runtime (A) or raw Asio (B).
struct side {
    const char* name;
    std::function<result()> run;
};

// TCP: a peer streams bytes in 64 KiB writes; the receiving callback only counts them.
class tcp_stream {
public:
    explicit tcp_stream(std::size_t _bytes) : m_bytes(_bytes) {}

    result runtime(core::events_loop& _loop) {
        return measure([&](unsigned short _port) {
            auto socket = _loop.get_tcp().connect("127.0.0.1", _port);
            std::size_t received = 0;
            socket->set_receive_callback([&](boost::string_view _data) {
                received += _data.size();
                if (received == m_bytes) {
                    _loop.stop();
                }
            });
            _loop.get_io_context().restart();
            _loop.run();
        });
    }

    result raw() {
        return measure([&](unsigned short _port) {
            boost::asio::io_context io;
            asio_tcp::socket socket(io);
            socket.connect({boost::asio::ip::make_address("127.0.0.1"), _port});
            std::vector<char> buffer(chunk);
            std::size_t received = 0;
            std::function<void()> read = [&] {
                socket.async_read_some(boost::asio::buffer(buffer),
                                       [&](const boost::system::error_code& _error, std::size_t n) {
                                           received += n;
                                           if (!_error && received < m_bytes) {
                                               read();
                                           }
                                       });
            };
            read();
            io.run();
        });
    }

private:
    template <class Receive>
    result measure(Receive&& _receive) {
        asio_tcp::acceptor listener(m_io, {boost::asio::ip::make_address("127.0.0.1"), 0});
        const auto start = clock_type::now();
        std::thread writer([&] {
            auto peer = listener.accept();
            const std::vector<char> block(chunk, 'x');
            for (std::size_t sent = 0; sent < m_bytes;) {
                const auto n = ::send(peer.native_handle(), block.data(),
                                      std::min(chunk, m_bytes - sent), MSG_NOSIGNAL);
                if (n < 0) {
                    throw std::runtime_error("send failed");
                }
                sent += static_cast<std::size_t>(n);
            }
        });
        const auto cpu = thread_cpu_seconds();
        _receive(listener.local_endpoint().port());
        const auto elapsed = seconds_since(start);
        writer.join();
        return {static_cast<double>(m_bytes) / elapsed,
                (thread_cpu_seconds() - cpu) / static_cast<double>(m_bytes / chunk), 0};
    }

    boost::asio::io_context m_io;
    std::size_t m_bytes;
};

// TCP: a peer connects, waits for the server to close, and goes on to the next connection.
class tcp_accept {
public:
    explicit tcp_accept(std::size_t _connections) : m_connections(_connections) {}

    result runtime(core::events_loop& _loop) {
        const auto port = free_port(SOCK_STREAM);
        auto acceptor = _loop.get_tcp().listen("127.0.0.1", port);
        std::size_t accepted = 0;
        acceptor->set_callback([&](core::tcp::socket::ptr) {
            if (++accepted == m_connections) {
                _loop.stop();
            }
        });
        return measure(port, [&] {
            _loop.get_io_context().restart();
            _loop.run();
        });
    }

    result raw() {
        boost::asio::io_context io;
        asio_tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
        std::size_t accepted = 0;
        std::function<void()> accept = [&] {
            acceptor.async_accept(io,
                                  [&](const boost::system::error_code& _error, asio_tcp::socket) {
                                      if (!_error && ++accepted < m_connections) {
                                          accept();
                                      }
                                  });
        };
        accept();
        return measure(acceptor.local_endpoint().port(), [&] { io.run(); });
    }

private:
    template <class Serve>
    result measure(unsigned short _port, Serve&& _serve) {
        const auto start = clock_type::now();
        std::thread clients([&] {
            const auto server = loopback(_port);
            for (std::size_t i = 0; i < m_connections; ++i) {
                const int client = ::socket(AF_INET, SOCK_STREAM, 0);
                if (::connect(client, reinterpret_cast<const sockaddr*>(&server), sizeof server) !=
                    0) {
                    throw std::runtime_error("connect failed");
                }
                char byte;
                while (::recv(client, &byte, 1, 0) > 0) {
                }
                ::close(client);
            }
        });
        const auto cpu = thread_cpu_seconds();
        _serve();
        clients.join();
        const auto elapsed = seconds_since(start);
        return {static_cast<double>(m_connections) / elapsed,
                (thread_cpu_seconds() - cpu) / static_cast<double>(m_connections), 0};
    }

    std::size_t m_connections;
};

// UDP: two peers send datagrams as fast as they can; the receiving side counts them. The
// kernel drops what the receiver cannot keep up with, so the rate is the receiver's.
class udp_receive {
public:
    udp_receive(std::size_t _size, std::size_t _per_sender)
        : m_size(_size), m_per_sender(_per_sender) {}

    result runtime(core::events_loop& _loop) {
        const auto port = free_port(SOCK_DGRAM);
        auto socket = _loop.create_udp_socket("127.0.0.1", port);
        std::size_t received = 0;
        clock_type::time_point last;
        socket->set_receive_callback([&](const auto&, const auto&, const auto&) {
            ++received;
            last = clock_type::now();
        });
        return measure(_loop.get_io_context(), port, received, last, [&] {
            _loop.get_io_context().restart();
            _loop.run();
        });
    }

    result raw() {
        boost::asio::io_context io;
        asio_udp::socket socket(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
        std::vector<char> buffer(65536);
        asio_udp::endpoint sender;
        std::size_t received = 0;
        clock_type::time_point last;
        std::function<void()> receive = [&] {
            socket.async_receive_from(boost::asio::buffer(buffer), sender,
                                      [&](const boost::system::error_code& _error, std::size_t) {
                                          if (_error == boost::asio::error::operation_aborted) {
                                              return;
                                          }
                                          ++received;
                                          last = clock_type::now();
                                          receive();
                                      });
        };
        receive();
        return measure(io, socket.local_endpoint().port(), received, last, [&] { io.run(); });
    }

private:
    template <class Serve>
    result measure(boost::asio::io_context& _io, unsigned short _port, const std::size_t& _received,
                   const clock_type::time_point& _last, Serve&& _serve) {
        std::atomic<int> sending{2};
        const auto start = clock_type::now();
        std::vector<std::thread> senders;
        for (int i = 0; i < 2; ++i) {
            senders.emplace_back([&] {
                send_all(_port);
                --sending;
            });
        }
        // Stops the receiving side once the senders are done and nothing came for a while.
        boost::asio::steady_timer quiet(_io);
        std::size_t seen = 0;
        std::function<void()> watch = [&] {
            quiet.expires_after(std::chrono::milliseconds(50));
            quiet.async_wait([&](const boost::system::error_code& _error) {
                if (_error) {
                    return;
                }
                if (sending == 0 && seen == _received) {
                    _io.stop();
                    return;
                }
                seen = _received;
                watch();
            });
        };
        watch();
        const auto cpu = thread_cpu_seconds();
        _serve();
        const auto cpu_used = thread_cpu_seconds() - cpu;
        for (auto& sender : senders) {
            sender.join();
        }
        const auto elapsed = std::chrono::duration<double>(_last - start).count();
        const auto sent = static_cast<double>(2 * m_per_sender);
        return {static_cast<double>(_received) / elapsed, cpu_used / static_cast<double>(_received),
                1.0 - static_cast<double>(_received) / sent};
    }

    void send_all(unsigned short _port) const {
        constexpr std::size_t batch = 32;
        const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
        const auto destination = loopback(_port);
        ::connect(sender, reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
        std::vector<char> payload(m_size, 'd');
        std::vector<iovec> data(batch, iovec{payload.data(), payload.size()});
        std::vector<mmsghdr> messages(batch);
        for (std::size_t i = 0; i < batch; ++i) {
            messages[i].msg_hdr.msg_iov = &data[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        for (std::size_t sent = 0; sent < m_per_sender;) {
            const auto count = std::min(batch, m_per_sender - sent);
            const int n = ::sendmmsg(sender, messages.data(), static_cast<unsigned>(count), 0);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            }
        }
        ::close(sender);
    }

    std::size_t m_size;
    std::size_t m_per_sender;
};

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    const auto middle = _values.size() / 2;
    return _values.size() % 2 == 1 ? _values[middle] : (_values[middle - 1] + _values[middle]) / 2;
}

void compare(const std::string& _title, const char* _unit, double _unit_scale, std::size_t _rounds,
             const side& _runtime, const side& _raw, bool _show_loss) {
    std::vector<result> a, b;
    for (std::size_t round = 0; round < _rounds; ++round) {
        a.push_back(_runtime.run());
        b.push_back(_raw.run());
    }
    const auto pick = [](const std::vector<result>& _results, double result::*_field) {
        std::vector<double> values;
        for (const auto& r : _results) {
            values.push_back(r.*_field);
        }
        return median(values);
    };
    // The spread of the ratios of rounds run back to back shows how noisy the machine was.
    const auto spread = [&](double result::*_field) {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < a.size(); ++i) {
            ratios.push_back(a[i].*_field / b[i].*_field);
        }
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        return std::to_string(*low).substr(0, 5) + ".." + std::to_string(*high).substr(0, 5);
    };
    const double rate_a = pick(a, &result::rate), rate_b = pick(b, &result::rate);
    const double cpu_a = pick(a, &result::cpu_per_item), cpu_b = pick(b, &result::cpu_per_item);
    std::printf("%-34s %12.1f %12.1f %-8s ratio %.3f (rounds %s)\n", _title.c_str(),
                rate_a / _unit_scale, rate_b / _unit_scale, _unit, rate_a / rate_b,
                spread(&result::rate).c_str());
    std::printf("%-34s %12.3f %12.3f %-8s ratio %.3f (rounds %s, lower is better)\n",
                "  loop CPU per item", cpu_a * 1e6, cpu_b * 1e6, "us", cpu_a / cpu_b,
                spread(&result::cpu_per_item).c_str());
    if (_show_loss) {
        std::printf("%-34s %11.1f%% %11.1f%%\n", "  dropped by the kernel",
                    100 * pick(a, &result::lost_fraction), 100 * pick(b, &result::lost_fraction));
    }
}

}  // namespace
}  // namespace ip_bench

int main(int _argc, char** _argv) {
    using namespace ip_bench;
    try {
        const auto opts = parse_options(_argc, _argv);
        core::logger logger("ip_bench", "main");
        logger.set_writing_to_socket(false);
        const auto runtime = core::core::create(logger);
        const auto on_loop = [&](auto&& _work) {
            return [&, _work] {
                auto loop = runtime->create_events_loop("bench");
                return _work(*loop);
            };
        };
        std::printf("%-34s %12s %12s\n", "", "runtime (A)", "raw Asio (B)");

        tcp_stream stream(opts.tcp_mib * 1024 * 1024);
        compare(
            "TCP stream, 64 KiB writes", "MiB/s", 1024 * 1024, opts.rounds,
            {"runtime", on_loop([&](core::events_loop& _loop) { return stream.runtime(_loop); })},
            {"raw", [&] { return stream.raw(); }}, false);

        tcp_accept accept(opts.connections);
        compare(
            "TCP accept and close", "conn/s", 1, opts.rounds,
            {"runtime", on_loop([&](core::events_loop& _loop) { return accept.runtime(_loop); })},
            {"raw", [&] { return accept.raw(); }}, false);

        for (const std::size_t size : {64, 1400}) {
            udp_receive udp(size, opts.datagrams);
            compare(
                "UDP " + std::to_string(size) + " B, two senders", "dgram/s", 1, opts.rounds,
                {"runtime", on_loop([&](core::events_loop& _loop) { return udp.runtime(_loop); })},
                {"raw", [&] { return udp.raw(); }}, true);
        }
        return 0;
    } catch (const std::exception& _error) {
        std::cerr << _error.what() << '\n';
        return 1;
    }
}
