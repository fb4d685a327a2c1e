#pragma once

#include <core/events_loop.hpp>
#include <core/source_location.hpp>

#include <iterator>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kelm::libs::core::detail {

// For results that only ever come from the loop's own thread.
struct no_mutex {
    void lock() {}
    void unlock() {}
};

// Results on their way to their handles on one loop, in the order they were pushed. One post
// takes every result pushed before it runs, so a burst costs one post. The queue is shared
// with that post, so that results pushed by an operation that ends first still arrive; a
// handle gone by then gets nothing. A callback that throws leaves the results after it ahead
// of any pushed since, for the next post. Mutex is std::mutex when other threads push.
template <class Handle, class Result, class Mutex>
class handle_deliveries
    : public std::enable_shared_from_this<handle_deliveries<Handle, Result, Mutex>> {
public:
    using delivery = std::pair<std::weak_ptr<Handle>, Result>;

    explicit handle_deliveries(events_loop& _events_loop) : m_events_loop(_events_loop) {}

    // Queues one result; flush sends what is queued on its way.
    void push(std::weak_ptr<Handle> _handle, Result _result) {
        const std::lock_guard<Mutex> lock(m_mutex);
        m_deliveries.emplace_back(std::move(_handle), std::move(_result));
    }

    // Queues a batch, which it empties, and sends it on its way.
    void push(std::vector<delivery>& _batch) {
        const std::lock_guard<Mutex> lock(m_mutex);
        std::move(_batch.begin(), _batch.end(), std::back_inserter(m_deliveries));
        _batch.clear();
        post_locked();
    }

    // Posts the delivery of what is queued, unless one is already on its way.
    void flush() {
        const std::lock_guard<Mutex> lock(m_mutex);
        post_locked();
    }

private:
    void post_locked() {
        if (m_posted || m_deliveries.empty()) {
            return;
        }
        m_events_loop.post([self = this->shared_from_this()] { self->deliver_all(); },
                           source_location());
        m_posted = true;
    }

    void deliver_all() {
        {
            const std::lock_guard<Mutex> lock(m_mutex);
            m_delivering.swap(m_deliveries);
            m_posted = false;
        }
        for (auto next = m_delivering.begin(); next != m_delivering.end(); ++next) {
            const auto handle = next->first.lock();
            if (!handle) {
                continue;
            }
            try {
                handle->deliver(std::move(next->second));
            } catch (...) {
                // The loop sees the exception.
                const std::lock_guard<Mutex> lock(m_mutex);
                m_deliveries.insert(m_deliveries.begin(), std::make_move_iterator(next + 1),
                                    std::make_move_iterator(m_delivering.end()));
                m_delivering.clear();
                post_locked();
                throw;
            }
        }
        m_delivering.clear();
    }

    events_loop& m_events_loop;
    Mutex m_mutex;
    std::vector<delivery> m_deliveries;
    bool m_posted = false;
    // What the post took, on the loop's thread; it and the queue trade buffers, so neither
    // allocates once grown.
    std::vector<delivery> m_delivering;
};

}  // namespace kelm::libs::core::detail
