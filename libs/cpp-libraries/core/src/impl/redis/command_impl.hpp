#pragma once

#include "command_text.hpp"

#include <core/redis/command.hpp>

#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <string>

namespace kelm::libs::core::redis {

class async_context;
class sync_context;

class command_impl final : public command {
public:
    command_impl(sync_context& _sync, async_context& _async);

    // Makes room for more words taking that many bytes in all (command_text::encoded_size).
    void reserve(std::size_t _bytes);
    // add_argument without the copy into a string of its own.
    void append(boost::string_view _word);

    command& add_argument(std::string _arg) override;
    reply execute() override;
    async_operation_handle<reply>::ptr execute_async() override;

private:
    sync_context& m_sync;
    async_context& m_async;
    // Each asynchronous run takes a copy of the words as they are then.
    command_text m_text;
};

}  // namespace kelm::libs::core::redis
