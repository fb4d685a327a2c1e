#pragma once

#include <core/exception.hpp>
#include <core/fwd.hpp>
#include <core/redis/reply.hpp>
#include <core/source_location.hpp>

#include <hiredis/hiredis.h>

#include <boost/utility/string_view.hpp>

#include <sys/time.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

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
        const std::string db = std::to_string(_db);
        std::vector<const char*> argv{"SELECT", db.c_str()};
        std::vector<std::size_t> argv_len{6, db.size()};
        run_command(argv, argv_len);
        redisSetTimeout(m_context_ptr.get(), timeval{0, 0});
    }

    // Sends one command (binary-safe words) and waits for its reply. An error reply,
    // or no reply at all because the connection failed, is thrown.
    reply run_command(std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len) {
        auto* const record = static_cast<redisReply*>(redisCommandArgv(
            m_context_ptr.get(), static_cast<int>(_argv.size()), _argv.data(), _argv_len.data()));
        const std::string name =
            _argv.empty() ? std::string() : std::string(_argv.front(), _argv_len.front());
        if (record == nullptr) {
            throw exception("Command: " + name + ", error: " + m_context_ptr->errstr,
                            KELM_SOURCE_LOCATION());
        }
        reply result(record);
        if (result.get_type() == reply_type::ERROR) {
            throw exception("Command: " + name + ", error: " + result.to_string(),
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
