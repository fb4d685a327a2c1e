#include "timers_manager_impl.hpp"

#include "timer_impl.hpp"

#include <core/events_loop.hpp>
#include <core/impl/deadline.hpp>
#include <core/impl/periodic_timer_impl.hpp>

#include <utility>

namespace kelm::libs::core {

timers_manager_impl::timers_manager_impl(events_loop& _events_loop, const component_logger& _logger)
    : m_events_loop(_events_loop), m_logger(_logger) {}

timer::time_point timers_manager_impl::current_time_point() const {
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now());
}

timestamp timers_manager_impl::current_timestamp() const {
    return timestamp::now();
}

timer::ptr timers_manager_impl::create_timer(std::chrono::nanoseconds _delay,
                                             const std::string& _name, timer::callback _callback,
                                             const source_location& _location) {
    const auto deadline = detail::deadline_after(
        std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now()),
        _delay);
    return create_timer(deadline, _name, std::move(_callback), _location);
}

timer::ptr timers_manager_impl::create_timer(timer::time_point _deadline, const std::string& _name,
                                             timer::callback _callback,
                                             const source_location& _location) {
    return std::make_unique<timer_impl>(m_events_loop.get_io_context(), _deadline, _name,
                                        std::move(_callback), m_logger, _location);
}

periodic_timer::ptr timers_manager_impl::create_periodic_timer(std::chrono::nanoseconds _period,
                                                               const std::string& _name,
                                                               timer::callback _callback,
                                                               const source_location& _location) {
    return std::make_unique<periodic_timer_impl>(*this, _period, _name, std::move(_callback),
                                                 _location, false);
}

periodic_timer::ptr timers_manager_impl::create_periodic_timer(std::chrono::nanoseconds _period,
                                                               periodic_timer::execute_now,
                                                               const std::string& _name,
                                                               timer::callback _callback,
                                                               const source_location& _location) {
    return std::make_unique<periodic_timer_impl>(*this, _period, _name, std::move(_callback),
                                                 _location, true);
}

}  // namespace kelm::libs::core
