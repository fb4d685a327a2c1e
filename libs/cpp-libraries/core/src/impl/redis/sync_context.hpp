#pragma once

#include "command_text.hpp"

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
// one thread at a time.
class sync_context {
public:
    // Connects and selects the database, waiting at most 1.5 s for each; throws on failure.
    sync_context(events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip,
                 int _port, int _db)
        : m_events_loop(_events_loop),
          m_logger(_logger),
          m_context_ptr(redisConnectWithTimeout(_ip.to_string().c_str(), _port, connect_timeout)) {
        if (!m_context_ptr) {
            throw exception("Connection error: can't allocate redis context",
                            KELM_SOURCE_LOCATION());
        }
        if (m_context_ptr->err != 0) {
            throw exception(std::string("Connection error: ") + m_context_ptr->errstr,
                            KELM_SOURCE_LOCATION());
        }
        // A server that accepts and never answers must not hold the opening (and the
        // loop's thread) forever; later commands wait as long as the server takes.
        redisSetTimeout(m_context_ptr.get(), connect_timeout);
        command_text select;
        select.add("SELECT");
        select.add(std::to_string(_db));
        run_command(select);
        redisSetTimeout(m_context_ptr.get(), timeval{0, 0});
    }

    // Sends one command (binary-safe words) and waits for its reply. An error reply,
    // no reply at all because the connection failed, or a command without words is
    // thrown.
    reply run_command(const command_text& _command) {
        // The server ignores an empty command and never answers it: waiting for its
        // reply would never end.
        if (_command.empty()) {
            throw exception("Command: <empty>, error: no words", KELM_SOURCE_LOCATION());
        }
        const auto text = _command.text();
        void* record = nullptr;
        if (redisAppendFormattedCommand(m_context_ptr.get(), text.data(), text.size()) !=
                REDIS_OK ||
            redisGetReply(m_context_ptr.get(), &record) != REDIS_OK || record == nullptr) {
            throw exception("Command: " + _command.name() + ", error: " + m_context_ptr->errstr,
                            KELM_SOURCE_LOCATION());
        }
        reply result(static_cast<redisReply*>(record));
        if (result.get_type() == reply_type::ERROR) {
            throw exception("Command: " + _command.name() + ", error: " + result.to_string(),
                            KELM_SOURCE_LOCATION());
        }
        return result;
    }

private:
    struct context_deleter {
        void operator()(redisContext* _context) const { redisFree(_context); }
    };

    static constexpr timeval connect_timeout{1, 500000};

    events_loop& m_events_loop;
    const component_logger& m_logger;
    std::unique_ptr<redisContext, context_deleter> m_context_ptr;
};

}  // namespace kelm::libs::core::redis
