#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace kelm::libs::core {

namespace detail {

struct scope_guard {
    virtual ~scope_guard() = default;
};

template <class F>
class scope_guard_impl final : public scope_guard {
public:
    explicit scope_guard_impl(F _callback) : m_callback(std::move(_callback)) {}
    ~scope_guard_impl() override {
        if (m_should_execute) {
            m_callback();
        }
    }

    void dismiss() { m_should_execute = false; }

private:
    bool m_should_execute = true;
    F m_callback;
};

}  // namespace detail

// Runs its callable once when destroyed. Guards of any callable share this one type,
// so functions can hand them out.
using scope_guard = std::unique_ptr<detail::scope_guard>;

template <class F>
scope_guard make_scope_guard(F&& _callback) {
    return std::make_unique<detail::scope_guard_impl<std::decay_t<F>>>(std::forward<F>(_callback));
}

}  // namespace kelm::libs::core
