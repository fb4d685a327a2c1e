#pragma once

#include <core/events_loop.hpp>

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

    std::shared_ptr<async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>>
    create_redis_context(boost::string_view _ip, int _port, int _db) override;

    void post(std::function<void()> _handler, const source_location& _location) override;
    work::ptr create_work() override;

    boost::asio::io_context& get_io_context() override;
    const boost::asio::io_context& get_io_context() const override;

private:
    core& m_core;
    boost::asio::io_context m_io_context;
    const component_logger& m_logger;
};

}  // namespace kelm::libs::core
