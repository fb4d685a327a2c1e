#pragma once

#include <asio_zmq/message.hpp>

#include <boost/system/error_code.hpp>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace kelm::libs::asio_zmq::detail {

// A type-erased receive completion handler. Handlers that fit inline_capacity (and move without
// throwing) live inside this object, so the usual loop of a handler re-arming its own receive
// allocates nothing per frame; larger ones go to the heap.
class receive_handler {
public:
    static constexpr std::size_t inline_capacity = 64;

    receive_handler() noexcept = default;

    template <typename Handler,
              typename = std::enable_if_t<!std::is_same_v<std::decay_t<Handler>, receive_handler>>>
    explicit receive_handler(Handler&& handler) {
        emplace<std::decay_t<Handler>>(std::forward<Handler>(handler));
    }

    receive_handler(receive_handler&& other) noexcept { take(other); }

    receive_handler& operator=(receive_handler&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }

    receive_handler(const receive_handler&) = delete;
    receive_handler& operator=(const receive_handler&) = delete;
    ~receive_handler() { reset(); }

    explicit operator bool() const noexcept { return m_operations != nullptr; }

    // Hands the handler over to its own call: this object is empty by the time the handler runs,
    // so the handler can store the handler of its next receive here, or destroy this object.
    // Requires a handler.
    void consume(boost::system::error_code error, message& frame, std::size_t bytes) {
        m_operations->complete(*this, error, frame, bytes);
    }

    void reset() noexcept {
        if (m_operations != nullptr) {
            m_operations->destroy(m_storage);
            m_operations = nullptr;
        }
    }

private:
    struct operations {
        void (*relocate)(void* from, void* to) noexcept;
        void (*destroy)(void* storage) noexcept;
        void (*complete)(receive_handler& self, boost::system::error_code& error, message& frame,
                         std::size_t bytes);
    };

    template <typename Handler>
    static constexpr bool fits_inline = sizeof(Handler) <= inline_capacity &&
                                        alignof(Handler) <= alignof(std::max_align_t) &&
                                        std::is_nothrow_move_constructible_v<Handler>;

    template <typename Handler>
    struct inline_operations {
        static Handler& get(void* storage) noexcept {
            return *std::launder(static_cast<Handler*>(storage));
        }
        static void relocate(void* from, void* to) noexcept {
            ::new (to) Handler(std::move(get(from)));
            get(from).~Handler();
        }
        static void destroy(void* storage) noexcept { get(storage).~Handler(); }
        static void complete(receive_handler& self, boost::system::error_code& error,
                             message& frame, std::size_t bytes) {
            Handler handler(std::move(get(self.m_storage)));
            self.reset();
            handler(error, frame, bytes);
        }
        static constexpr operations table{&relocate, &destroy, &complete};
    };

    template <typename Handler>
    struct heap_operations {
        static Handler*& get(void* storage) noexcept {
            return *std::launder(static_cast<Handler**>(storage));
        }
        static void relocate(void* from, void* to) noexcept { ::new (to) Handler*(get(from)); }
        static void destroy(void* storage) noexcept { delete get(storage); }
        static void complete(receive_handler& self, boost::system::error_code& error,
                             message& frame, std::size_t bytes) {
            std::unique_ptr<Handler> stored(get(self.m_storage));
            self.m_operations = nullptr;
            Handler handler(std::move(*stored));
            stored.reset();
            handler(error, frame, bytes);
        }
        static constexpr operations table{&relocate, &destroy, &complete};
    };

    template <typename Handler, typename Argument>
    void emplace(Argument&& handler) {
        if constexpr (fits_inline<Handler>) {
            ::new (static_cast<void*>(m_storage)) Handler(std::forward<Argument>(handler));
            m_operations = &inline_operations<Handler>::table;
        } else {
            ::new (static_cast<void*>(m_storage))
                Handler*(new Handler(std::forward<Argument>(handler)));
            m_operations = &heap_operations<Handler>::table;
        }
    }

    void take(receive_handler& other) noexcept {
        if (other.m_operations != nullptr) {
            other.m_operations->relocate(other.m_storage, m_storage);
            m_operations = other.m_operations;
            other.m_operations = nullptr;
        }
    }

    alignas(std::max_align_t) unsigned char m_storage[inline_capacity];
    const operations* m_operations = nullptr;
};

}  // namespace kelm::libs::asio_zmq::detail
