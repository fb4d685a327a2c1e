#pragma once

#include <type_traits>
#include <utility>

namespace kelm::libs {

namespace detail {

template <class Function, class = void>
struct hands_itself_over : std::false_type {};
template <class Function>
struct hands_itself_over<Function, std::void_t<decltype(&Function::consume)>> : std::true_type {};

}  // namespace detail

// Holds the callback of an object that calls it back, such as a socket's receive
// callback, where the callback may, during its own call, install another callback,
// clear the slot, or destroy the object and the slot with it.
//
// The running callable is moved out of the slot onto the caller's stack for the length
// of its call, so none of these destroys it under its own feet:
// - call(): a callback that stays. Once the call ends, by a return or an exception, the
//   callable goes back into the slot, unless set() was called meanwhile (replaced or
//   cleared: what set() installed stays) or the slot was destroyed.
// - call_once(): a one-shot callback. The slot is empty before the call starts, so the
//   callable may install its successor there. A type-erased Function that can move its
//   callable out of itself for the call, through a consume() member that calls it, is
//   called that way, which spares moving the Function itself.
//
// Function is a std::function or another callable that is empty when default
// constructed, tests as bool and moves without throwing. A slot is used from one thread
// and stays where it is made. A callable is not called again while it runs: a nested
// call finds the slot empty.
template <class Function>
class callback_slot {
    static_assert(std::is_nothrow_move_constructible_v<Function> &&
                      std::is_nothrow_move_assignable_v<Function>,
                  "the running callable is moved in and out of the slot, which must not throw");

public:
    callback_slot() = default;
    callback_slot(const callback_slot&) = delete;
    callback_slot& operator=(const callback_slot&) = delete;
    ~callback_slot() { forget_running(); }

    // Installs the callable; an empty one clears the slot. A callable running now runs
    // to its end and is not put back.
    void set(Function&& _function) noexcept {
        forget_running();
        m_function = std::move(_function);
    }

    // Whether a callable is installed, the one running now included.
    bool is_set() const noexcept { return static_cast<bool>(m_function) || m_running != nullptr; }

    // Empties the slot and hands over what was installed. The one running now, if any,
    // stays with its call and is not put back.
    Function take() noexcept {
        forget_running();
        Function taken(std::move(m_function));
        clear_moved_from();
        return taken;
    }

    template <class... Arguments>
    void call(Arguments&&... _arguments) {
        running current(*this);
        current.m_function(std::forward<Arguments>(_arguments)...);
    }

    template <class... Arguments>
    void call_once(Arguments&&... _arguments) {
        if constexpr (detail::hands_itself_over<Function>::value) {
            forget_running();
            m_function.consume(std::forward<Arguments>(_arguments)...);
        } else {
            Function function = take();
            function(std::forward<Arguments>(_arguments)...);
        }
    }

private:
    // The callable during its call, which puts it back if the slot still expects it.
    struct running {
        explicit running(callback_slot& _slot) noexcept
            : m_slot(&_slot), m_function(std::move(_slot.m_function)) {
            _slot.clear_moved_from();
            _slot.m_running = this;
        }
        running(const running&) = delete;
        running& operator=(const running&) = delete;
        ~running() {
            if (m_slot != nullptr) {
                m_slot->m_running = nullptr;
                m_slot->m_function = std::move(m_function);
            }
        }

        callback_slot* m_slot;
        Function m_function;
    };

    // A move that empties its source, as most do, spares the assignment.
    void clear_moved_from() noexcept {
        if (m_function) {
            m_function = Function();
        }
    }

    void forget_running() noexcept {
        if (m_running != nullptr) {
            m_running->m_slot = nullptr;
            m_running = nullptr;
        }
    }

    Function m_function;
    running* m_running = nullptr;
};

}  // namespace kelm::libs
