#pragma once

#include "command_handle.hpp"

#include <core/async_operation_handle.hpp>
#include <core/fwd.hpp>
#include <core/redis/reply.hpp>

#include <hiredis/async.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>

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
    // Queues the handle's command. The reply reaches the handle on the loop's thread, in
    // the order the commands were queued, NIL when the connection goes away first; a
    // handle its caller has dropped by then gets nothing, but its command is still sent.
    // Throws when there is no connection to queue on.
    void send(std::shared_ptr<command_handle> _handle);

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

    // Where a reply hiredis read goes: to the handle of the oldest command waiting,
    // through the deliveries of this turn. The record may be empty (no answer came).
    void take_reply(redisReply* _record);

private:
    friend void clear_context(async_context& _context);

    static constexpr std::chrono::milliseconds connect_timeout{1500};
    static constexpr std::size_t feed_bytes = 256 * 1024;
    // Writes one handler makes while the socket keeps taking all it is given.
    static constexpr int write_rounds = 16;

    void log_exception() const noexcept;
    void start_connect_timer();
    void connect_timed_out();
    void operate();
    void handle_read(const boost::system::error_code& _error);
    void handle_write(const boost::system::error_code& _error);
    void stop_watching();
    // Hands the command to hiredis, which copies its text; false when hiredis refuses it.
    bool hand_over(boost::string_view _text, std::weak_ptr<command_handle> _handle);
    // Hands over queued commands until hiredis holds a socket's worth of bytes.
    void feed();
    void write();
    std::size_t unwritten_bytes() const;
    // What the connection owes the commands it will never send: NIL replies.
    void answer_unsent();
    void answer(std::weak_ptr<command_handle> _handle, redisReply* _record);

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
    // The handles of the commands sent, oldest first: hiredis answers them in that order.
    std::deque<std::weak_ptr<command_handle>> m_waiting;
    // The commands not yet handed to hiredis, oldest first. hiredis copies every command
    // into one output buffer until it is written: given a burst at once it would hold
    // each command twice, there and in its handle. So it gets what the socket can take
    // next, and the handles, kept until then, hold the rest.
    std::deque<std::shared_ptr<command_handle>> m_unsent;
    std::shared_ptr<reply_deliveries> m_deliveries;
    // hiredis's own reply functions, except that it does not free a reply that a
    // callback has taken over.
    redisReplyObjectFunctions m_reply_functions{};
};

// Forgets the hiredis context once hiredis has freed it.
void clear_context(async_context& _context);

}  // namespace kelm::libs::core::redis
