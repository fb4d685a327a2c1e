#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace core = kelm::libs::core;
using kelm::test::eventually;

namespace {

std::ptrdiff_t thread_count() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

class EventsLoop : public ::testing::Test {
protected:
    EventsLoop() { test_support::clear_syslog_lines(); }

    void post(std::function<void()> _handler) {
        m_loop->post(std::move(_handler), KELM_SOURCE_LOCATION());
    }

    // Whether a handler posted now runs.
    bool serves() {
        auto served = std::make_shared<std::atomic<bool>>(false);
        post([served] { *served = true; });
        return eventually([&] { return served->load(); });
    }

    // Runs the loop on a thread of its own.
    kelm::test::background in_background() {
        return {[this] { m_loop->run(); }, [this] { m_loop->stop(); }};
    }

    core::logger m_logger{"loop-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
};

}  // namespace

// Handlers posted during run queue up behind those posted before.
TEST_F(EventsLoop, RunsHandlersInOrderAndAnExceptionLeavesRunUnlessCaughtAndLogged) {
    std::vector<int> order;
    post([&] { order.push_back(1); });
    post([&] {
        order.push_back(2);
        post([&] { order.push_back(5); });
    });
    post([&] { order.push_back(3); });
    post([] { throw std::runtime_error("first"); });
    post([&] { order.push_back(4); });
    EXPECT_THROW(m_loop->run(), std::runtime_error);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    post([] { throw std::runtime_error("second"); });
    post([] { throw 7; });
    m_loop->run_catch_exceptions(core::source_location(55, "", "caller"));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(test_support::take_syslog_texts(),
              (std::vector<std::string>{":55 Caught exeption", "std::exception::what(): second",
                                        ":55 Caught exeption", "Unknown exception"}));
}

// Once run returned, the loop stays stopped; its destruction still runs what is left.
TEST_F(EventsLoop, WorkKeepsRunGoingUntilDestroyedAndDestructionDrainsTheQueue) {
    auto work = m_loop->create_work();
    const auto run = in_background();
    // Still served after the queue ran empty once.
    EXPECT_TRUE(serves());
    EXPECT_TRUE(serves());
    work.reset();
    EXPECT_TRUE(run.returns());
    EXPECT_TRUE(m_loop->is_stopped());
    bool ran = false;
    post([] { throw std::runtime_error("late"); });
    post([&] { ran = true; });
    m_loop->run();
    EXPECT_FALSE(ran);
    m_loop.reset();
    EXPECT_TRUE(ran);
    EXPECT_EQ(test_support::take_syslog_texts().at(1), "std::exception::what(): late");
}

// A signal that arrives once stop_on_signals returned stops the loop, also before its run.
// Once a handle took a signal, it still must not swallow those after its end.
TEST_F(EventsLoop, SignalsStopTheLoopWhileAHandleLivesAndThenGetTheirDefaultActionBack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto handle = m_loop->stop_on_signals();
            ::raise(SIGTERM);
            eventually([&] { return handle->signal_is_received(); });
            handle.reset();
            ::raise(SIGTERM);
            std::_Exit(2);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    const auto threads = thread_count();
    {
        const auto handle = m_loop->stop_on_signals();
        EXPECT_EQ(thread_count(), threads + 1);
        const auto work = m_loop->create_work();
        ASSERT_EQ(::raise(SIGINT), 0);
        ASSERT_TRUE(eventually([&] { return handle->signal_is_received(); }));
        EXPECT_TRUE(in_background().returns());
    }
    EXPECT_EQ(thread_count(), threads);
    m_loop = m_core->create_events_loop("second");
    const auto handle = m_loop->stop_on_signals();
    const auto work = m_loop->create_work();
    const auto run = in_background();
    ASSERT_TRUE(serves());
    ::kill(::getpid(), SIGTERM);
    EXPECT_TRUE(run.returns());
}
