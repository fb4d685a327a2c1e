#pragma once

#include <core/fwd.hpp>
#include <core/timer.hpp>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>

#include <cstdint>
#include <memory>
#include <string>

namespace kelm::libs::core {

// A timer on a Boost.Asio steady-clock timer. Its completion handlers hold the shared
// data weakly, so a completion that arrives after the timer was destroyed does
// nothing; while the callback runs they hold it strongly, so the callback may
// destroy its own timer.
class timer_impl final : public timer {
public:
    timer_impl(boost::asio::io_context& _io_context, time_point _deadline, const std::string& _name,
               callback _callback, const component_logger& _logger,
               const source_location& _location);

    bool is_waiting() const override;
    void reset(time_point _deadline) override;
    void stop() override;

private:
    struct shared_data {
        explicit shared_data(callback _callback) : m_callback(std::move(_callback)) {}

        callback m_callback;
        bool m_waiting = false;
        // Counts the waits started and cancelled; only the completion of the
        // latest wait may call the callback or clear m_waiting.
        std::uint64_t m_wait = 0;
    };

    static void on_wait_complete(const component_logger& _logger,
                                 const std::weak_ptr<shared_data>& _data, std::uint64_t _wait,
                                 time_point _deadline, const boost::system::error_code& _error);

    // A steady-clock timer on the io_context's own executor rather than the type-erased
    // any_io_executor of boost::asio::steady_timer, which every wait would copy.
    using asio_timer =
        boost::asio::basic_waitable_timer<std::chrono::steady_clock,
                                          boost::asio::wait_traits<std::chrono::steady_clock>,
                                          boost::asio::io_context::executor_type>;

    asio_timer m_timer;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace kelm::libs::core
