#pragma once

#include <utility>

namespace kelm::libs::core::detail {

// Runs a handle's installed callback, if any, with the result. It is taken out while it
// runs, so that a callback that installs another one runs to its end, and put back
// unless it was replaced. A move never allocates, a copy might.
template <class Callback, class... Result>
void run_installed_callback(Callback& _installed, Result&&... _result) {
    if (!_installed) {
        return;
    }
    auto running = std::move(_installed);
    _installed = nullptr;
    const auto put_back = [&_installed, &running] {
        if (!_installed) {
            _installed = std::move(running);
        }
    };
    try {
        running(std::forward<Result>(_result)...);
    } catch (...) {
        put_back();
        throw;
    }
    put_back();
}

}  // namespace kelm::libs::core::detail
