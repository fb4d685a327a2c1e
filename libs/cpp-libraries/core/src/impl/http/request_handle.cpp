#include "request_handle.hpp"

#include "transfer_worker.hpp"

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

}  // namespace kelm::libs::core::http
