#pragma once

#include "command_text.hpp"

#include <core/fwd.hpp>
#include <core/redis/command.hpp>

#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <memory>
#include <string>

namespace kelm::libs::core::redis {

class async_context;
class sync_context;

class command_impl final : public command {
public:
    command_impl(events_loop& _events_loop, const component_logger& _logger, sync_context& _sync,
                 async_context& _async);

    // Makes room for more words taking that many bytes in all (command_text::encoded_size).
    void reserve(std::size_t _bytes);
    // add_argument without the copy into a string of its own.
    void append(boost::string_view _word);

    command& add_argument(std::string _arg) override;
    reply execute() override;
    async_operation_handle<reply>::ptr execute_async() override;

private:
    events_loop& m_events_loop;
    const component_logger& m_logger;
    sync_context& m_sync;
    async_context& m_async;
    // Shared with every asynchronous run, so that a handle restarted after its command
    // is gone still has the words, and words added later go out with later runs.
    std::shared_ptr<command_text> m_data;
};

}  // namespace kelm::libs::core::redis
