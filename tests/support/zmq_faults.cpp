// Preloaded into the broker by tests to make libzmq fail on cue, so the broker's
// handling of failed sends and receives runs against its real sockets:
// - QUORVANE_FAIL_SEND=text: sending a frame with exactly this content fails once
//   with ENOTSUP (the frame is not sent);
// - QUORVANE_FAIL_RECEIVE_AFTER=text: the receive after a frame with exactly this
//   content fails once with EFAULT (nothing is taken from the socket).
#include <dlfcn.h>
#include <zmq.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using transfer = int (*)(zmq_msg_t*, void*, int);

bool content_is(zmq_msg_t* _message, const char* _variable) {
    const char* text = std::getenv(_variable);
    return text != nullptr && zmq_msg_size(_message) == std::strlen(text) &&
           std::memcmp(zmq_msg_data(_message), text, std::strlen(text)) == 0;
}

std::atomic<bool> send_failed{false};
std::atomic<bool> fail_next_receive{false};

}  // namespace

extern "C" int zmq_msg_send(zmq_msg_t* message, void* socket, int flags) {
    static const auto send = reinterpret_cast<transfer>(::dlsym(RTLD_NEXT, "zmq_msg_send"));
    if (content_is(message, "QUORVANE_FAIL_SEND") && !send_failed.exchange(true)) {
        errno = ENOTSUP;
        return -1;
    }
    return send(message, socket, flags);
}

extern "C" int zmq_msg_recv(zmq_msg_t* message, void* socket, int flags) {
    static const auto receive = reinterpret_cast<transfer>(::dlsym(RTLD_NEXT, "zmq_msg_recv"));
    if (fail_next_receive.exchange(false)) {
        errno = EFAULT;
        return -1;
    }
    const int result = receive(message, socket, flags);
    fail_next_receive = result >= 0 && content_is(message, "QUORVANE_FAIL_RECEIVE_AFTER");
    return result;
}
