#pragma once

#include <core/async_operation_handle.hpp>
#include <core/badge.hpp>
#include <core/events_loop.hpp>
#include <core/source_location.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace kelm::libs::core {

// The operation's side of an async_operation_handle. The start function does the
// work; it keeps at most the weak pointer beyond its own call, so that dropping the
// caller's handle cancels the operation's delivery. return_result may be called on
// any thread.
template <class T>
class async_operation_handle_impl final
    : public async_operation_handle<T>,
      public std::enable_shared_from_this<async_operation_handle_impl<T>> {
public:
    using ptr = std::shared_ptr<async_operation_handle_impl>;
    using start_function = std::function<void(ptr, std::weak_ptr<async_operation_handle_impl>)>;

    async_operation_handle_impl(events_loop& _events_loop, start_function _start_function,
                                badge<async_operation_handle_impl>)
        : m_events_loop(_events_loop), m_start_function(std::move(_start_function)) {}

    // Creates the handle without starting it; the creator calls start() next.
    static ptr create(events_loop& _events_loop, start_function _start_function) {
        return std::make_shared<async_operation_handle_impl>(
            _events_loop, std::move(_start_function), badge<async_operation_handle_impl>{});
    }

    void start() {
        m_completed = false;
        ptr self = this->shared_from_this();
        std::weak_ptr<async_operation_handle_impl> weak_self = self;
        if (!m_start_function) {
            throw std::bad_function_call();
        }
        m_start_function(std::move(self), std::move(weak_self));
    }

    void restart() override { start(); }

    bool is_complete() const override { return m_completed; }

    void return_result(T&& _result) {
        // Marked complete before the delivery is queued: the loop may run the callback
        // before this thread returns, and the callback must find the run complete (and
        // a restart it makes must not be overwritten by a late store).
        m_completed = true;
        auto result = std::make_shared<T>(std::move(_result));
        m_events_loop.post(
            [weak_self = this->weak_from_this(), result] {
                if (const auto self = weak_self.lock()) {
                    self->deliver(std::move(*result));
                }
            },
            source_location());
    }

private:
    void deliver(T&& _result) { this->deliver_to_callback(std::move(_result)); }

    events_loop& m_events_loop;
    std::atomic<bool> m_completed{false};
    start_function m_start_function;
};

}  // namespace kelm::libs::core
