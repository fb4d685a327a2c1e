#include "events_loop_impl.hpp"

#include "message_stream_zmq.hpp"
#include "message_stream_zmq_raw.hpp"
#include "signals_handle_impl.hpp"
#include "zmq/manager_impl.hpp"

#include <core/logger.hpp>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <chrono>

namespace kelm::libs::core {

namespace {

constexpr std::chrono::seconds drain_limit{10};

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

message_stream::ptr events_loop_impl::create_zmq_message_stream(const std::string& _address) {
    return std::make_unique<message_stream_zmq>(get_io_context(), m_logger, _address);
}

message_stream::ptr events_loop_impl::create_zmq_raw_message_stream(const std::string& _address) {
    return std::make_unique<message_stream_zmq_raw>(get_io_context(), m_logger, _address);
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
