#include "command_handle.hpp"

#include "async_context.hpp"

#include <cstring>

namespace kelm::libs::core::redis {

command_handle::command_handle(async_context& _async, const command_text& _command)
    : m_async(_async), m_size(_command.text().size()) {
    if (!is_inline()) {
        m_heap = new char[m_size];
    }
    std::memcpy(is_inline() ? m_inline : m_heap, _command.text().data(), m_size);
}

command_handle::~command_handle() {
    if (!is_inline()) {
        delete[] m_heap;
    }
}

void command_handle::start() {
    m_completed.store(false, std::memory_order_release);
    m_async.send(shared_from_this());
}

void command_handle::restart() {
    start();
}

bool command_handle::is_complete() const {
    return m_completed.load(std::memory_order_acquire);
}

// Written on the loop's thread only; a reader elsewhere needs no more order than this.
void command_handle::mark_complete() {
    m_completed.store(true, std::memory_order_release);
}

void command_handle::deliver(reply _reply) {
    deliver_to_callback(std::move(_reply));
}

}  // namespace kelm::libs::core::redis
