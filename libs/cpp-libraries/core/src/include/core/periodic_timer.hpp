#pragma once

#include <chrono>
#include <memory>

namespace kelm::libs::core {

// Calls a function on an events loop once per period, on a fixed grid of deadlines:
// a late tick does not shift the later ones, and ticks missed while the loop was busy
// are skipped. The function receives the deadline of its tick. Used on the loop's
// thread only; the function may stop, restart, reset or destroy its own timer.
class periodic_timer {
public:
    // Selects the factory that also fires on the next turn of the loop.
    struct execute_now {};
    using ptr = std::unique_ptr<periodic_timer>;

    virtual ~periodic_timer() = default;

    // A new, positive period; the next tick comes one new period from now.
    virtual void reset(std::chrono::nanoseconds _period) = 0;
    // No ticks until reset(), restart() or expire_now().
    virtual void stop() = 0;
    // A fresh grid: the next tick comes one period from now.
    virtual void restart() = 0;
    // Ticks on the next turn of the loop and anchors the grid at this moment; a
    // stopped timer starts again.
    virtual void expire_now() = 0;
};

}  // namespace kelm::libs::core
