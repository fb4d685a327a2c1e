#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace kelm::libs::core {

// A one-shot timer on an events loop: calls its callback once, on the loop's thread,
// when the steady clock reaches the deadline. Used on the loop's thread only.
class timer {
public:
    using time_point = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;
    // Receives the deadline the timer waited for, not the time it actually ran.
    using callback = std::function<void(time_point)>;
    using ptr = std::unique_ptr<timer>;

    // Destroying the timer cancels its wait; the callback is not called afterwards.
    virtual ~timer() = default;

    // Whether a wait is pending.
    virtual bool is_waiting() const = 0;
    // Waits for a new deadline, cancelling the pending wait, if any.
    virtual void reset(time_point _deadline) = 0;
    // Cancels the pending wait without calling the callback.
    virtual void stop() = 0;
};

}  // namespace kelm::libs::core
