#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace kelm::test {

// Every wait in the tests is bounded by this, so broken code fails in seconds
// instead of running into the CTest timeout.
inline constexpr std::chrono::seconds patience{5};

// Polls the condition until it holds or the time is up; answers its last value.
template <class Condition>
bool eventually(Condition&& _condition, std::chrono::milliseconds _limit = patience) {
    const auto deadline = std::chrono::steady_clock::now() + _limit;
    while (!_condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs the io_context's handlers on this thread until the condition holds, the
// context runs out of work or is stopped, or the time is up; answers the condition.
template <class Condition>
bool run_until(boost::asio::io_context& _io_context, Condition&& _condition,
               std::chrono::milliseconds _limit = patience) {
    const auto deadline = std::chrono::steady_clock::now() + _limit;
    _io_context.restart();
    while (!_condition() && std::chrono::steady_clock::now() < deadline) {
        if (_io_context.run_one_for(std::chrono::milliseconds(50)) == 0 && _io_context.stopped()) {
            break;
        }
    }
    return _condition();
}

// Runs a function, such as an events loop's run, on a thread of its own. If it has not returned
// by the end, `_stop` is called, so the thread can always be joined.
class background {
public:
    background(std::function<void()> _run, std::function<void()> _stop)
        : m_stop(std::move(_stop)), m_thread([this, run = std::move(_run)] {
              run();
              m_returned = true;
          }) {}
    ~background() {
        if (!m_returned) {
            m_stop();
        }
        m_thread.join();
    }

    bool returns() const {
        return eventually([this] { return m_returned.load(); });
    }

private:
    std::function<void()> m_stop;
    std::atomic<bool> m_returned{false};
    std::thread m_thread;
};

}  // namespace kelm::test
