#pragma once

#include <core/fwd.hpp>
#include <core/message_stream.hpp>

#include <functional>
#include <memory>
#include <string>

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

    // Streams of the channels published at a ZeroMQ PUB endpoint. Both throw
    // boost::system::system_error when the address cannot be connected.
    virtual message_stream::ptr create_zmq_message_stream(const std::string& _address) = 0;
    virtual message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) = 0;
    virtual zmq::manager& get_zmq() = 0;

    // Queues the handler; it runs later on the loop's thread, in posting order.
    virtual void post(std::function<void()> _handler, const source_location& _location) = 0;
    virtual work::ptr create_work() = 0;

    virtual boost::asio::io_context& get_io_context() = 0;
    virtual const boost::asio::io_context& get_io_context() const = 0;
};

}  // namespace kelm::libs::core
