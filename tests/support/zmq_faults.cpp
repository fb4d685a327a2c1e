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

bool content_is(zmq_msg_t* _message, const char* _variable) {
    const char* text = std::getenv(_variable);
    if (text == nullptr) {
        return false;
    }
    const std::size_t size = std::strlen(text);
    return zmq_msg_size(_message) == size && std::memcmp(zmq_msg_data(_message), text, size) == 0;
}

template <class F>
F real(const char* _name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, _name));
}

std::atomic<bool> send_failed{false};
std::atomic<bool> fail_next_receive{false};

}  // namespace

extern "C" int zmq_msg_send(zmq_msg_t* message, void* socket, int flags) {
    using function = int (*)(zmq_msg_t*, void*, int);
    static const auto send = real<function>("zmq_msg_send");
    if (content_is(message, "QUORVANE_FAIL_SEND") && !send_failed.exchange(true)) {
        errno = ENOTSUP;
        return -1;
    }
    return send(message, socket, flags);
}

extern "C" int zmq_msg_recv(zmq_msg_t* message, void* socket, int flags) {
    using function = int (*)(zmq_msg_t*, void*, int);
    static const auto receive = real<function>("zmq_msg_recv");
    if (fail_next_receive.exchange(false)) {
        errno = EFAULT;
        return -1;
    }
    const int result = receive(message, socket, flags);
    if (result >= 0 && content_is(message, "QUORVANE_FAIL_RECEIVE_AFTER")) {
        fail_next_receive = true;
    }
    return result;
}
