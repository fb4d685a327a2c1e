#pragma once

#include <asio_zmq/message.hpp>

#include <functional>
#include <memory>

namespace kelm::libs::core::zmq {

// One ZeroMQ frame.
using message = asio_zmq::message;

// ZeroMQ's send flags, passed on unchanged.
enum class flags : int {
    none = 0,     // the last (or only) frame of a message
    sndmore = 2,  // more frames of the same message follow
};

// A ZeroMQ socket on an events loop, already connected or bound. Sends are synchronous;
// frames arrive through the receive callback on the loop's thread. Everything, the
// destructor included, belongs to the loop's thread.
class socket {
public:
    using ptr = std::unique_ptr<socket>;
    // May move the frame away, e.g. into a send on another socket.
    using callback = std::function<void(message&)>;

    enum class type { push = 0, pull = 1, pub = 2, req = 3, rep = 4 };

    virtual ~socket() = default;

    // The first call starts receiving; later calls replace the callback, which takes the
    // next frame. Until then the socket reads nothing and frames wait in ZeroMQ.
    virtual void set_receive_callback(callback _callback) = 0;

    // Block until ZeroMQ has queued the frame. Throw boost::system::system_error.
    virtual void send(message _message) = 0;
    virtual void send(message _message, flags _flags) = 0;
    // Answer false, dropping the frame, when ZeroMQ cannot take it now.
    // Throw boost::system::system_error on any other failure.
    virtual bool try_send(message _message) = 0;
    virtual bool try_send(message _message, flags _flags) = 0;

    // The next frame of the message whose frame the callback holds (see message::more());
    // blocks until a frame arrives. Throws boost::system::system_error. Frames the callback
    // leaves unread reach it one by one as new messages.
    virtual message receive_more() = 0;
};

}  // namespace kelm::libs::core::zmq
