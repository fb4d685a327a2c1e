#pragma once

#include "command_text.hpp"

#include <core/async_operation_handle.hpp>
#include <core/fwd.hpp>
#include <core/redis/reply.hpp>

#include <hiredis/async.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace kelm::libs::core::redis {

// The client's asynchronous connection: hiredis keeps the protocol state, and the
// loop watches a duplicate of the connection's descriptor and calls hiredis whenever
// it is readable or writable. Always owned through a shared pointer; used only on the
// loop's thread.
class async_context : public std::enable_shared_from_this<async_context> {
public:
    using ptr = std::shared_ptr<async_context>;

    // Starts connecting; the handle delivers the connected context, or an empty
    // pointer when the connection fails.
    static async_operation_handle<ptr>::ptr create(events_loop& _events_loop,
                                                   const component_logger& _logger, std::string _ip,
                                                   int _port, int _db);

    // Throws when hiredis cannot even start connecting.
    async_context(events_loop& _events_loop, const component_logger& _logger, std::string _ip,
                  int _port, int _db);
    async_context(const async_context&) = delete;
    async_context& operator=(const async_context&) = delete;
    // Answers the requests still pending with NIL replies.
    ~async_context();

    void set_connect_callback(std::function<void(int)> _callback);
    // Queues the command (its text is copied at once); the reply reaches the callback
    // on the loop's thread, NIL when the connection goes away first. Any callable taking
    // a reply will do: it is kept, as it is, in the request's one allocation.
    template <class Callback>
    void run_command(const command_text& _command, Callback&& _callback) {
        queue(_command,
              std::make_unique<pending<std::decay_t<Callback>>>(std::forward<Callback>(_callback)));
    }

    void add_read();
    void del_read();
    void add_write();
    void del_write();
    void cleanup();
    void connect_callback(int _status);
    void disconnect_callback(int _status);

    // Runs what hiredis calls back into: what it throws is logged here, since it must
    // not unwind through hiredis's C frames.
    template <class Function>
    void from_hiredis(Function&& _function) noexcept {
        try {
            _function();
        } catch (...) {
            log_exception();
        }
    }

    // What hiredis keeps for a queued command until its reply.
    class request {
    public:
        virtual ~request() = default;
        virtual void complete(reply _reply) = 0;
    };

private:
    template <class Callback>
    class pending final : public request {
    public:
        explicit pending(Callback&& _callback) : m_callback(std::move(_callback)) {}
        explicit pending(const Callback& _callback) : m_callback(_callback) {}
        void complete(reply _reply) override { m_callback(std::move(_reply)); }

    private:
        Callback m_callback;
    };

    friend void clear_context(async_context& _context);

    void queue(const command_text& _command, std::unique_ptr<request> _request);

    static constexpr std::chrono::milliseconds connect_timeout{1500};

    void log_exception() const noexcept;
    void start_connect_timer();
    void connect_timed_out();
    void operate();
    void handle_read(const boost::system::error_code& _error);
    void handle_write(const boost::system::error_code& _error);
    void stop_watching();

    events_loop& m_events_loop;
    const component_logger& m_logger;
    redisAsyncContext* m_context;
    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_connect_timer;
    int m_db;
    bool m_read_requested = false;
    bool m_write_requested = false;
    bool m_read_in_progress = false;
    bool m_write_in_progress = false;
    std::function<void(int)> m_connect_callback;
    std::shared_ptr<bool> m_context_is_alive;
    // hiredis's own reply functions, except that it does not free a reply that a
    // callback has taken over.
    redisReplyObjectFunctions m_reply_functions{};
};

// Forgets the hiredis context once hiredis has freed it.
void clear_context(async_context& _context);

}  // namespace kelm::libs::core::redis
