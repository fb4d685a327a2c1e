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
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace core = kelm::libs::core;
using kelm::test::eventually;

namespace {

std::ptrdiff_t thread_count() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

class EventsLoop : public ::testing::Test {
protected:
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

TEST_F(EventsLoop, RunsHandlersInTheOrderPostedBeforeAndDuringRun) {
    std::vector<int> order;
    post([&] { order.push_back(1); });
    post([&] {
        order.push_back(2);
        post([&] { order.push_back(4); });
    });
    post([&] { order.push_back(3); });
    EXPECT_TRUE(order.empty());
    m_loop->run();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(EventsLoop, AnExceptionLeavesRunUnlessCaughtAndLogged) {
    int after = 0;
    post([] { throw std::runtime_error("first"); });
    post([&] { ++after; });
    EXPECT_THROW(m_loop->run(), std::runtime_error);
    EXPECT_EQ(after, 0);
    post([] { throw std::runtime_error("second"); });
    post([] { throw 7; });
    post([&] { ++after; });
    test_support::take_syslog_texts();
    m_loop->run_catch_exceptions(core::source_location(55, "", "caller"));
    EXPECT_EQ(after, 2);
    EXPECT_EQ(test_support::take_syslog_texts(),
              (std::vector<std::string>{":55 Caught exeption", "std::exception::what(): second",
                                        ":55 Caught exeption", "Unknown exception"}));
}

TEST_F(EventsLoop, WorkKeepsRunGoingUntilDestroyed) {
    auto work = m_loop->create_work();
    const auto run = in_background();
    // Still served after the queue ran empty once.
    EXPECT_TRUE(serves());
    EXPECT_TRUE(serves());
    EXPECT_TRUE(run.running());
    work.reset();
    EXPECT_TRUE(run.returns());
}

TEST_F(EventsLoop, StopEndsRunForGoodAndDestructionDrainsTheQueue) {
    auto work = m_loop->create_work();
    {
        const auto run = in_background();
        ASSERT_TRUE(serves());
        EXPECT_FALSE(m_loop->is_stopped());
        m_loop->stop();
        EXPECT_TRUE(run.returns());
        EXPECT_TRUE(m_loop->is_stopped());
    }
    bool ran = false;
    post([] { throw std::runtime_error("late"); });
    post([&] { ran = true; });
    m_loop->run();
    EXPECT_FALSE(ran);
    work.reset();
    test_support::take_syslog_texts();
    m_loop.reset();
    EXPECT_TRUE(ran);
    const auto lines = test_support::take_syslog_texts();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "std::exception::what(): late");
}

TEST_F(EventsLoop, SignalBeforeRunMakesTheFirstRunReturnAtOnce) {
    auto handle = m_loop->stop_on_signals();
    EXPECT_FALSE(handle->signal_is_received());
    auto work = m_loop->create_work();
    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_TRUE(eventually([&] { return handle->signal_is_received(); }));
    const auto run = in_background();
    EXPECT_TRUE(run.returns());
}

TEST_F(EventsLoop, SigtermStopsARunningLoop) {
    auto handle = m_loop->stop_on_signals();
    auto work = m_loop->create_work();
    const auto run = in_background();
    ASSERT_TRUE(serves());
    ::kill(::getpid(), SIGTERM);
    EXPECT_TRUE(run.returns());
    EXPECT_TRUE(handle->signal_is_received());
}

TEST_F(EventsLoop, SignalHandleLeavesNoThreadAndNoHandlerBehind) {
    const auto before = thread_count();
    {
        const auto handle = m_loop->stop_on_signals();
        EXPECT_EQ(thread_count(), before + 1);
    }
    EXPECT_EQ(thread_count(), before);
    EXPECT_FALSE(m_loop->is_stopped());

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto handle = m_loop->stop_on_signals();
            ::raise(SIGTERM);
            if (!eventually([&] { return handle->signal_is_received(); })) {
                std::_Exit(1);
            }
            handle.reset();
            ::raise(SIGTERM);
            std::_Exit(2);
        },
        ::testing::KilledBySignal(SIGTERM), "");
}
