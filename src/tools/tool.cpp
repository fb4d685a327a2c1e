#include "tool.hpp"

#include <asio_zmq/error.hpp>

#include "curve_keys.hpp"

#include <zmq.h>

#include <getopt.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

namespace quorvane::tools {

void refuse_option(int _option, char** _argv) {
    const std::string option = _argv[::optind - 1];
    throw usage_error(_option == ':' ? "option " + option + " needs an argument"
                                     : "unknown option " + option + " (see --help)");
}

int fail(const char* _program, const std::string& _text, int _status) {
    std::cerr << _program << ": " << _text << std::endl;
    return _status;
}

int connect_failure_status(const boost::system::error_code& _error) {
    return _error.value() == EINVAL ? EX_USAGE : EXIT_FAILURE;
}

std::string connect_failure_text(const std::string& _address,
                                 const boost::system::error_code& _error) {
    return (_error.value() == EINVAL ? "malformed endpoint " : "cannot connect to ") + _address +
           ": " + _error.message();
}

bool take_client_option(int _option, client_options& _options) {
    switch (_option) {
        case 'a':
            _options.addresses.emplace_back(::optarg);
            return true;
        case server_key_option:
            _options.curve.server_key_file = ::optarg;
            return true;
        case key_option:
            _options.curve.key_file = ::optarg;
            return true;
        case 'h':
            _options.help = true;
            return true;
        default:
            return false;
    }
}

void require_client_options(const client_options& _options) {
    if (!_options.help && _options.addresses.empty()) {
        throw usage_error("no endpoint: give -a ENDPOINT (see --help)");
    }
    if (_options.curve.server_key_file.empty() != _options.curve.key_file.empty()) {
        throw usage_error("--server-key and --key go together (see --help)");
    }
}

std::optional<client_keys> read_client_keys(const curve_options& _curve) {
    if (_curve.server_key_file.empty()) {
        return std::nullopt;
    }
    const auto own = kelm::curve::read_secret_key(_curve.key_file);
    return client_keys{kelm::curve::read_public_key(_curve.server_key_file), own.public_key,
                       own.secret_key};
}

void apply_curve(kelm::libs::asio_zmq::socket& _socket, const std::optional<client_keys>& _keys) {
    if (_keys) {
        _socket.set_option(ZMQ_CURVE_SERVERKEY, _keys->server_key);
        _socket.set_option(ZMQ_CURVE_PUBLICKEY, _keys->public_key);
        _socket.set_option(ZMQ_CURVE_SECRETKEY, _keys->secret_key);
    }
}

namespace {

constexpr int handshake_events = ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL |
                                 ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL |
                                 ZMQ_EVENT_HANDSHAKE_FAILED_AUTH;
// The first frame of an event: its number (16 bits) and value (32 bits).
constexpr std::size_t event_frame_size = 6;

std::string monitor_endpoint() {
    static std::atomic<unsigned> watches{0};
    return "inproc://quorvane-handshakes-" + std::to_string(++watches);
}

std::string handshake_failure(std::uint16_t _event, std::uint32_t _value,
                              const std::string& _endpoint) {
    const std::string prefix = "handshake with " + _endpoint + " failed: ";
    if (_event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH) {
        return prefix + "the broker refused this key (ZAP status " + std::to_string(_value) + ")";
    }
    if (_event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL &&
        _value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH) {
        return prefix + "the broker and this client do not both use CURVE (--server-key, --key)";
    }
    if (_event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL) {
        std::ostringstream code;
        code << std::hex << _value;
        return prefix + "ZMTP protocol error 0x" + code.str();
    }
    // A CURVE server drops a client that encrypted for another key, or one without CURVE,
    // without a word.
    return prefix + "the broker closed the connection in the handshake (" +
           zmq_strerror(static_cast<int>(_value)) +
           "): do both use CURVE, and is --server-key its public key?";
}

}  // namespace

handshake_watch::handshake_watch(boost::asio::io_context& _io_context,
                                 kelm::libs::asio_zmq::socket& _watched)
    : m_watched(&_watched), m_events(_io_context, ZMQ_PAIR) {
    const std::string endpoint = monitor_endpoint();
    if (zmq_socket_monitor(_watched.native_handle(), endpoint.c_str(), handshake_events) != 0) {
        throw boost::system::system_error(kelm::libs::asio_zmq::last_error(), "zmq_socket_monitor");
    }
    // libzmq's I/O thread would block on a full queue.
    m_events.set_option(ZMQ_RCVHWM, 0);
    m_events.set_option(ZMQ_LINGER, 0);
    m_events.connect(endpoint);
}

handshake_watch::~handshake_watch() {
    if (m_watched != nullptr && m_watched->is_open()) {
        zmq_socket_monitor(m_watched->native_handle(), nullptr, 0);
    }
}

const std::string& handshake_watch::failure() {
    kelm::libs::asio_zmq::message frame;
    boost::system::error_code error;
    while (m_events.receive(frame, ZMQ_DONTWAIT, error), !error) {
        kelm::libs::asio_zmq::message endpoint;
        if (!frame.more() || frame.size() != event_frame_size) {
            continue;
        }
        m_events.receive(endpoint, ZMQ_DONTWAIT, error);
        std::uint16_t event = 0;
        std::uint32_t value = 0;
        std::memcpy(&event, frame.data(), sizeof event);
        std::memcpy(&value, static_cast<const char*>(frame.data()) + sizeof event, sizeof value);
        if (m_failure.empty()) {
            m_failure = handshake_failure(event, value, std::string(endpoint.string_view()));
        }
    }
    return m_failure;
}

}  // namespace quorvane::tools
