#pragma once

#include <core/events_loop.hpp>
#include <core/tcp/manager.hpp>
#include <core/zmq/manager.hpp>

#include <boost/asio/io_context.hpp>

#include <memory>

namespace kelm::libs::core {

class events_loop_impl final : public events_loop {
public:
    events_loop_impl(core& _core, const component_logger& _logger);
    // Lets pending handlers, cancelled operations included, finish for up to ten seconds,
    // then destroys the managers, in reverse order of creation, before the io_context.
    ~events_loop_impl() override;

    void run() override;
    void run_catch_exceptions(const source_location& _location) override;
    void stop() override;
    bool is_stopped() const override;
    signals_handle::ptr stop_on_signals() override;

    timers_manager& get_timers() override;
    timer::ptr create_timer(timer::time_point _deadline, const std::string& _name,
                            timer::callback _callback, const source_location& _location) override;
    periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period,
                                              const std::string& _name, timer::callback _callback,
                                              const source_location& _location) override;
    periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period,
                                              periodic_timer::execute_now, const std::string& _name,
                                              timer::callback _callback,
                                              const source_location& _location) override;
    http::client::ptr create_http_client(const std::string& _address,
                                         std::chrono::seconds _timeout) override;
    http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                         const std::vector<http::method>& _disabled_methods,
                                         int _num_threads) override;
    udp::socket::ptr create_udp_socket(ip_protocol _protocol, int _port) override;
    udp::socket::ptr create_udp_socket(const std::string& _address, int _port) override;
    tcp::manager& get_tcp() override;
    std::shared_ptr<async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>>
    create_redis_context(boost::string_view _ip, int _port, int _db) override;
    message_stream::ptr create_zmq_message_stream(const std::string& _address) override;
    message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) override;
    message_stream::ptr create_zmq_message_stream(
        const std::string& _address, const message_stream::socket_setup& _setup) override;
    message_stream::ptr create_zmq_raw_message_stream(
        const std::string& _address, const message_stream::socket_setup& _setup) override;
    zmq::manager& get_zmq() override;

    void post(std::function<void()> _handler, const source_location& _location) override;
    work::ptr create_work() override;

    boost::asio::io_context& get_io_context() override;
    const boost::asio::io_context& get_io_context() const override;

private:
    core& m_core;
    boost::asio::io_context m_io_context;
    const component_logger& m_logger;
    // Destroyed after the drain of the destructor, in reverse order of creation.
    std::unique_ptr<timers_manager> m_timers;
    tcp::manager::ptr m_tcp;
    zmq::manager::ptr m_zmq;
};

}  // namespace kelm::libs::core
