#include "timer_impl.hpp"

#include <core/logger.hpp>
#include <core/source_location.hpp>

#include <boost/asio/error.hpp>

#include <utility>

namespace kelm::libs::core {

timer_impl::timer_impl(boost::asio::io_context& _io_context, time_point _deadline,
                       const std::string&, callback _callback, const component_logger& _logger,
                       const source_location&)
    : m_timer(_io_context),
      m_logger(_logger),
      m_data(std::make_shared<shared_data>(std::move(_callback))) {
    reset(_deadline);
}

bool timer_impl::is_waiting() const {
    return m_data->m_waiting;
}

void timer_impl::reset(time_point _deadline) {
    // Setting the expiry cancels the pending wait; its completion, and one that had
    // already been queued, now carry an outdated wait number and stay silent.
    m_timer.expires_at(_deadline);
    const std::uint64_t wait = ++m_data->m_wait;
    m_timer.async_wait([&logger = m_logger, data = std::weak_ptr<shared_data>(m_data), wait,
                        _deadline](const boost::system::error_code& _error) {
        on_wait_complete(logger, data, wait, _deadline, _error);
    });
    m_data->m_waiting = true;
}

void timer_impl::stop() {
    m_data->m_waiting = false;
    ++m_data->m_wait;
    m_timer.cancel();
}

void timer_impl::on_wait_complete(const component_logger& _logger,
                                  const std::weak_ptr<shared_data>& _data, std::uint64_t _wait,
                                  time_point _deadline, const boost::system::error_code& _error) {
    const auto data = _data.lock();
    const bool current = data && data->m_wait == _wait;
    if (current) {
        data->m_waiting = false;
    }
    if (_error) {
        if (_error != boost::asio::error::operation_aborted) {
            _logger.log_error(_error, KELM_SOURCE_LOCATION());
        }
        return;
    }
    if (current) {
        data->m_callback(_deadline);
    }
}

}  // namespace kelm::libs::core
