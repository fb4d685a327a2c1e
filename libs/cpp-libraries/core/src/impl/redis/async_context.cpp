#include "async_context.hpp"

#include "sigpipe_guard.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>

#include <boost/asio/error.hpp>

#include <hiredis/sds.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace kelm::libs::core::redis {

namespace {

async_context& cast(void* _data) {
    return *static_cast<async_context*>(_data);
}

template <void (async_context::*Hook)()>
void hook(void* _data) {
    auto& self = cast(_data);
    self.from_hiredis([&self] { (self.*Hook)(); });
}

void connect_callback_wrapper(const redisAsyncContext* _context, int _status) {
    auto& self = cast(_context->ev.data);
    if (_status == REDIS_ERR) {
        // hiredis frees its context as soon as this returns.
        clear_context(self);
    }
    self.from_hiredis([&self, _status] { self.connect_callback(_status); });
}

void disconnect_callback_wrapper(const redisAsyncContext* _context, int _status) {
    auto& self = cast(_context->ev.data);
    self.from_hiredis([&self, _status] { self.disconnect_callback(_status); });
}

// The reply that a callback has just taken over. hiredis frees every reply as soon as its
// callback returns; that one it must leave alone. Callbacks and that release run on the
// loop's thread, one reply at a time.
thread_local const void* kept_reply = nullptr;

void free_reply_unless_kept(void* _reply) {
    if (_reply == kept_reply) {
        kept_reply = nullptr;
        return;
    }
    freeReplyObject(_reply);
}

void reply_function(redisAsyncContext* _context, void* _reply, void*) {
    auto& self = cast(_context->ev.data);
    self.from_hiredis([&self, _reply] { self.take_reply(static_cast<redisReply*>(_reply)); });
}

}  // namespace

void clear_context(async_context& _context) {
    _context.m_context = nullptr;
}

async_operation_handle<async_context::ptr>::ptr async_context::create(
    events_loop& _events_loop, const component_logger& _logger, std::string _ip, int _port,
    int _db) {
    using handle = async_operation_handle_impl<ptr>;
    auto result =
        handle::create(_events_loop, [&_events_loop, &_logger, _ip = std::move(_ip), _port, _db](
                                         handle::ptr _self, std::weak_ptr<handle> _weak_self) {
            _self.reset();
            auto context = std::make_shared<async_context>(_events_loop, _logger, _ip, _port, _db);
            // Until the connect result only this callback keeps the context alive.
            context->set_connect_callback([context, _weak_self](int _status) {
                if (const auto self = _weak_self.lock()) {
                    self->return_result(_status == REDIS_OK ? ptr(context) : ptr());
                }
            });
        });
    result->start();
    return result;
}

async_context::async_context(events_loop& _events_loop, const component_logger& _logger,
                             std::string _ip, int _port, int _db)
    : m_events_loop(_events_loop),
      m_logger(_logger),
      m_context(redisAsyncConnect(_ip.c_str(), _port)),
      m_socket(_events_loop.get_io_context()),
      m_connect_timer(_events_loop.get_io_context()),
      m_db(_db),
      m_context_is_alive(std::make_shared<bool>(false)),
      m_deliveries(std::make_shared<reply_deliveries>(_events_loop)) {
    std::string reason;
    if (m_context != nullptr && m_context->err != 0) {
        reason = m_context->errstr;
    } else if (m_context != nullptr) {
        boost::system::error_code error;
        const int descriptor = ::dup(m_context->c.fd);
        if (descriptor < 0) {
            error.assign(errno, boost::system::system_category());
        } else {
            m_socket.assign(boost::asio::ip::tcp::v4(), descriptor, error);
            if (error) {
                ::close(descriptor);
            }
        }
        if (!error) {
            m_reply_functions = *m_context->c.reader->fn;
            m_reply_functions.freeObject = free_reply_unless_kept;
            m_context->c.reader->fn = &m_reply_functions;
            m_context->ev.data = this;
            m_context->ev.addRead = hook<&async_context::add_read>;
            m_context->ev.delRead = hook<&async_context::del_read>;
            m_context->ev.addWrite = hook<&async_context::add_write>;
            m_context->ev.delWrite = hook<&async_context::del_write>;
            m_context->ev.cleanup = hook<&async_context::cleanup>;
            redisAsyncSetDisconnectCallback(m_context, disconnect_callback_wrapper);
            // Asks for the first write wait, which detects the connection, so the hooks
            // must be in place before.
            redisAsyncSetConnectCallback(m_context, connect_callback_wrapper);
            *m_context_is_alive = true;
            start_connect_timer();
            return;
        }
        reason = error.message();
    }
    if (m_context != nullptr) {
        redisAsyncFree(m_context);
    }
    throw exception("Cannot open connection to the redis server: " + reason,
                    KELM_SOURCE_LOCATION());
}

