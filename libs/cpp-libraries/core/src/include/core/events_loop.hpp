#pragma once

#include <core/async_operation_handle.hpp>
#include <core/fwd.hpp>
#include <core/http/client.hpp>
#include <core/ip_protocol.hpp>
#include <core/message_stream.hpp>
#include <core/periodic_timer.hpp>
#include <core/timer.hpp>
#include <core/udp/socket.hpp>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelm::libs::core {

// An event loop on one Boost.Asio io_context. Objects made through it complete their
// work in handlers run by the thread that calls run(). post() and stop() may be called
// from any thread; everything else belongs to the loop's thread.
class events_loop {
public:
    using ptr = std::unique_ptr<events_loop>;

    // Keeps run() from returning for lack of work while it exists.
    class work {
    public:
        using ptr = std::unique_ptr<work>;
        virtual ~work() = default;
    };

    // Keeps SIGINT and SIGTERM stopping the loop while it exists.
    class signals_handle {
    public:
        using ptr = std::unique_ptr<signals_handle>;
        virtual ~signals_handle() = default;
        virtual bool signal_is_received() const = 0;
    };

    virtual ~events_loop() = default;

    // Runs handlers until the loop is stopped or has no more work. A handler's
    // exception leaves run(); calling run() again goes on with the rest.
    virtual void run() = 0;
    // Like run(), but logs each exception with the location and keeps running.
    virtual void run_catch_exceptions(const source_location& _location) = 0;
    virtual void stop() = 0;
    virtual bool is_stopped() const = 0;
    // The first SIGINT or SIGTERM received while the handle lives stops this loop.
    // The handle must be destroyed before the loop.
    virtual signals_handle::ptr stop_on_signals() = 0;

    virtual timers_manager& get_timers() = 0;
    // Shortcuts to the timers manager's factories of the same names.
    virtual timer::ptr create_timer(timer::time_point _deadline, const std::string& _name,
                                    timer::callback _callback,
                                    const source_location& _location) = 0;
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period,
                                                      const std::string& _name,
                                                      timer::callback _callback,
                                                      const source_location& _location) = 0;
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period,
                                                      periodic_timer::execute_now,
                                                      const std::string& _name,
                                                      timer::callback _callback,
                                                      const source_location& _location) = 0;
    // Streams of the channels published at a ZeroMQ PUB endpoint. Both throw
    // boost::system::system_error when the address cannot be connected.
    virtual message_stream::ptr create_zmq_message_stream(const std::string& _address) = 0;
    virtual message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) = 0;
    // The same, with the socket handed to _setup before it connects.
    virtual message_stream::ptr create_zmq_message_stream(
        const std::string& _address, const message_stream::socket_setup& _setup) = 0;
    virtual message_stream::ptr create_zmq_raw_message_stream(
        const std::string& _address, const message_stream::socket_setup& _setup) = 0;
    // A UDP socket bound to the family's wildcard address, or to a numeric address.
    virtual udp::socket::ptr create_udp_socket(ip_protocol _protocol, int _port) = 0;
    virtual udp::socket::ptr create_udp_socket(const std::string& _address, int _port) = 0;
    // Connects out and listens over TCP.
    virtual tcp::manager& get_tcp() = 0;
    // ZeroMQ sockets connected or bound on this loop.
    virtual zmq::manager& get_zmq() = 0;
    // An HTTP client for the base address whose results are delivered on this loop;
    // the first form has no disabled methods and runs 10 requests at a time. The HTTP and
    // Redis factories throw exception in a program linked with kelm::libs::core_base, the
    // runtime without those two clients.
    virtual http::client::ptr create_http_client(const std::string& _address,
                                                 std::chrono::seconds _timeout) = 0;
    virtual http::client::ptr create_http_client(const std::string& _address,
                                                 std::chrono::seconds _timeout,
                                                 const std::vector<http::method>& _disabled_methods,
                                                 int _num_threads) = 0;
    // Opens a Redis client on this loop; the handle delivers it, or an empty optional
    // when it could not be opened.
    virtual std::shared_ptr<
        async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>>
    create_redis_context(boost::string_view _ip, int _port, int _db) = 0;

    // Queues the handler; it runs later on the loop's thread, in posting order.
    virtual void post(std::function<void()> _handler, const source_location& _location) = 0;
    virtual work::ptr create_work() = 0;

    virtual boost::asio::io_context& get_io_context() = 0;
    virtual const boost::asio::io_context& get_io_context() const = 0;
};

}  // namespace kelm::libs::core
