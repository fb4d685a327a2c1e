#pragma once

#include "../handle_deliveries.hpp"
#include "command_text.hpp"

#include <core/async_operation_handle.hpp>
#include <core/fwd.hpp>
#include <core/redis/reply.hpp>

#include <boost/utility/string_view.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace kelm::libs::core::redis {

class async_context;

// The handle of one asynchronous command, in one allocation with what a run needs: a
// copy of the command's wire text, so that a restart after the command is gone sends
// it again. Once the command is on its way the connection keeps only a weak pointer to
// it, so dropping the handle means its reply is never delivered.
class command_handle final : public async_operation_handle<reply>,
                             public std::enable_shared_from_this<command_handle> {
public:
    // The command must be sendable (check_sendable).
    command_handle(async_context& _async, const command_text& _command);
    command_handle(const command_handle&) = delete;
    command_handle& operator=(const command_handle&) = delete;
    ~command_handle() override;

    // Queues the command on the connection; throws when there is none.
    void start();
    void restart() override;
    bool is_complete() const override;

    // The command as it goes on the wire, and its first word for error messages.
    boost::string_view text() const { return {is_inline() ? m_inline : m_heap, m_size}; }
    boost::string_view name() const { return first_word_of(text()); }

    // Called on the loop's thread, in the order the replies came.
    void mark_complete();
    void deliver(reply _reply);

private:
    // A SET of a short key and a short value fits. With up to a hundred thousand commands
    // in flight, the handle's size is most of what a burst costs.
    static constexpr std::size_t inline_bytes = 112;

    bool is_inline() const { return m_size <= inline_bytes; }

    async_context& m_async;
    std::atomic<bool> m_completed{false};
    std::size_t m_size;
    union {
        char m_inline[inline_bytes];
        // Owned; allocated when the text is longer than the room in place.
        char* m_heap;
    };
};

// Replies on their way to their handles: every reply read in one turn goes out with one
// post, and those a closing connection answers with arrive after it is gone.
using reply_deliveries = detail::handle_deliveries<command_handle, reply, detail::no_mutex>;

}  // namespace kelm::libs::core::redis
