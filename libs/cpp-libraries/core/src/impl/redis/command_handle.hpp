#pragma once

#include "command_text.hpp"

#include <core/async_operation_handle.hpp>
#include <core/fwd.hpp>
#include <core/redis/reply.hpp>

#include <boost/container/small_vector.hpp>
#include <boost/utility/string_view.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>

namespace kelm::libs::core::redis {

class async_context;

// The handle of one asynchronous command, in one allocation with what a run needs: a
// copy of the command's wire text, so that a restart after the command is gone sends
// it again. The connection keeps only a weak pointer to it, so dropping the handle
// means its reply is never delivered.
class command_handle final : public async_operation_handle<reply>,
                             public std::enable_shared_from_this<command_handle> {
public:
    // The command must be sendable (check_sendable).
    command_handle(async_context& _async, const command_text& _command);

    // Queues the command on the connection; throws when there is none.
    void start();
    void restart() override;
    bool is_complete() const override;

    // Called on the loop's thread, in the order the replies came.
    void mark_complete();
    void deliver(reply _reply);

private:
    // A SET of a short key and a short value fits.
    static constexpr std::size_t inline_bytes = 112;

    async_context& m_async;
    std::atomic<bool> m_completed{false};
    std::uint32_t m_name_offset;
    std::uint32_t m_name_length;
    boost::container::small_vector<char, inline_bytes> m_text;
};

// Replies on their way to their handles, in the order the server gave them. Every reply
// read in one turn goes out with one post; the queue is shared with that post, so the
// replies a closing connection answers with reach their handles after it is gone.
class reply_deliveries : public std::enable_shared_from_this<reply_deliveries> {
public:
    explicit reply_deliveries(events_loop& _events_loop) : m_events_loop(_events_loop) {}

    void push(std::weak_ptr<command_handle> _handle, reply _reply) {
        m_replies.emplace_back(std::move(_handle), std::move(_reply));
    }
    // Posts the delivery of what was pushed, unless one is already on its way.
    void flush();

private:
    void deliver_all();

    events_loop& m_events_loop;
    std::deque<std::pair<std::weak_ptr<command_handle>, reply>> m_replies;
    bool m_posted = false;
};

}  // namespace kelm::libs::core::redis
