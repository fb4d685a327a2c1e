#include "command_handle.hpp"

#include "async_context.hpp"

#include <core/events_loop.hpp>
#include <core/source_location.hpp>

namespace kelm::libs::core::redis {

command_handle::command_handle(async_context& _async, const command_text& _command)
    : m_async(_async),
      m_name_offset(
          static_cast<std::uint32_t>(_command.first_word().data() - _command.text().data())),
      m_name_length(static_cast<std::uint32_t>(_command.first_word().size())),
      m_text(_command.text().begin(), _command.text().end()) {}

void command_handle::start() {
    m_completed = false;
    const boost::string_view text(m_text.data(), m_text.size());
    m_async.send(text, text.substr(m_name_offset, m_name_length), weak_from_this());
}

void command_handle::restart() {
    start();
}

bool command_handle::is_complete() const {
    return m_completed;
}

void command_handle::mark_complete() {
    m_completed = true;
}

void command_handle::deliver(reply _reply) {
    deliver_to_callback(std::move(_reply));
}

void reply_deliveries::flush() {
    if (m_posted || m_replies.empty()) {
        return;
    }
    m_events_loop.post([self = shared_from_this()] { self->deliver_all(); }, source_location());
    m_posted = true;
}

void reply_deliveries::deliver_all() {
    m_posted = false;
    while (!m_replies.empty()) {
        auto next = std::move(m_replies.front());
        m_replies.pop_front();
        const auto handle = next.first.lock();
        if (!handle) {
            continue;
        }
        try {
            handle->deliver(std::move(next.second));
        } catch (...) {
            // The loop sees the exception; the replies after this one keep their order.
            flush();
            throw;
        }
    }
}

}  // namespace kelm::libs::core::redis
