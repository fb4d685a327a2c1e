#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/periodic_timer.hpp>
#include <core/timer.hpp>
#include <core/timers_manager.hpp>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace core = kelm::libs::core;
using namespace std::chrono_literals;
using time_point = core::timer::time_point;

namespace {

class Timers : public ::testing::Test {
protected:
    void SetUp() override { test_support::clear_syslog_lines(); }

    time_point now() const { return m_loop->get_timers().current_time_point(); }

    core::timer::ptr make_timer(time_point _deadline, core::timer::callback _callback) {
        return m_loop->create_timer(_deadline, "test", std::move(_callback),
                                    KELM_SOURCE_LOCATION());
    }
    core::timer::ptr make_timer(time_point _deadline) { return make_timer(_deadline, record()); }

    core::periodic_timer::ptr make_periodic(std::chrono::nanoseconds _period, bool _execute_now,
                                            core::timer::callback _callback) {
        if (_execute_now) {
            return m_loop->create_periodic_timer(_period, core::periodic_timer::execute_now{},
                                                 "test", std::move(_callback),
                                                 KELM_SOURCE_LOCATION());
        }
        return m_loop->create_periodic_timer(_period, "test", std::move(_callback),
                                             KELM_SOURCE_LOCATION());
    }

    // Records the deadlines; stops the periodic timer m_periodic after _limit ticks.
    core::timer::callback record(std::size_t _limit = 0) {
        return [this, _limit](time_point _deadline) {
            m_fired.push_back(_deadline);
            if (m_fired.size() == _limit) {
                m_periodic->stop();
            }
        };
    }

    // Runs the loop until it runs out of work; false when it still had work after a
    // few seconds.
    bool drain() {
        auto& io_context = m_loop->get_io_context();
        kelm::test::run_until(io_context, [] { return false; });
        return io_context.stopped();
    }

