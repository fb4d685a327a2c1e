#pragma once

#include <core/fwd.hpp>
#include <core/redis/command.hpp>

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace kelm::libs::core::redis {

class async_context;
class sync_context;

class command_impl final : public command {
public:
    // The words, shared with every asynchronous run so that they outlive a command
    // destroyed while its send is still queued.
    struct data {
        // A list, so a word never moves once its pointer is taken.
        std::list<std::string> m_argv_keeper;
        std::vector<const char*> m_argv;
        std::vector<std::size_t> m_argv_len;
    };

    command_impl(events_loop& _events_loop, const component_logger& _logger, sync_context& _sync,
                 async_context& _async);

    // Makes room for that many words in all, so that adding them allocates less.
    void reserve(std::size_t _words);

    command& add_argument(std::string _arg) override;
    reply execute() override;
    async_operation_handle<reply>::ptr execute_async() override;

private:
    events_loop& m_events_loop;
    const component_logger& m_logger;
    sync_context& m_sync;
    async_context& m_async;
    std::shared_ptr<data> m_data;
};

}  // namespace kelm::libs::core::redis
