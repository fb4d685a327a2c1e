#include "events_loop_impl.hpp"

#include "message_stream_zmq.hpp"
#include "message_stream_zmq_raw.hpp"
#include "parts.hpp"
#include "signals_handle_impl.hpp"
#include "tcp/manager_impl.hpp"
#include "timers_manager_impl.hpp"
#include "udp/socket_impl.hpp"
#include "zmq/manager_impl.hpp"

#include <core/exception.hpp>
#include <core/logger.hpp>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <chrono>

namespace kelm::libs::core {

namespace {

constexpr std::chrono::seconds drain_limit{10};

[[noreturn]] void throw_part_missing(const char* _facility, const source_location& _location) {
    throw exception(std::string("this program is linked without the ") + _facility +
                        " (it links kelm::libs::core_base; kelm::libs::core, or the kelm-core "
                        "pkg-config module, brings it)",
                    _location);
}

class work_impl final : public events_loop::work {
public:
    explicit work_impl(boost::asio::io_context& _io_context)
        : m_guard(_io_context.get_executor()) {}

private:
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_guard;
};

}  // namespace

events_loop_impl::events_loop_impl(core& _core, const component_logger& _logger)
    : m_core(_core),
      m_logger(_logger),
      m_timers(std::make_unique<timers_manager_impl>(*this, m_logger)),
      m_tcp(std::make_unique<tcp::manager_impl>(m_io_context, m_logger)),
      m_zmq(std::make_unique<zmq::manager_impl>(m_io_context, m_logger)) {}

events_loop_impl::~events_loop_impl() {
    m_io_context.restart();
    const auto deadline = std::chrono::steady_clock::now() + drain_limit;
    for (;;) {
        try {
            m_io_context.run_until(deadline);
            return;
        } catch (...) {
            // Nothing above a destructor could handle it; keep draining.
            m_logger.log_exception(KELM_SOURCE_LOCATION());
        }
    }
}

void events_loop_impl::run() {
    m_io_context.run();
}

void events_loop_impl::run_catch_exceptions(const source_location& _location) {
    for (;;) {
        try {
            run();
            return;
        } catch (...) {
            m_logger.log_exception(_location);
        }
    }
}

void events_loop_impl::stop() {
    m_io_context.stop();
}

bool events_loop_impl::is_stopped() const {
    return m_io_context.stopped();
}

events_loop::signals_handle::ptr events_loop_impl::stop_on_signals() {
    return std::make_unique<signals_handle_impl>(m_core, *this, m_logger);
}

timers_manager& events_loop_impl::get_timers() {
    return *m_timers;
}

timer::ptr events_loop_impl::create_timer(timer::time_point _deadline, const std::string& _name,
                                          timer::callback _callback,
                                          const source_location& _location) {
    return m_timers->create_timer(_deadline, _name, std::move(_callback), _location);
}

periodic_timer::ptr events_loop_impl::create_periodic_timer(std::chrono::nanoseconds _period,
                                                            const std::string& _name,
                                                            timer::callback _callback,
                                                            const source_location& _location) {
    return m_timers->create_periodic_timer(_period, _name, std::move(_callback), _location);
}

periodic_timer::ptr events_loop_impl::create_periodic_timer(std::chrono::nanoseconds _period,
                                                            periodic_timer::execute_now _tag,
                                                            const std::string& _name,
                                                            timer::callback _callback,
                                                            const source_location& _location) {
    return m_timers->create_periodic_timer(_period, _tag, _name, std::move(_callback), _location);
}

http::client::ptr events_loop_impl::create_http_client(const std::string& _address,
                                                       std::chrono::seconds _timeout) {
    return create_http_client(_address, _timeout, {}, 10);
}

http::client::ptr events_loop_impl::create_http_client(
    const std::string& _address, std::chrono::seconds _timeout,
    const std::vector<http::method>& _disabled_methods, int _num_threads) {
    if (!parts::create_http_client) {
        throw_part_missing("HTTP client", KELM_SOURCE_LOCATION());
    }
    return parts::create_http_client(*this, m_logger, _address, _timeout, _disabled_methods,
                                     _num_threads);
}

udp::socket::ptr events_loop_impl::create_udp_socket(ip_protocol _protocol, int _port) {
    return std::make_unique<udp::socket_impl>(get_io_context(), m_logger, _protocol, _port);
}

udp::socket::ptr events_loop_impl::create_udp_socket(const std::string& _address, int _port) {
    return std::make_unique<udp::socket_impl>(get_io_context(), m_logger, _address, _port);
}

tcp::manager& events_loop_impl::get_tcp() {
    return *m_tcp;
}

std::shared_ptr<async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>>
events_loop_impl::create_redis_context(boost::string_view _ip, int _port, int _db) {
    if (!parts::create_redis_context) {
        throw_part_missing("Redis client", KELM_SOURCE_LOCATION());
    }
    return parts::create_redis_context(*this, m_logger, _ip, _port, _db);
}

message_stream::ptr events_loop_impl::create_zmq_message_stream(const std::string& _address) {
    return create_zmq_message_stream(_address, nullptr);
}

message_stream::ptr events_loop_impl::create_zmq_raw_message_stream(const std::string& _address) {
    return create_zmq_raw_message_stream(_address, nullptr);
}

message_stream::ptr events_loop_impl::create_zmq_message_stream(
    const std::string& _address, const message_stream::socket_setup& _setup) {
    return std::make_unique<message_stream_zmq>(get_io_context(), m_logger, _address, _setup);
}

message_stream::ptr events_loop_impl::create_zmq_raw_message_stream(
    const std::string& _address, const message_stream::socket_setup& _setup) {
    return std::make_unique<message_stream_zmq_raw>(get_io_context(), m_logger, _address, _setup);
}

zmq::manager& events_loop_impl::get_zmq() {
    return *m_zmq;
}

void events_loop_impl::post(std::function<void()> _handler, const source_location&) {
    boost::asio::post(m_io_context, std::move(_handler));
}

events_loop::work::ptr events_loop_impl::create_work() {
    return std::make_unique<work_impl>(m_io_context);
}

boost::asio::io_context& events_loop_impl::get_io_context() {
    return m_io_context;
}

const boost::asio::io_context& events_loop_impl::get_io_context() const {
    return m_io_context;
}

}  // namespace kelm::libs::core
