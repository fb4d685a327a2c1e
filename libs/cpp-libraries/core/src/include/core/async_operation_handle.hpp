#pragma once

#include <callback_slot/callback_slot.hpp>

#include <functional>
#include <memory>
#include <utility>

namespace kelm::libs::core {

// The caller's side of an asynchronous operation that yields one result. The result
// is delivered to the callback on the thread of the loop that owns the operation;
// dropping the last pointer to the handle cancels that delivery.
template <class... Result>
class async_operation_handle {
public:
    using callback = std::function<void(Result...)>;
    using void_callback = std::function<void()>;
    using ptr = std::shared_ptr<async_operation_handle>;

    virtual ~async_operation_handle() = default;

    // Whether a result has been handed over since the operation last started; its
    // delivery may still be queued on the loop.
    virtual bool is_complete() const = 0;
    // Runs the operation again; each run delivers its own result.
    virtual void restart() = 0;

    // Set from the loop's thread: the delivery reads the callback there. The callback may
    // replace or clear itself while it runs.
    void set_callback(callback _callback) { m_callback.set(std::move(_callback)); }
    // For callers that only need to know the operation completed.
    void set_callback(void_callback _callback) {
        m_callback.set([on_complete = std::move(_callback)](Result...) {
            if (on_complete) {
                on_complete();
            }
        });
    }

protected:
    // Hands a result to the installed callback, if there is one; called on the loop's
    // thread by every kind of handle.
    template <class... Delivered>
    void deliver_to_callback(Delivered&&... _result) {
        if (m_callback.is_set()) {
            m_callback.call(std::forward<Delivered>(_result)...);
        }
    }

private:
    callback_slot<callback> m_callback;
};

}  // namespace kelm::libs::core
