#include "command_impl.hpp"

#include "async_context.hpp"
#include "command_handle.hpp"
#include "sync_context.hpp"

#include <memory>

namespace kelm::libs::core::redis {

command_impl::command_impl(sync_context& _sync, async_context& _async)
    : m_sync(_sync), m_async(_async) {}

void command_impl::reserve(std::size_t _bytes) {
    m_text.reserve(_bytes);
}

void command_impl::append(boost::string_view _word) {
    m_text.add(_word);
}

command& command_impl::add_argument(std::string _arg) {
    append(_arg);
    return *this;
}

reply command_impl::execute() {
    return m_sync.run_command(m_text);
}

async_operation_handle<reply>::ptr command_impl::execute_async() {
    check_sendable(m_text, KELM_SOURCE_LOCATION());
    // The connection, not this command, is what a run needs, so a handle may be
    // restarted after its command is gone (never after the client is).
    auto result = std::make_shared<command_handle>(m_async, m_text);
    result->start();
    return result;
}

}  // namespace kelm::libs::core::redis
