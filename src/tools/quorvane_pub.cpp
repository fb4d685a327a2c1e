// quorvane-pub: sends frames to a broker's input (any PULL endpoint).
#include "tool.hpp"

#include <asio_zmq/socket.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>

#include <getopt.h>
#include <unistd.h>

#include <boost/asio/error.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace core = kelm::libs::core;
namespace asio_zmq = kelm::libs::asio_zmq;
namespace tools = quorvane::tools;

const char* const program = "quorvane-pub";

const char* const usage =
    "Usage: quorvane-pub -a ENDPOINT [-a ENDPOINT]... [--server-key FILE --key FILE]\n"
    "                    [MESSAGE...]\n"
    "Connects a PUSH socket to ENDPOINT, such as a broker's input, and sends each MESSAGE\n"
    "as one frame; without messages, sends one frame per line of standard input until\n"
    "its end. Frames not delivered yet get 5 seconds to leave before it exits.\n"
    "With several endpoints (several brokers), each frame goes to one of those connected\n"
    "at the time, in turn; none is queued for an endpoint that is down.\n"
    "\n"
    "  -a, --address ENDPOINT  ZeroMQ endpoint to connect to, e.g. tcp://127.0.0.1:5570;\n"
    "                          may be repeated\n"
    "      --server-key FILE   the broker's public key: connect with CURVE, encrypted;\n"
    "                          frames then wait for a broker that accepted the key\n"
    "      --key FILE          this producer's secret key, for --server-key\n"
    "  -h, --help              print this help\n"
    "\n"
    "Put -- before messages that start with '-'. SIGINT or SIGTERM stops it early.\n"
    "Exit status: 0 when every frame was handed to ZeroMQ or a signal stopped it, 64 for a\n"
    "bad option or a malformed endpoint, 1 when the endpoint cannot be connected or the\n"
    "broker refuses the handshake.\n";

// Long enough for frames to reach a running broker, short enough not to hang on one
// that is down.
constexpr int delivery_linger_ms = 5000;
// How long a send that cannot leave waits before it looks for a stop by signal.
constexpr int send_attempt_ms = 200;

struct options : tools::client_options {
    std::vector<std::string> messages;
};

