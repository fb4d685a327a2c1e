#include "syslog_capture.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace core = kelm::libs::core;

namespace {

constexpr auto patience = std::chrono::seconds(20);

class EventsLoop : public ::testing::Test {
protected:
    void post(std::function<void()> _handler) {
        m_loop->post(std::move(_handler), KELM_SOURCE_LOCATION());
    }

    // Runs the loop on a thread of its own; the future is ready when run() returned.
    std::future<void> run_in_background() {
        return std::async(std::launch::async, [this] { m_loop->run(); });
    }

    core::logger m_logger{"loop-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
};

}  // namespace

TEST_F(EventsLoop, RunsPostedHandlersInOrderPostedBeforeAndDuringRun) {
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

TEST_F(EventsLoop, ExceptionLeavesRunAndTheNextRunGoesOn) {
    std::vector<int> order;
    post([&] { order.push_back(1); });
    post([] { throw std::runtime_error("handler failed"); });
    post([&] { order.push_back(3); });
    EXPECT_THROW(m_loop->run(), std::runtime_error);
    EXPECT_EQ(order, (std::vector<int>{1}));
    m_loop->run();
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
}

TEST_F(EventsLoop, RunCatchExceptionsLogsEachOneAndKeepsRunning) {
    int after = 0;
    post([] { throw std::runtime_error("first"); });
    post([&] { ++after; });
    post([] { throw 7; });
    post([&] { ++after; });
    test_support::clear_syslog_lines();
    const core::source_location where(55, "", "caller");
    m_loop->run_catch_exceptions(where);
    EXPECT_EQ(after, 2);
    const auto lines = test_support::syslog_lines();
    std::vector<std::string> texts;
    for (const auto& line : lines) {
        texts.push_back(line.text);
    }
    EXPECT_EQ(texts,
              (std::vector<std::string>{":55 Caught exeption", "std::exception::what(): first",
                                        ":55 Caught exeption", "Unknown exception"}));
}

TEST_F(EventsLoop, WorkKeepsRunGoingUntilDestroyed) {
    auto work = m_loop->create_work();
    auto finished = run_in_background();
    // A second round of posted work is still served after the queue ran empty once.
    for (int round = 0; round < 2; ++round) {
        std::promise<void> served;
        post([&] { served.set_value(); });
        ASSERT_EQ(served.get_future().wait_for(patience), std::future_status::ready);
    }
    EXPECT_EQ(finished.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    work.reset();
    ASSERT_EQ(finished.wait_for(patience), std::future_status::ready);
}

TEST_F(EventsLoop, StopFromAnotherThreadEndsRun) {
    auto work = m_loop->create_work();
    EXPECT_FALSE(m_loop->is_stopped());
    std::promise<void> running;
    post([&] { running.set_value(); });
    auto finished = run_in_background();
    ASSERT_EQ(running.get_future().wait_for(patience), std::future_status::ready);
    m_loop->stop();
    ASSERT_EQ(finished.wait_for(patience), std::future_status::ready);
    EXPECT_TRUE(m_loop->is_stopped());
    // A stopped loop stays stopped: run returns at once, the handler waits.
    bool ran = false;
    post([&] { ran = true; });
    m_loop->run();
    EXPECT_FALSE(ran);
    work.reset();
    m_loop.reset();
    EXPECT_TRUE(ran);
}

TEST_F(EventsLoop, DestructionDrainsWhatIsQueued) {
    bool ran = false;
    m_loop->stop();
    post([&] { ran = true; });
    m_loop->run();
    EXPECT_FALSE(ran);
    m_loop.reset();
    EXPECT_TRUE(ran);
}

TEST_F(EventsLoop, DrainSurvivesAThrowingHandler) {
    bool ran = false;
    post([] { throw std::runtime_error("late"); });
    post([&] { ran = true; });
    test_support::clear_syslog_lines();
    m_loop.reset();
    EXPECT_TRUE(ran);
    const auto lines = test_support::syslog_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "std::exception::what(): late");
}
