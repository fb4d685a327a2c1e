#pragma once

#include "command_text.hpp"
#include "sigpipe_guard.hpp"

#include <core/exception.hpp>
#include <core/fwd.hpp>
#include <core/redis/reply.hpp>
#include <core/source_location.hpp>

#include <hiredis/hiredis.h>

#include <boost/utility/string_view.hpp>

#include <sys/time.h>

#include <memory>
#include <string>

namespace kelm::libs::core::redis {

// The client's blocking connection, used by command::execute and context::scan on
// one thread at a time. It runs on the loop's thread, so no wait may last for ever:
// connecting and every reply are bounded by the time limit.
class sync_context {
public:
    // Connects and selects the database; throws on failure. Without a connection
    // (after a failed command), the next command connects again first.
    sync_context(events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip,
                 int _port, int _db)
        : m_events_loop(_events_loop),
          m_logger(_logger),
          m_ip(_ip.to_string()),
          m_port(_port),
          m_db(_db),
          m_context_ptr(open()) {}

    // Sends one command (binary-safe words) and waits for its reply. An error reply,
    // no reply within the time limit or at all because the connection failed, and a
    // command that the connection cannot serve are thrown.
    reply run_command(const command_text& _command) {
        check_sendable(_command, KELM_SOURCE_LOCATION());
        if (!m_context_ptr) {
            m_context_ptr = open();
        }
        return exchange(m_context_ptr, _command);
    }

private:
    struct context_deleter {
        void operator()(redisContext* _context) const { redisFree(_context); }
    };
    using context_ptr = std::unique_ptr<redisContext, context_deleter>;

    static constexpr timeval time_limit{1, 500000};

    context_ptr open() const {
        context_ptr result(redisConnectWithTimeout(m_ip.c_str(), m_port, time_limit));
        if (!result) {
            throw exception("Connection error: can't allocate redis context",
                            KELM_SOURCE_LOCATION());
        }
        if (result->err != 0 || redisSetTimeout(result.get(), time_limit) != REDIS_OK) {
            throw exception(std::string("Connection error: ") + result->errstr,
                            KELM_SOURCE_LOCATION());
        }
        command_text select;
        select.add("SELECT");
        select.add(std::to_string(m_db));
        exchange(result, select);
        return result;
    }

    // After a timeout or a failure the stream is out of step: a late reply to this
    // command may still arrive. The connection is dropped at once, which also frees
    // what the server keeps for it, and the next command opens a new one.
    static reply exchange(context_ptr& _context, const command_text& _command) {
        const auto text = _command.text();
        void* record = nullptr;
        const sigpipe_guard guard;
        if (redisAppendFormattedCommand(_context.get(), text.data(), text.size()) != REDIS_OK ||
            redisGetReply(_context.get(), &record) != REDIS_OK || record == nullptr) {
            const std::string reason = _context->errstr;
            _context.reset();
            throw exception("Command: " + _command.name() + ", error: " + reason,
                            KELM_SOURCE_LOCATION());
        }
        reply result(static_cast<redisReply*>(record));
        if (result.get_type() == reply_type::ERROR) {
            throw exception("Command: " + _command.name() + ", error: " + result.to_string(),
                            KELM_SOURCE_LOCATION());
        }
        return result;
    }

    events_loop& m_events_loop;
    const component_logger& m_logger;
    const std::string m_ip;
    const int m_port;
    const int m_db;
    context_ptr m_context_ptr;
};

}  // namespace kelm::libs::core::redis
