#pragma once

#include <core/events_loop.hpp>

#include <core/zmq/manager.hpp>

#include <boost/asio/io_context.hpp>

namespace kelm::libs::core {

class events_loop_impl final : public events_loop {
public:
    events_loop_impl(core& _core, const component_logger& _logger);
    // Lets pending handlers, cancelled operations included, finish for up to ten seconds.
    ~events_loop_impl() override;

    void run() override;
    void run_catch_exceptions(const source_location& _location) override;
    void stop() override;
    bool is_stopped() const override;
    signals_handle::ptr stop_on_signals() override;

    message_stream::ptr create_zmq_message_stream(const std::string& _address) override;
    message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) override;
    zmq::manager& get_zmq() override;

    void post(std::function<void()> _handler, const source_location& _location) override;
    work::ptr create_work() override;

    boost::asio::io_context& get_io_context() override;
    const boost::asio::io_context& get_io_context() const override;

private:
    core& m_core;
    boost::asio::io_context m_io_context;
    const component_logger& m_logger;
    // Destroyed first, after the destructor's drain.
    zmq::manager::ptr m_zmq;
};

}  // namespace kelm::libs::core
