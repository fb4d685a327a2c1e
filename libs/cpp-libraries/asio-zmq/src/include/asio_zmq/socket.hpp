#pragma once

#include <asio_zmq/detail/receive_handler.hpp>
#include <asio_zmq/message.hpp>

#include <zmq.h>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kelm::libs::asio_zmq {

namespace detail {
class socket_state;
}

// How many frames one run of the receive loop hands to successive handlers before it lets other
// work on the io_context run.
inline constexpr std::size_t receive_batch_limit = 64;

// After a receive error other than EAGAIN, the next attempt waits for the socket's signal or
// this long, whichever comes first.
inline constexpr std::chrono::milliseconds receive_error_pause{100};

// ZMQ_LINGER of every new socket. libzmq's own default is infinite: one frame queued for a peer
// that never comes would then hold up the destruction of the io_context, and the program's exit,
// for good. A socket whose frames matter more sets its own with set_option(ZMQ_LINGER, ms), -1
// waiting for ever.
inline constexpr std::chrono::milliseconds default_linger{1000};

// A ZeroMQ socket driven by a boost::asio::io_context.
//
// Threads: a socket is used only from the one thread that runs its io_context, and its handlers run
// there; nothing here takes a lock.
//
// Receiving: async_receive(handler) receives one frame and calls
//     handler(boost::system::error_code& error, message& frame, std::size_t bytes)
// (a const error_code& works as well) on the io_context's thread, never inside async_receive
// itself. When the handler starts the next receive on the same socket, frames already waiting are
// handed to the following handlers straight away, up to receive_batch_limit of them, before the
// socket goes back to the io_context.
// - At most one receive can be pending. Another async_receive meanwhile completes, posted, with
//   boost::asio::error::already_started and leaves the pending one alone.
// - cancel(), close() and the destructor complete a pending receive, posted, with
//   boost::asio::error::operation_aborted. Pending work keeps what it needs alive, so a handler
//   may run after its socket is gone; one still queued when the io_context is destroyed is
//   destroyed without being called.
// - On a closed or moved-from socket, operations fail with boost::asio::error::bad_descriptor.
// - A receive that the socket's state does not allow yet (EFSM: a REQ socket before it sent its
//   request, a REP socket before it sent its reply) stays pending and completes once the send
//   that allows it was made and a frame came, whenever that is.
// - A receive error other than EAGAIN and EFSM goes to the handler with an empty frame. The next
//   receive then waits until the socket signals or a short pause is over, so an error that lasts
//   costs one handler run per pause, not a busy thread.
//
// libzmq handles its peers' commands (connections that come and go, subscriptions, room again in
// a peer's queue) only when a call is made on the socket. The socket watches libzmq's descriptor
// for as long as it is open, so this happens while it is idle too. That watch does not count as
// work of the io_context: run() still returns once nothing else is pending.
//
// Errors of libzmq carry zmq_category(). The throwing forms throw boost::system::system_error.
class socket {
public:
    // type is a ZeroMQ socket type such as ZMQ_PULL. Throws boost::system::system_error when libzmq
    // refuses it.
    socket(boost::asio::io_context& io_context, int type);
    socket(socket&& other) noexcept = default;
    socket& operator=(socket&& other) noexcept;
    socket(const socket&) = delete;
    socket& operator=(const socket&) = delete;
    ~socket();

    // libzmq's endpoint forms, including a wildcard port ("tcp://127.0.0.1:*").
    void bind(const std::string& endpoint);
    void bind(const std::string& endpoint, boost::system::error_code& error);
    void connect(const std::string& endpoint);
    void connect(const std::string& endpoint, boost::system::error_code& error);

    // The endpoint last bound or connected (ZMQ_LAST_ENDPOINT), with the port a wildcard chose;
    // empty before the first bind or connect.
    std::string endpoint() const;

    // An integer socket option (ZMQ_LINGER, ZMQ_SNDHWM, ...).
    void set_option(int option, int value);
    // A 64-bit socket option (ZMQ_MAXMSGSIZE).
    void set_option(int option, std::int64_t value);
    // A binary or text socket option (ZMQ_CURVE_SECRETKEY, ZMQ_ZAP_DOMAIN, ...).
    void set_option(int option, std::string_view value);
    void subscribe(std::string_view prefix);
    void unsubscribe(std::string_view prefix);

    // flags are ZeroMQ's: 0 blocks, ZMQ_DONTWAIT does not, ZMQ_SNDMORE marks a frame that more
    // follow. ZeroMQ takes the content, leaving the frame empty; a frame that fails keeps it.
    // Returns the bytes sent.
    std::size_t send(message& frame, int flags = 0);
    std::size_t send(message& frame, int flags, boost::system::error_code& error);

    // Replaces the frame's content with the next frame. Returns its size.
    std::size_t receive(message& frame, int flags = 0);
    std::size_t receive(message& frame, int flags, boost::system::error_code& error);

    template <typename Handler>
    void async_receive(Handler&& handler) {
        static_assert(std::is_invocable_v<std::decay_t<Handler>&, boost::system::error_code&,
                                          message&, std::size_t>,
                      "receive handler must be callable as (error_code&, message&, size_t)");
        start_receive(detail::receive_handler(std::forward<Handler>(handler)));
    }

    void cancel();
    void close();
    bool is_open() const noexcept;
    // The libzmq socket, or null once closed.
    void* native_handle() const noexcept;

private:
    void start_receive(detail::receive_handler handler);
    // A send or receive of one frame; either may consume the descriptor's readiness signal.
    std::size_t transfer(int (*operation)(zmq_msg_t*, void*, int), message& frame, int flags,
                         boost::system::error_code& error);
    void* open_handle(boost::system::error_code& error) const noexcept;
    void set_bytes_option(int option, std::string_view value, const char* what);

    boost::asio::io_context* m_io_context;
    std::shared_ptr<detail::socket_state> m_state;
};

// A socket of one ZeroMQ type, e.g. specialized_socket<ZMQ_PULL>.
template <int Type>
class specialized_socket : public socket {
public:
    explicit specialized_socket(boost::asio::io_context& io_context) : socket(io_context, Type) {}
};

using pub_socket = specialized_socket<ZMQ_PUB>;
using sub_socket = specialized_socket<ZMQ_SUB>;
using pull_socket = specialized_socket<ZMQ_PULL>;
using push_socket = specialized_socket<ZMQ_PUSH>;
using req_socket = specialized_socket<ZMQ_REQ>;
using rep_socket = specialized_socket<ZMQ_REP>;

}  // namespace kelm::libs::asio_zmq
