#include "socket_state.hpp"

#include <asio_zmq/context_service.hpp>
#include <asio_zmq/error.hpp>
#include <asio_zmq/socket.hpp>

#include <zmq.h>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <utility>

namespace kelm::libs::asio_zmq::detail {

void post_completion(boost::asio::io_context& io_context, receive_handler handler,
                     const boost::system::error_code& error) {
    boost::asio::post(io_context, [handler = std::move(handler), error]() mutable {
        message frame;
        handler.consume(error, frame, 0);
    });
}

socket_state::socket_state(boost::asio::io_context& io_context, int type)
    : m_io_context(io_context),
      m_socket(boost::asio::use_service<context_service>(io_context).native_handle(), type),
      m_descriptor(std::in_place, io_context, m_socket.notification_fd()),
      m_pause(io_context) {}

// The descriptor must be released, not closed: it belongs to libzmq.
socket_state::~socket_state() {
    close();
}

// The watch of an idle socket must not keep run() from returning, so its wait is taken off the
// io_context's count of outstanding work. That is done only from a handler of this io_context,
// whose own work is counted until it returns: the count never reaches zero here, which would stop
// the io_context. Elsewhere the watch starts from a posted handler.
void socket_state::watch() {
    if (!is_open() || m_watch_scheduled) {
        return;
    }
    const auto executor = m_io_context.get_executor();
    if (!executor.running_in_this_thread()) {
        boost::asio::post(m_io_context, [self = shared_from_this()] {
            self->m_watch_scheduled = false;
            self->watch();
        });
        m_watch_scheduled = true;
        return;
    }
    if (!m_waiting) {
        // Reading ZMQ_EVENTS first makes the descriptor signal whatever happens from now on.
        frame_waiting();
        wait_readable();
    }
    if (m_wait_counted) {
        executor.on_work_finished();
        m_wait_counted = false;
    }
}

void socket_state::start_receive(receive_handler handler) {
    if (!is_open()) {
        post_completion(m_io_context, std::move(handler), boost::asio::error::bad_descriptor);
    } else if (m_handler.is_set()) {
        post_completion(m_io_context, std::move(handler), boost::asio::error::already_started);
    } else {
        m_handler.set(std::move(handler));
        count_wait();
        // During a delivery the running batch goes on with the new receive itself; after an
        // error, the descriptor's signal or the end of the pause serves it.
        if (!m_delivering && !m_pausing) {
            schedule_batch();
        }
    }
}

void socket_state::operation_done() {
    if (m_handler.is_set() && !m_delivering && !m_batch_scheduled) {
        // The user's call may have consumed the descriptor's signal for a frame now waiting.
        if (frame_waiting()) {
            schedule_batch();
        }
    } else if (++m_transfers_since_events == commands_interval) {
        // Reading ZMQ_EVENTS makes libzmq handle its peers' commands now.
        m_transfers_since_events = 0;
        frame_waiting();
    }
}

void socket_state::cancel() {
    if (!is_open()) {
        return;
    }
    if (m_handler.is_set()) {
        post_completion(m_io_context, m_handler.take(), boost::asio::error::operation_aborted);
    }
    if (m_waiting) {
        // Cancelling waits on an open descriptor cannot fail.
        boost::system::error_code ignored;
        m_descriptor->cancel(ignored);
    }
    m_pause.cancel();
    m_pausing = false;
}

void socket_state::close() {
    if (!is_open()) {
        return;
    }
    cancel();
    m_descriptor->release();
    m_descriptor.reset();
    m_socket.close();
}

// The flags are set only once post and async_wait have succeeded: had they thrown, a flag set
// before would keep the receive from ever being served again.
void socket_state::schedule_batch() {
    if (m_batch_scheduled) {
        return;
    }
    boost::asio::post(m_io_context, [self = shared_from_this()] { self->on_batch_scheduled(); });
    m_batch_scheduled = true;
}

void socket_state::on_batch_scheduled() {
    m_batch_scheduled = false;
    receive_batch();
}

void socket_state::on_readable() {
    if (!m_wait_counted) {
        // The io_context takes this wait's work off its count once this handler returns.
        m_io_context.get_executor().on_work_started();
    }
    m_waiting = false;
    if (m_handler.is_set()) {
        m_pausing = false;
        receive_batch();
    } else {
        // Nobody receives: handle libzmq's commands and watch for the next ones.
        watch();
    }
}

void socket_state::on_pause_over(const boost::system::error_code& error) {
    if (error == boost::asio::error::operation_aborted || !m_pausing) {
        return;
    }
    m_pausing = false;
    if (is_open() && m_handler.is_set() && !m_batch_scheduled) {
        receive_batch();
    }
}

void socket_state::receive_batch() {
    for (std::size_t attempt = 0; attempt < receive_batch_limit; ++attempt) {
        if (!m_handler.is_set()) {
            watch();
            return;
        }
        if (!is_open()) {
            return;
        }
        message frame;
        const int bytes = zmq_msg_recv(frame.native_handle(), m_socket.get(), ZMQ_DONTWAIT);
        if (bytes >= 0) {
            deliver(boost::system::error_code(), frame, static_cast<std::size_t>(bytes));
            continue;
        }
        const int error = zmq_errno();
        if (error == EAGAIN) {
            // Before a non-blocking receive reports EAGAIN, libzmq handles every command
            // queued for the socket, just as reading ZMQ_EVENTS would; so ZMQ_FD signals
            // whatever arrives from now on. Reading ZMQ_EVENTS here too would cost another
            // system call each time the socket runs dry.
            wait_readable();
            return;
        }
        if (error == EFSM) {
            // Not now rather than an error: the socket's turn is to send (a REQ before its
            // request, a REP before its reply). The receive stays pending for the send that
            // lets it go on, which looks at ZMQ_EVENTS afterwards (operation_done); reading
            // them here as well makes the descriptor signal whatever happens meanwhile.
            frame_waiting();
            wait_readable();
            return;
        }
        if (error != EINTR) {
            deliver(make_error_code(error), frame, 0);
            pause_after_error();
            return;
        }
    }
    // Let other work on the io_context run before the next batch.
    if (is_open() && m_handler.is_set()) {
        schedule_batch();
    }
}

void socket_state::deliver(const boost::system::error_code& error, message& frame,
                           std::size_t bytes) {
    m_delivering = true;
    try {
        // The handler may start the next receive, which then waits in the slot.
        m_handler.call_once(error, frame, bytes);
    } catch (...) {
        m_delivering = false;
        // A receive started before the throw must still be served once run() is called again.
        if (m_handler.is_set()) {
            schedule_batch();
        } else {
            watch();
        }
        throw;
    }
    m_delivering = false;
}

bool socket_state::frame_waiting() const {
    int events = 0;
    std::size_t size = sizeof events;
    if (zmq_getsockopt(m_socket.get(), ZMQ_EVENTS, &events, &size) != 0) {
        // Go on receiving: the receive reports what went wrong to the handler.
        return true;
    }
    return (events & ZMQ_POLLIN) != 0;
}

void socket_state::wait_readable() {
    if (m_waiting) {
        count_wait();
        return;
    }
    // Readiness and cancellation alike end in a look at the socket, which finds out what there is.
    m_descriptor->async_wait(
        boost::asio::posix::stream_descriptor::wait_read,
        [self = shared_from_this()](const boost::system::error_code&) { self->on_readable(); });
    m_waiting = true;
    m_wait_counted = true;
}

// A pending receive keeps run() going, as any other asynchronous operation does.
void socket_state::count_wait() {
    if (m_waiting && !m_wait_counted) {
        m_io_context.get_executor().on_work_started();
        m_wait_counted = true;
    }
}

// The failed call may not have handled libzmq's commands, so the descriptor may stay silent:
// the pause bounds the wait.
void socket_state::pause_after_error() {
    if (!is_open()) {
        return;
    }
    if (m_handler.is_set()) {
        wait_readable();
    } else {
        watch();
    }
    if (m_pausing) {
        return;
    }
    m_pause.expires_after(receive_error_pause);
    m_pause.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        self->on_pause_over(error);
    });
    m_pausing = true;
}

}  // namespace kelm::libs::asio_zmq::detail
