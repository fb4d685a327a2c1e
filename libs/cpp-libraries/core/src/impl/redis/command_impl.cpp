#include "command_impl.hpp"

#include "async_context.hpp"
#include "sync_context.hpp"

#include <core/async_operation_handle_impl.hpp>

#include <utility>

namespace kelm::libs::core::redis {

command_impl::command_impl(events_loop& _events_loop, const component_logger& _logger,
                           sync_context& _sync, async_context& _async)
    : m_events_loop(_events_loop),
      m_logger(_logger),
      m_sync(_sync),
      m_async(_async),
      m_data(std::make_shared<data>()) {}

void command_impl::reserve(std::size_t _words) {
    m_data->m_argv.reserve(_words);
    m_data->m_argv_len.reserve(_words);
}

command& command_impl::add_argument(std::string _arg) {
    const auto& word = m_data->m_argv_keeper.emplace_back(std::move(_arg));
    m_data->m_argv.push_back(word.data());
    m_data->m_argv_len.push_back(word.size());
    return *this;
}

reply command_impl::execute() {
    return m_sync.run_command(m_data->m_argv, m_data->m_argv_len);
}

async_operation_handle<reply>::ptr command_impl::execute_async() {
    using handle = async_operation_handle_impl<reply>;
    // The connection, not this command, is what a start needs, so a handle may be
    // restarted after its command is gone (never after the client is).
    auto result = handle::create(
        m_events_loop,
        [data = m_data, &async = m_async](handle::ptr _self, std::weak_ptr<handle> _weak_self) {
            _self.reset();
            async.run_command(data->m_argv, data->m_argv_len, [_weak_self](reply _reply) {
                if (const auto self = _weak_self.lock()) {
                    self->return_result(std::move(_reply));
                }
            });
        });
    result->start();
    return result;
}

}  // namespace kelm::libs::core::redis
