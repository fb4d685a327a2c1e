#pragma once

#include <core/timer.hpp>

#include <chrono>
#include <limits>

namespace kelm::libs::core::detail {

// The time point _duration after _from, held at the clock's ends instead of
// overflowing: a deadline past the end of the clock is one that never comes.
inline timer::time_point deadline_after(timer::time_point _from,
                                        std::chrono::nanoseconds _duration) {
    using rep = std::chrono::nanoseconds::rep;
    const rep from = _from.time_since_epoch().count();
    const rep duration = _duration.count();
    if (duration > 0 && from > std::numeric_limits<rep>::max() - duration) {
        return timer::time_point::max();
    }
    if (duration < 0 && from < std::numeric_limits<rep>::min() - duration) {
        return timer::time_point::min();
    }
    return _from + _duration;
}

}  // namespace kelm::libs::core::detail
