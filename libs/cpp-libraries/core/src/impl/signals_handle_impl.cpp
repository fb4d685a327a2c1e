#include "signals_handle_impl.hpp"

#include <core/core.hpp>
#include <core/logger.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>

namespace kelm::libs::core {

signals_handle_impl::signals_handle_impl(core& _core, events_loop& _main_events_loop,
                                         const component_logger& _logger)
    : m_thread_events_loop(_core.create_events_loop("stop_on_signals")),
      m_main_events_loop(_main_events_loop),
      m_logger(_logger) {
    // Registered before returning, so a signal that arrives once the caller holds the
    // handle always stops the loop instead of meeting the default action.
    auto signals = std::make_unique<boost::asio::signal_set>(m_thread_events_loop->get_io_context(),
                                                             SIGINT, SIGTERM);
    signals->async_wait(
        [this](const boost::system::error_code& _error, int) { on_signal(bool(_error)); });

    m_thread = std::thread([this, signals = std::move(signals)]() mutable {
        try {
            m_thread_events_loop->run();
        } catch (...) {
            m_logger.log_exception(KELM_SOURCE_LOCATION());
        }
        // Gives both signals their default action back.
        signals.reset();
    });
}

signals_handle_impl::~signals_handle_impl() {
    m_thread_events_loop->stop();
    m_thread.join();
    m_thread_events_loop.reset();
}

bool signals_handle_impl::signal_is_received() const {
    return m_signal_is_received;
}

void signals_handle_impl::on_signal(bool _cancelled) {
    if (_cancelled) {
        return;
    }
    m_signal_is_received = true;
    m_main_events_loop.stop();
    m_thread_events_loop->stop();
}

}  // namespace kelm::libs::core
