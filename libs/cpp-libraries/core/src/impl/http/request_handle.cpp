#include "request_handle.hpp"

#include "transfer_worker.hpp"

#include <core/events_loop.hpp>
#include <core/source_location.hpp>

#include <iterator>

namespace kelm::libs::core::http {

void request_handle::start() {
    m_completed = false;
    m_worker.queue(weak_from_this(), m_request);
}

void request_handle::restart() {
    start();
}

bool request_handle::is_complete() const {
    return m_completed;
}

void request_handle::deliver(result _result) {
    m_completed = true;
    deliver_to_callback(std::move(_result));
}

void result_deliveries::push(std::vector<delivery>& _batch) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::move(_batch.begin(), _batch.end(), std::back_inserter(m_deliveries));
    _batch.clear();
    post_locked();
}

void result_deliveries::post_locked() {
    if (m_posted || m_deliveries.empty()) {
        return;
    }
    m_events_loop.post([self = shared_from_this()] { self->deliver_all(); }, source_location());
    m_posted = true;
}

void result_deliveries::deliver_all() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
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
            // The loop sees the exception; the results after this one keep their place
            // ahead of any pushed since.
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_deliveries.insert(m_deliveries.begin(), std::make_move_iterator(next + 1),
                                std::make_move_iterator(m_delivering.end()));
            m_delivering.clear();
            post_locked();
            throw;
        }
    }
    m_delivering.clear();
}

}  // namespace kelm::libs::core::http
