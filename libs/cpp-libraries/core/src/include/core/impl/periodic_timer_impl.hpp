#pragma once

#include <core/exception.hpp>
#include <core/impl/deadline.hpp>
#include <core/periodic_timer.hpp>
#include <core/source_location.hpp>
#include <core/timer.hpp>
#include <core/timers_manager.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <utility>

namespace kelm::libs::core {

// A periodic timer made of one one-shot timer, re-armed on every tick for the next
// point of the grid. The inner timer's function holds the user's function only
// weakly, so a tick that outlives this object does nothing.
class periodic_timer_impl final : public periodic_timer {
public:
    periodic_timer_impl(timers_manager& _timers_manager, std::chrono::nanoseconds _period,
                        const std::string& _name, timer::callback _callback,
                        const source_location& _location, bool _execute_now)
        : m_name(_name),
          m_timers_manager(_timers_manager),
          m_period(checked_period(_period, _location)),
          m_callback(std::make_shared<timer::callback>(std::move(_callback))) {
        restart_impl();
        if (_execute_now) {
            expire_now_impl();
        }
    }

    void reset(std::chrono::nanoseconds _period) override {
        m_period = checked_period(_period, KELM_SOURCE_LOCATION());
        restart();
    }

    void stop() override { m_timer.reset(); }

    void restart() override { restart_impl(); }

    void expire_now() override {
        if (!m_timer) {
            restart_impl();
        }
        expire_now_impl();
    }

private:
    // A period of zero would fire on every turn of the loop and keep it busy.
    static std::chrono::nanoseconds checked_period(std::chrono::nanoseconds _period,
                                                   const source_location& _location) {
        if (_period <= std::chrono::nanoseconds::zero()) {
            throw exception("The period of a periodic timer must be positive, not " +
                                std::to_string(_period.count()) + " ns",
                            _location);
        }
        return _period;
    }

    void restart_impl() {
        const auto now = m_timers_manager.current_time_point();
        // Assigning destroys the previous inner timer only once the new one is in
        // place; that cancels its wait, so it never ticks.
        m_timer = m_timers_manager.create_timer(
            detail::deadline_after(now, m_period), m_name,
            [this,
             callback = std::weak_ptr<timer::callback>(m_callback)](timer::time_point _deadline) {
                if (const auto locked = callback.lock()) {
                    on_tick(*locked, _deadline);
                }
            },
            KELM_SOURCE_LOCATION());
    }

    void expire_now_impl() { m_timer->reset(m_timers_manager.current_time_point()); }

    void on_tick(const timer::callback& _callback, timer::time_point _deadline) {
        // Re-armed first, so that the timer keeps ticking when the function throws.
        m_timer->reset(get_next_time_point(_deadline));
        // The function may destroy this object: nothing touches it afterwards.
        _callback(_deadline);
    }

    // The first point of the grid through the deadline that lies after now. The missed
    // periods end before now, so only the last step can pass the clock's end.
    timer::time_point get_next_time_point(timer::time_point _deadline) const {
        const auto now = m_timers_manager.current_time_point();
        const auto missed = _deadline <= now ? (now - _deadline) / m_period : 0;
        return detail::deadline_after(_deadline + m_period * missed, m_period);
    }

    std::string m_name;
    timers_manager& m_timers_manager;
    timer::ptr m_timer;
    std::chrono::nanoseconds m_period;
    std::shared_ptr<timer::callback> m_callback;
};

}  // namespace kelm::libs::core
