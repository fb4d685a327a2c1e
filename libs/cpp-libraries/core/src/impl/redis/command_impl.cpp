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
      m_data(std::make_shared<command_text>()) {}

void command_impl::reserve(std::size_t _bytes) {
    m_data->reserve(_bytes);
}

void command_impl::append(boost::string_view _word) {
    m_data->add(_word);
}

command& command_impl::add_argument(std::string _arg) {
    append(_arg);
    return *this;
}

reply command_impl::execute() {
    return m_sync.run_command(*m_data);
}

async_operation_handle<reply>::ptr command_impl::execute_async() {
    using handle = async_operation_handle_impl<reply>;
    // The connection, not this command, is what a start needs, so a handle may be
    // restarted after its command is gone (never after the client is).
    auto result = handle::create(
        m_events_loop,
        [data = m_data, &async = m_async](handle::ptr _self, std::weak_ptr<handle> _weak_self) {
            _self.reset();
            async.run_command(*data, [weak_self = std::move(_weak_self)](reply _reply) {
                if (const auto self = weak_self.lock()) {
                    self->return_result(std::move(_reply));
                }
            });
        });
    result->start();
    return result;
}

}  // namespace kelm::libs::core::redis
