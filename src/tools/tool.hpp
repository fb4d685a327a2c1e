#pragma once

#include <asio_zmq/socket.hpp>
#include <core/logger.hpp>

#include <boost/system/error_code.hpp>

#include <sysexits.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvane::tools {

// A command line that cannot be followed; its text is the whole message.
class usage_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What getopt_long's answer _option (':' or '?') says about the option just read.
[[noreturn]] void refuse_option(int _option, char** _argv);

// Prints "<program>: <text>" as one line on standard error and answers the status.
int fail(const char* _program, const std::string& _text, int _status);

// What a refused connect means to the user: ZeroMQ refuses a malformed endpoint with
// EINVAL, which is a usage error; anything else (an unsupported transport, one the
// socket type cannot use) is a plain failure.
int connect_failure_status(const boost::system::error_code& _error);

// The text for a refused connect, with ZeroMQ's reason.
std::string connect_failure_text(const std::string& _address,
                                 const boost::system::error_code& _error);

// --server-key and --key: the broker's public key file and this client's secret key file.
struct curve_options {
    std::string server_key_file;
    std::string key_file;
};

// The options both clients take: -a, --server-key, --key and -h.
struct client_options {
    bool help = false;
    std::vector<std::string> addresses;
    curve_options curve;
};

// getopt_long's values for --server-key and --key.
constexpr int server_key_option = 's';
constexpr int key_option = 'k';

// Keeps getopt_long's answer _option when it is one of client_options; false for any other.
bool take_client_option(int _option, client_options& _options);

// Every command needs an endpoint given with -a, unless it only asks for --help, and takes
// both keys or neither: one alone is a usage error.
void require_client_options(const client_options& _options);

// What a CURVE client sets, Z85: the broker's public key and its own pair.
struct client_keys {
    std::string server_key;
    std::string public_key;
    std::string secret_key;
};

// The keys of the files given, none when none is. Throws kelm::libs::core::exception naming a
// key file that cannot be used.
std::optional<client_keys> read_client_keys(const curve_options& _curve);

// Makes the socket a CURVE client of the broker when there are keys.
void apply_curve(kelm::libs::asio_zmq::socket& _socket, const std::optional<client_keys>& _keys);

// Watches the handshakes of a client socket, whose events are read without waiting, so a
// refused key is told instead of retried in silence. The socket must outlive the watch.
class handshake_watch {
public:
    handshake_watch(boost::asio::io_context& _io_context, kelm::libs::asio_zmq::socket& _watched);
    handshake_watch(const handshake_watch&) = delete;
    handshake_watch& operator=(const handshake_watch&) = delete;
    ~handshake_watch();

    // What went wrong in the first failed handshake so far; empty while none failed.
    const std::string& failure();
    // The socket is destroyed before the watch, which libzmq's monitor outlives harmlessly.
    void socket_gone() { m_watched = nullptr; }

private:
    kelm::libs::asio_zmq::socket* m_watched;
    kelm::libs::asio_zmq::socket m_events;
    std::string m_failure;
};

// The part of main both tools share: parse the command line (a usage_error gives
// status 64), answer --help, then run with a logger whose socket output is off; an
// exception that escapes is logged and printed, with status 1.
template <class Parse, class Run>
int run_tool(const char* _program, const char* _usage, int _argc, char** _argv, Parse _parse,
             Run _run) {
    decltype(_parse(_argc, _argv)) parsed;
    try {
        parsed = _parse(_argc, _argv);
    } catch (const usage_error& e) {
        return fail(_program, e.what(), EX_USAGE);
    }
    if (parsed.help) {
        std::cout << _usage;
        return EXIT_SUCCESS;
    }
    kelm::libs::core::logger logger(_program, "main");
    logger.set_writing_to_socket(false);
    try {
        return _run(parsed, logger);
    } catch (...) {
        const std::string text = kelm::libs::core::exception_to_string();
        logger.error("%1%") % text;
        return fail(_program, text, EXIT_FAILURE);
    }
}

}  // namespace quorvane::tools