async_context::~async_context() {
    // Free rather than disconnect: a disconnect waits for the pending replies, which
    // nobody would read any more, and so would keep hiredis's context forever.
    if (auto* const context = std::exchange(m_context, nullptr)) {
        redisAsyncFree(context);
    }
    *m_context_is_alive = false;
    answer_unsent();
    m_connect_callback = nullptr;
    boost::system::error_code ignored;
    m_socket.close(ignored);
    m_deliveries->flush();
}

void async_context::set_connect_callback(std::function<void(int)> _callback) {
    m_connect_callback = std::move(_callback);
}

void async_context::send(std::shared_ptr<command_handle> _handle) {
    if (m_context != nullptr && (!m_unsent.empty() || unwritten_bytes() >= feed_bytes)) {
        // hiredis already waits to write, and takes more after each write.
        m_unsent.push_back(std::move(_handle));
        return;
    }
    const auto name = _handle->name();
    if (m_context == nullptr || !hand_over(_handle->text(), _handle)) {
        throw exception("Command: " + name.to_string() + ", error", KELM_SOURCE_LOCATION());
    }
}

bool async_context::hand_over(boost::string_view _text, std::weak_ptr<command_handle> _handle) {
    // In place before hiredis has the command: a reply never comes back before it
    // returns, but this must not fail after it has taken the command.
    m_waiting.push_back(std::move(_handle));
    if (redisAsyncFormattedCommand(m_context, reply_function, nullptr, _text.data(),
                                   _text.size()) != REDIS_OK) {
        m_waiting.pop_back();
        return false;
    }
    return true;
}

// hiredis refuses commands only when it is closing the connection, and then the rest
// would not go out either.
void async_context::feed() {
    while (m_context != nullptr && !m_unsent.empty() && unwritten_bytes() < feed_bytes) {
        const auto handle = std::move(m_unsent.front());
        m_unsent.pop_front();
        if (!hand_over(handle->text(), handle)) {
            answer(handle, nullptr);
            answer_unsent();
        }
    }
}

std::size_t async_context::unwritten_bytes() const {
    return sdslen(m_context->c.obuf);
}

void async_context::answer_unsent() {
    while (!m_unsent.empty()) {
        answer(m_unsent.front(), nullptr);
        m_unsent.pop_front();
    }
}

// The reply record goes to the handle as hiredis built it, without a copy; commands that
// never got an answer get a NIL record of our own. Nobody waits for the reply of a
// handle that is gone, and hiredis frees it.
void async_context::take_reply(redisReply* _record) {
    if (m_waiting.empty()) {
        return;
    }
    auto handle = std::move(m_waiting.front());
    m_waiting.pop_front();
    answer(std::move(handle), _record);
}

void async_context::answer(std::weak_ptr<command_handle> _handle, redisReply* _record) {
    const auto handle = _handle.lock();
    if (!handle) {
        return;
    }
    handle->mark_complete();
    if (_record != nullptr) {
        kept_reply = _record;
    } else {
        _record = static_cast<redisReply*>(std::calloc(1, sizeof(redisReply)));
        if (_record == nullptr) {
            // As hiredis itself does when it runs out of memory: unwinding through its
            // frames is not an option.
            std::abort();
        }
        _record->type = REDIS_REPLY_NIL;
    }
    m_deliveries->push(std::move(_handle), reply(_record));
}

void async_context::add_read() {
    m_read_requested = true;
    operate();
}

void async_context::del_read() {
    m_read_requested = false;
}

