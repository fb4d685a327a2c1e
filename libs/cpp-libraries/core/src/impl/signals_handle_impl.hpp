#pragma once

#include <core/events_loop.hpp>

#include <atomic>
#include <thread>

namespace kelm::libs::core {

// Waits for SIGINT or SIGTERM on a thread of its own, with a private loop, and stops
// the watched loop when one arrives; only the first signal is handled.
class signals_handle_impl final : public events_loop::signals_handle {
public:
    signals_handle_impl(core& _core, events_loop& _main_events_loop,
                        const component_logger& _logger);
    ~signals_handle_impl() override;

    bool signal_is_received() const override;

private:
    void on_signal(bool _cancelled);

    events_loop::ptr m_thread_events_loop;
    events_loop& m_main_events_loop;
    const component_logger& m_logger;
    std::atomic<bool> m_signal_is_received{false};
    std::thread m_thread;
};

}  // namespace kelm::libs::core