    core::logger m_logger{"timers-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    std::vector<time_point> m_fired;
    core::periodic_timer::ptr m_periodic;
};

// Deadlines d, d + k1 * p, d + k2 * p, ... with 0 < k1 < k2 < ...
void expect_on_grid(const std::vector<time_point>& _deadlines, std::chrono::nanoseconds _period) {
    for (std::size_t i = 1; i < _deadlines.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GT(_deadlines[i], _deadlines[i - 1]);
        EXPECT_EQ((_deadlines[i] - _deadlines[0]) % _period, 0ns);
    }
}

}  // namespace

TEST_F(Timers, DelayZeroAndPastDeadlineFireOnceWithTheRequestedDeadline) {
    const auto before = now();
    const auto by_delay =
        m_loop->get_timers().create_timer(0ns, "zero", record(), KELM_SOURCE_LOCATION());
    const auto after = now();
    const auto in_the_past = make_timer(before - 1s);
    EXPECT_TRUE(by_delay->is_waiting());
    EXPECT_TRUE(drain());
    ASSERT_EQ(m_fired.size(), 2u);
    EXPECT_EQ(m_fired[0], before - 1s);
    EXPECT_GE(m_fired[1], before);
    EXPECT_LE(m_fired[1], after);
    EXPECT_FALSE(by_delay->is_waiting());
    EXPECT_FALSE(in_the_past->is_waiting());
}

TEST_F(Timers, ResetWhileWaitingFiresOnlyForTheNewDeadline) {
    const auto base = now();
    const struct {
        time_point first;
        time_point second;
    } rows[] = {{base + 1h, base + 2ms}, {base + 1ms, base + 4ms}, {base + 3ms, base + 3ms}};
    for (const auto& row : rows) {
        SCOPED_TRACE((row.second - base).count());
        m_fired.clear();
        const auto timer = make_timer(row.first);
        timer->reset(row.second);
        EXPECT_TRUE(drain());
        EXPECT_EQ(m_fired, std::vector<time_point>{row.second});
    }
}

TEST_F(Timers, IsWaitingStaysTrueAfterTheReplacedWaitCompletes) {
    const auto timer = make_timer(now() + 1h);
    timer->reset(now() + 2h);
    // Runs the cancelled completion of the first wait.
    EXPECT_EQ(m_loop->get_io_context().poll(), 1u);
    EXPECT_TRUE(timer->is_waiting());
    timer->stop();
    EXPECT_FALSE(timer->is_waiting());
    EXPECT_TRUE(drain());
    EXPECT_TRUE(m_fired.empty());
    EXPECT_TRUE(test_support::syslog_lines().empty());
}

// The first timer's callback acts on the second while the second's completion, its
// deadline passed as well, is already queued.
TEST_F(Timers, ResetOrStopAfterTheWaitCompletedSilencesTheQueuedCompletion) {
    const struct {
        const char* action;
        std::chrono::nanoseconds shift;
        bool fires;
    } rows[] = {{"reset to the same deadline", 0ns, true},
                {"reset to a later deadline", 2ms, true},
                {"stop", 0ns, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.action);
        m_fired.clear();
        const auto deadline = now() - 1ms;
        const auto second = make_timer(deadline);
        bool waiting_after_action = false;
        const auto first = make_timer(deadline - 1ms, [&](time_point) {
            if (row.fires) {
                second->reset(deadline + row.shift);
            } else {
                second->stop();
            }
            waiting_after_action = second->is_waiting();
        });
        EXPECT_TRUE(drain());
        EXPECT_EQ(waiting_after_action, row.fires);
        EXPECT_EQ(m_fired, row.fires ? std::vector<time_point>{deadline + row.shift}
                                     : std::vector<time_point>{});
    }
}

TEST_F(Timers, ResetInsideTheCallbackRearms) {
    const auto deadline = now();
    core::timer::ptr timer;
    bool waiting_after_reset = false;
    timer = make_timer(deadline, [&](time_point _deadline) {
        m_fired.push_back(_deadline);
        if (m_fired.size() == 1) {
            timer->reset(_deadline + 1ms);
            waiting_after_reset = timer->is_waiting();
        }
    });
    EXPECT_TRUE(drain());
    EXPECT_TRUE(waiting_after_reset);
    EXPECT_EQ(m_fired, (std::vector<time_point>{deadline, deadline + 1ms}));
}

TEST_F(Timers, DestroyedTimersStaySilent) {
    auto early = make_timer(now() + 1ms);
    early.reset();
    core::timer::ptr self_destroying;
    self_destroying = make_timer(now(), [&](time_point _deadline) {
        self_destroying.reset();
        m_fired.push_back(_deadline);
    });
    EXPECT_TRUE(drain());
    EXPECT_EQ(m_fired.size(), 1u);
    EXPECT_FALSE(self_destroying);
    EXPECT_TRUE(test_support::syslog_lines().empty());
}

TEST_F(Timers, ThrowingCallbacksReachRun) {
    const auto timer = make_timer(now(), [](time_point) { throw std::runtime_error("once"); });
    EXPECT_THROW(m_loop->run(), std::runtime_error);
    EXPECT_FALSE(timer->is_waiting());

    // A periodic timer is re-armed before its function runs, so it goes on ticking.
    int ticks = 0;
    m_periodic = make_periodic(1ms, true, [&](time_point) {
        if (++ticks == 1) {
            throw std::runtime_error("first tick");
        }
        m_periodic->stop();
    });
    m_loop->get_io_context().restart();
    EXPECT_THROW(m_loop->run(), std::runtime_error);
    EXPECT_TRUE(drain());
    EXPECT_EQ(ticks, 2);
}

TEST_F(Timers, PeriodicTicksOnAGridFromCreation) {
    constexpr auto period = 3ms;
    for (const bool execute_now : {false, true}) {
        SCOPED_TRACE(execute_now);
        m_fired.clear();
        const auto before = now();
        m_periodic = make_periodic(period, execute_now, record(3));
        const auto after = now();
        EXPECT_TRUE(drain());
        ASSERT_EQ(m_fired.size(), 3u);
        const auto first_offset = execute_now ? 0ns : period;
        EXPECT_GE(m_fired[0], before + first_offset);
        EXPECT_LE(m_fired[0], after + first_offset);
        expect_on_grid(m_fired, period);
    }
}

TEST_F(Timers, PeriodicGridSkipsTheTicksASlowCallbackMissed) {
    constexpr auto period = 20ms;
    // Only a run in which the loop itself was punctual shows the exact grid.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_fired.clear();
        std::vector<time_point> started;
        m_periodic = make_periodic(period, false, [&](time_point _deadline) {
            started.push_back(now());
            m_fired.push_back(_deadline);
            if (m_fired.size() == 1) {
                std::this_thread::sleep_until(_deadline + period * 5 / 2);
            } else if (m_fired.size() == 3) {
                m_periodic->stop();
            }
        });
        EXPECT_TRUE(drain());
        ASSERT_EQ(m_fired.size(), 3u);
        const auto d = m_fired[0];
        if (started[0] >= d + period || started[1] >= d + 3 * period) {
            continue;
        }
        EXPECT_EQ(m_fired, (std::vector<time_point>{d, d + period, d + 3 * period}));
        return;
    }
    GTEST_SKIP() << "the loop was never punctual enough to show the grid";
}

