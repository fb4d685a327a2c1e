#pragma once

#include <pthread.h>
#include <signal.h>
#include <time.h>

namespace kelm::libs::core::redis {

// hiredis writes with write(2), which raises SIGPIPE once the server has gone away, and
// by default that ends the whole program. While a guard lives, a SIGPIPE raised on this
// thread is held back, and discarded when the guard goes; the write itself fails with
// EPIPE, which hiredis reports as the connection's error. A SIGPIPE that was already
// pending is left as it was.
class sigpipe_guard {
public:
    sigpipe_guard() noexcept {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_was_pending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }
    sigpipe_guard(const sigpipe_guard&) = delete;
    sigpipe_guard& operator=(const sigpipe_guard&) = delete;
    ~sigpipe_guard() {
        sigset_t pending;
        sigpending(&pending);
        if (!m_was_pending && sigismember(&pending, SIGPIPE) == 1) {
            const timespec no_wait{};
            sigtimedwait(&m_pipe, nullptr, &no_wait);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

private:
    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_was_pending;
};

}  // namespace kelm::libs::core::redis
