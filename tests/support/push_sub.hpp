#pragma once

#include "wait.hpp"

#include <zmq.hpp>

#include <optional>
#include <string>

namespace kelm::test {

// A loopback TCP endpoint on a port that was free when asked for.
inline std::string free_endpoint() {
    zmq::context_t context;
    zmq::socket_t probe(context, zmq::socket_type::pull);
    probe.bind("tcp://127.0.0.1:*");
    return probe.get(zmq::sockopt::last_endpoint);
}

// The keys a CURVE client sets before it connects, Z85: the server's public key and its own
// pair.
struct curve_client {
    std::string server_key;
    std::string public_key;
    std::string secret_key;

    void apply(zmq::socket_t& _socket) const {
        _socket.set(zmq::sockopt::curve_serverkey, server_key);
        _socket.set(zmq::sockopt::curve_publickey, public_key);
        _socket.set(zmq::sockopt::curve_secretkey, secret_key);
    }
};

// A producer connected to a forwarder's input and a consumer subscribed to its output by
// prefix. Every send and receive gives up after `patience`, so a forwarder that is not
// there fails the test instead of holding it up.
class push_sub {
public:
    // Either side connects as a CURVE client when given keys.
    push_sub(const std::string& _input, const std::string& _output, const std::string& _prefix = "",
             const std::optional<curve_client>& _push_keys = std::nullopt,
             const std::optional<curve_client>& _sub_keys = std::nullopt)
        : m_prefix(_prefix) {
        if (_push_keys) {
            _push_keys->apply(push);
        }
        if (_sub_keys) {
            _sub_keys->apply(sub);
        }
        // Frames still queued when the forwarder is gone must not hold up the context's end.
        push.set(zmq::sockopt::linger, 0);
        push.set(zmq::sockopt::sndtimeo, static_cast<int>(patience.count() * 1000));
        push.connect(_input);
        // The consumer may read only after the producer is done: it queues everything.
        sub.set(zmq::sockopt::linger, 0);
        sub.set(zmq::sockopt::rcvhwm, 0);
        sub.set(zmq::sockopt::subscribe, _prefix);
        sub.connect(_output);
    }

    bool send(const std::string& _text, zmq::send_flags _flags = zmq::send_flags::none) {
        return push.send(zmq::buffer(_text), _flags).has_value();
    }

    std::optional<std::string> receive(bool* _more = nullptr,
                                       std::chrono::milliseconds _limit = patience) {
        sub.set(zmq::sockopt::rcvtimeo, static_cast<int>(_limit.count()));
        zmq::message_t message;
        if (!sub.recv(message)) {
            return std::nullopt;
        }
        if (_more != nullptr) {
            *_more = message.more();
        }
        return message.to_string();
    }

    // Probes until one comes back, which shows that the forwarder runs and the subscription
    // reached it, then skips the remaining probes up to a final marker.
    bool await_forwarding() {
        const bool through = eventually([this] {
            return send(m_prefix + "probe", zmq::send_flags::dontwait) &&
                   receive(nullptr, std::chrono::milliseconds(20)) == m_prefix + "probe";
        });
        auto text = through && send(m_prefix + "ready") ? receive() : std::nullopt;
        while (text && *text != m_prefix + "ready") {
            text = receive();
        }
        return text.has_value();
    }

    zmq::context_t context;
    zmq::socket_t push{context, zmq::socket_type::push};
    zmq::socket_t sub{context, zmq::socket_type::sub};

private:
    std::string m_prefix;
};

}  // namespace kelm::test