void async_context::add_write() {
    m_write_requested = true;
    operate();
}

void async_context::del_write() {
    m_write_requested = false;
}

void async_context::cleanup() {}

void async_context::connect_callback(int _status) {
    m_connect_timer.cancel();
    if (_status == REDIS_OK) {
        command_text select;
        select.add("SELECT");
        select.add(std::to_string(m_db));
        hand_over(select.text(), {});
    }
    // Runs once; whatever it holds is released right after, also when it throws.
    const auto callback = std::exchange(m_connect_callback, nullptr);
    if (callback) {
        callback(_status);
    }
}

void async_context::disconnect_callback(int _status) {
    const std::string reason =
        m_context != nullptr && m_context->errstr != nullptr ? m_context->errstr : "";
    clear_context(*this);
    stop_watching();
    answer_unsent();
    // REDIS_OK is our own destructor freeing the connection.
    if (_status != REDIS_OK) {
        m_logger.warning("Connection to the redis server lost: %1%") % reason;
    }
}

void async_context::log_exception() const noexcept {
    // Nothing more can be done for a line that cannot even be written.
    try {
        m_logger.log_exception();
    } catch (...) {
    }
}

// hiredis itself has no time limit for connecting: a server whose handshake never
// completes would leave the connection, and whoever waits for it, pending for ever.
void async_context::start_connect_timer() {
    m_connect_timer.expires_after(connect_timeout);
    m_connect_timer.async_wait(
        [this, alive = m_context_is_alive](const boost::system::error_code& _error) {
            if (*alive && !_error) {
                connect_timed_out();
            }
        });
}

void async_context::connect_timed_out() {
    // A connect result already delivered in this turn of the loop stands.
    if (m_context == nullptr || (m_context->c.flags & REDIS_CONNECTED) != 0) {
        return;
    }
    // The connect callback may hold the last reference to this object.
    const auto keep_alive = shared_from_this();
    redisAsyncFree(std::exchange(m_context, nullptr));
    stop_watching();
    m_deliveries->flush();
    connect_callback(REDIS_ERR);
}

void async_context::operate() {
    if (m_context == nullptr) {
        return;
    }
    if (m_read_requested && !m_read_in_progress) {
        m_read_in_progress = true;
        m_socket.async_wait(
            boost::asio::ip::tcp::socket::wait_read,
            [this, alive = m_context_is_alive](const boost::system::error_code& _e) {
                if (*alive) {
                    handle_read(_e);
                }
            });
    }
    if (m_write_requested && !m_write_in_progress) {
        m_write_in_progress = true;
        m_socket.async_wait(
            boost::asio::ip::tcp::socket::wait_write,
            [this, alive = m_context_is_alive](const boost::system::error_code& _e) {
                if (*alive) {
                    handle_write(_e);
                }
            });
    }
}

void async_context::handle_read(const boost::system::error_code& _error) {
    m_read_in_progress = false;
    if (_error && _error != boost::asio::error::would_block) {
        return;
    }
    // hiredis may drop the last owner of this object (a failed connect's callback)
    // while it processes; keep the object until hiredis and this handler are done.
    const auto keep_alive = shared_from_this();
    if (!_error && m_context != nullptr) {
        redisAsyncHandleRead(m_context);
    }
    m_deliveries->flush();
    operate();
}

void async_context::handle_write(const boost::system::error_code& _error) {
    m_write_in_progress = false;
    if (_error && _error != boost::asio::error::would_block) {
        return;
    }
    const auto keep_alive = shared_from_this();
    if (!_error && m_context != nullptr) {
        write();
    }
    m_deliveries->flush();
    operate();
}

// While the socket takes all hiredis has, hiredis gets more right away; the last feed
// has it ask for a write wait again.
void async_context::write() {
    const sigpipe_guard guard;
    feed();
    for (int round = 1; round <= write_rounds; ++round) {
        redisAsyncHandleWrite(m_context);
        if (m_context == nullptr || m_unsent.empty() || unwritten_bytes() != 0) {
            return;
        }
        feed();
    }
}

void async_context::stop_watching() {
    m_read_requested = false;
    m_write_requested = false;
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

}  // namespace kelm::libs::core::redis
