#pragma once

#include <core/periodic_timer.hpp>
#include <core/source_location.hpp>
#include <core/timer.hpp>
#include <core/timestamp.hpp>

#include <chrono>
#include <string>

namespace kelm::libs::core {

// Makes the timers of one events loop; reached through the loop's get_timers().
// The timers it makes run on that loop and must not outlive it.
class timers_manager {
public:
    virtual ~timers_manager() = default;

    // The steady clock the timers wait on; not comparable with current_timestamp().
    virtual timer::time_point current_time_point() const = 0;
    // Wall-clock time, for the record.
    virtual timestamp current_timestamp() const = 0;

    // The returned timer is already waiting.
    virtual timer::ptr create_timer(std::chrono::nanoseconds _delay, const std::string& _name,
                                    timer::callback _callback,
                                    const source_location& _location) = 0;
    virtual timer::ptr create_timer(timer::time_point _deadline, const std::string& _name,
                                    timer::callback _callback,
                                    const source_location& _location) = 0;

    // The first tick comes one period after creation. A period that is not positive
    // throws exception.
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period,
                                                      const std::string& _name,
                                                      timer::callback _callback,
                                                      const source_location& _location) = 0;
    // The first tick comes on the next turn of the loop, the grid starts now.
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period,
                                                      periodic_timer::execute_now,
                                                      const std::string& _name,
                                                      timer::callback _callback,
                                                      const source_location& _location) = 0;
};

}  // namespace kelm::libs::core
