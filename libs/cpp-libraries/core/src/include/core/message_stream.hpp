#pragma once

#include <core/fwd.hpp>

#include <boost/utility/string_view.hpp>

#include <functional>
#include <memory>

namespace kelm::libs::core {

// Channels published on a ZeroMQ PUB endpoint, each message one frame that starts with
// its channel. Everything, callbacks included, runs on the loop's thread.
class message_stream {
public:
    using ptr = std::unique_ptr<message_stream>;
    using callback = std::function<void(boost::string_view)>;
    // Given the stream's socket before it connects: to set options such as CURVE keys, or
    // to start watching its events.
    using socket_setup = std::function<void(asio_zmq::socket&)>;

    // A lifetime token: the callback is called while the token exists. It may outlive
    // its stream.
    class subscription {
    public:
        using ptr = std::unique_ptr<subscription>;
        virtual ~subscription() = default;
    };

    virtual ~message_stream() = default;

    // The callback gets the frames that arrive from now on and are dispatched to the
    // channel: of all subscribed channels that start a frame, the shortest takes it.
    // Subscribing from inside a callback is allowed; the new callback starts with the
    // next frame.
    virtual subscription::ptr subscribe(boost::string_view _channel, callback _callback) = 0;
};

}  // namespace kelm::libs::core