options parse(int argc, char** argv) {
    static const ::option long_options[] = {
        {"address", required_argument, nullptr, 'a'},
        {"server-key", required_argument, nullptr, tools::server_key_option},
        {"key", required_argument, nullptr, tools::key_option},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    options result;
    ::opterr = 0;
    ::optind = 0;
    int option = 0;
    while ((option = ::getopt_long(argc, argv, ":a:h", long_options, nullptr)) != -1) {
        if (!tools::take_client_option(option, result)) {
            tools::refuse_option(option, argv);
        }
    }
    result.messages.assign(argv + ::optind, argv + argc);
    tools::require_client_options(result);
    return result;
}

// Sends one frame at a time. A frame that cannot leave yet waits for room, but gives
// way to a signal that stopped the loop and to a failed handshake.
class sender {
public:
    sender(core::events_loop& _loop, asio_zmq::socket& _socket, tools::handshake_watch& _watch)
        : m_loop(_loop), m_socket(_socket), m_watch(_watch) {}

    // False when the loop was stopped or a handshake failed before ZeroMQ took the frame.
    bool send(std::string_view _frame) {
        asio_zmq::message frame(_frame);
        for (;;) {
            boost::system::error_code error;
            m_socket.send(frame, 0, error);
            if (!error) {
                return true;
            }
            if (error.value() != EAGAIN) {
                throw boost::system::system_error(error, "send");
            }
            if (m_loop.is_stopped() || !m_watch.failure().empty()) {
                return false;
            }
        }
    }

private:
    core::events_loop& m_loop;
    asio_zmq::socket& m_socket;
    tools::handshake_watch& m_watch;
};

// Sends standard input line by line on the loop, and stops the loop at its end. A
// terminal or a pipe is read when it is ready; a file, which is always ready, chunk by
// chunk through the loop's queue, so that a signal is still seen between chunks.
class line_reader : public std::enable_shared_from_this<line_reader> {
public:
    line_reader(core::events_loop& _loop, sender& _sender)
        : m_loop(_loop), m_sender(_sender), m_input(_loop.get_io_context()) {}

    void start() {
        const int input = ::dup(STDIN_FILENO);
        if (input < 0) {
            throw boost::system::system_error(errno, boost::system::system_category(),
                                              "reading standard input");
        }
        m_input.assign(input);
        next();
    }

private:
    void next() {
        std::weak_ptr<line_reader> weak = shared_from_this();
        if (m_input.is_open()) {
            m_input.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                               [weak](const boost::system::error_code& _error) {
                                   if (const auto self = weak.lock()) {
                                       self->on_ready(_error);
                                   }
                               });
        } else {
            boost::asio::post(m_loop.get_io_context(), [weak] {
                if (const auto self = weak.lock()) {
                    self->read();
                }
            });
        }
    }

    void on_ready(const boost::system::error_code& _error) {
        if (_error == boost::asio::error::operation_not_supported) {
            // A file or /dev/null, which epoll cannot watch and which never blocks.
            m_input.close();
        } else if (_error) {
            throw boost::system::system_error(_error, "waiting for standard input");
        }
        read();
    }

    void read() {
        const ssize_t size = ::read(STDIN_FILENO, m_chunk.data(), m_chunk.size());
        if (size < 0 && errno != EINTR && errno != EAGAIN) {
            throw boost::system::system_error(errno, boost::system::system_category(),
                                              "reading standard input");
        }
        if (size == 0) {
            // A last line without a line feed is a line too.
            if (!m_line.empty()) {
                m_sender.send(m_line);
            }
            m_loop.stop();
            return;
        }
        if (size > 0) {
            m_line.append(m_chunk.data(), static_cast<std::size_t>(size));
            if (!send_lines()) {
                return;
            }
        }
        next();
    }

    // Sends the complete lines collected so far; false when a signal stopped it.
    bool send_lines() {
        std::size_t start = 0;
        for (auto end = m_line.find('\n'); end != std::string::npos;
             end = m_line.find('\n', start)) {
            if (!m_sender.send(std::string_view(m_line).substr(start, end - start))) {
                return false;
            }
            start = end + 1;
        }
        m_line.erase(0, start);
        return true;
    }

    core::events_loop& m_loop;
    sender& m_sender;
    boost::asio::posix::stream_descriptor m_input;
    std::vector<char> m_chunk = std::vector<char>(64 * 1024);
    std::string m_line;
};

int publish(const options& _options, const core::logger& _logger) {
    std::optional<tools::client_keys> keys;
    try {
        keys = tools::read_client_keys(_options.curve);
    } catch (const core::exception& e) {
        return tools::fail(program, e.get_string_error(), EXIT_FAILURE);
    }
    const auto runtime = core::core::create(_logger);
    const auto loop = runtime->create_events_loop("main");
    const auto signals = loop->stop_on_signals();
    asio_zmq::push_socket push(loop->get_io_context());
    push.set_option(ZMQ_LINGER, delivery_linger_ms);
    push.set_option(ZMQ_SNDTIMEO, send_attempt_ms);
    // Frames queued for a broker that is down would wait there, maybe for good, while the
    // others could take them.
    // With CURVE, frames queued before the handshake would look sent to a broker that then
    // refuses the key.
    if (_options.addresses.size() > 1 || keys) {
        push.set_option(ZMQ_IMMEDIATE, 1);
    }
    tools::apply_curve(push, keys);
    tools::handshake_watch watch(loop->get_io_context(), push);
    for (const auto& address : _options.addresses) {
        boost::system::error_code error;
        push.connect(address, error);
        if (error) {
            const std::string text = tools::connect_failure_text(address, error);
            _logger.error("%1%") % text;
            return tools::fail(program, text, tools::connect_failure_status(error));
        }
    }
    sender out(*loop, push, watch);
    if (_options.messages.empty()) {
        const auto reader = std::make_shared<line_reader>(*loop, out);
        reader->start();
        loop->run();
    } else {
        for (const auto& message : _options.messages) {
            if (!out.send(message)) {
                break;
            }
        }
    }
    if (!watch.failure().empty()) {
        _logger.error("%1%") % watch.failure();
        return tools::fail(program, watch.failure(), EXIT_FAILURE);
    }
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    return tools::run_tool(program, usage, argc, argv, parse, publish);
}