TEST_F(Timers, PeriodicResetTakesTheNewPeriodFromNowAndRefusesNonPositiveOnes) {
    for (const std::chrono::nanoseconds period : {0ns, -2000000ns}) {
        SCOPED_TRACE(period.count());
        EXPECT_THROW(make_periodic(period, false, record()), core::exception);
        EXPECT_THROW(make_periodic(period, true, record()), core::exception);
    }
    m_periodic = make_periodic(1h, false, record(2));
    EXPECT_THROW(m_periodic->reset(0ns), core::exception);
    constexpr auto period = 3ms;
    const auto before = now();
    m_periodic->reset(period);
    const auto after = now();
    // The tick an hour away is gone: the loop runs out of work.
    EXPECT_TRUE(drain());
    ASSERT_EQ(m_fired.size(), 2u);
    EXPECT_GE(m_fired[0], before + period);
    EXPECT_LE(m_fired[0], after + period);
    expect_on_grid(m_fired, period);
}

TEST_F(Timers, PeriodicStopThenRestartAnchorsANewGrid) {
    constexpr auto period = 2ms;
    m_periodic = make_periodic(period, true, record(1));
    m_periodic->stop();
    EXPECT_TRUE(drain());
    EXPECT_TRUE(m_fired.empty());
    const auto before = now();
    m_periodic->restart();
    const auto after = now();
    EXPECT_TRUE(drain());
    ASSERT_EQ(m_fired.size(), 1u);
    EXPECT_GE(m_fired[0], before + period);
    EXPECT_LE(m_fired[0], after + period);
}

TEST_F(Timers, PeriodicExpireNowTicksAtOnceAndReanchorsRunningOrStopped) {
    constexpr auto period = 3ms;
    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped);
        m_fired.clear();
        m_periodic = make_periodic(period, false, record(2));
        if (stopped) {
            m_periodic->stop();
        }
        const auto before = now();
        m_periodic->expire_now();
        const auto after = now();
        EXPECT_TRUE(drain());
        ASSERT_EQ(m_fired.size(), 2u);
        EXPECT_GE(m_fired[0], before);
        EXPECT_LE(m_fired[0], after);
        expect_on_grid(m_fired, period);
    }
}

TEST_F(Timers, PeriodicDestroyedInItsOwnCallbackStops) {
    int ticks = 0;
    m_periodic = make_periodic(1ms, true, [&](time_point) {
        ++ticks;
        m_periodic.reset();
    });
    EXPECT_TRUE(drain());
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(m_periodic);
}
