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
#include <map>
#include <stdexcept>
#include <string>
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

// Timers with delay 0, past deadlines, reset, stopped and destroyed, some of them
// from inside callbacks, all on one loop. The callback of "past" acts on the timers
// "due ..." while their completions, their deadlines passed too, are already queued.
TEST_F(Timers, OneShotTimersFireOnceForTheirLatestDeadline) {
    std::map<std::string, std::vector<time_point>> fired;
    std::map<std::string, core::timer::ptr> timers;
    const auto arm = [&](const std::string& _name, time_point _deadline,
                         std::function<void(core::timer&)> _then = {}) -> core::timer& {
        timers[_name] = make_timer(_deadline, [&fired, &timers, _name, _then](time_point _fired) {
            fired[_name].push_back(_fired);
            if (_then) {
                _then(*timers[_name]);
            }
        });
        return *timers[_name];
    };
    const auto t0 = now();
    const auto by_delay = m_loop->get_timers().create_timer(0ns, "", record(), {});
    const auto after = now();
    std::vector<bool> waiting;
    arm("past", t0 - 1s, [&](core::timer&) {
        timers["due, reset to the same"]->reset(t0 - 1ms);
        timers["due, reset later"]->reset(t0 + 5ms);
        timers["due, stopped"]->stop();
        for (const auto* name : {"due, reset to the same", "due, reset later", "due, stopped"}) {
            waiting.push_back(timers[name]->is_waiting());
        }
    });
    for (const auto* name : {"due, reset to the same", "due, reset later", "due, stopped"}) {
        arm(name, t0 - 1ms);
    }
    arm("reset earlier", t0 + 1h).reset(t0 + 2ms);
    arm("reset later", t0 + 1ms).reset(t0 + 4ms);
    arm("reset to the same", t0 + 3ms).reset(t0 + 3ms);
    arm("reset far", t0 + 1h).reset(t0 + 2h);
    arm("stopped", t0 + 1ms).stop();
    arm("destroyed", t0 + 1ms);
    timers.erase("destroyed");
    arm("destroyed inside", t0, [&](core::timer&) { timers.erase("destroyed inside"); });
    arm("reset inside", t0, [&](core::timer& _timer) {
        if (fired["reset inside"].size() == 1) {
            _timer.reset(t0 + 1ms);
            waiting.push_back(_timer.is_waiting());
        }
    });
    EXPECT_TRUE(by_delay->is_waiting());
    EXPECT_FALSE(timers["stopped"]->is_waiting());
    // Runs the cancelled completions of the waits that reset replaced, among others.
    m_loop->get_io_context().poll();
    EXPECT_TRUE(timers["reset far"]->is_waiting());
    timers["reset far"]->stop();
    EXPECT_TRUE(drain());
    EXPECT_EQ(fired, (std::map<std::string, std::vector<time_point>>{
                         {"past", {t0 - 1s}},
                         {"due, reset to the same", {t0 - 1ms}},
                         {"due, reset later", {t0 + 5ms}},
                         {"reset earlier", {t0 + 2ms}},
                         {"reset later", {t0 + 4ms}},
                         {"reset to the same", {t0 + 3ms}},
                         {"destroyed inside", {t0}},
                         {"reset inside", {t0, t0 + 1ms}}}));
    EXPECT_EQ(waiting, (std::vector<bool>{true, true, false, true}));
    ASSERT_EQ(m_fired.size(), 1u);
    EXPECT_GE(m_fired[0], t0);
    EXPECT_LE(m_fired[0], after);
    EXPECT_FALSE(by_delay->is_waiting());
    for (const auto& [name, timer] : timers) {
        EXPECT_FALSE(timer->is_waiting()) << name;
    }
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

// Each row makes a periodic timer, then acts on it; the first tick comes the offset
// after that moment, the later ones on a grid of the period from the first.
TEST_F(Timers, PeriodicTicksOnAGridAnchoredAtCreationOrAtTheLastChange) {
    constexpr auto p = 3ms;
    const struct {
        const char* what;
        bool execute_now;
        std::chrono::nanoseconds created_with;
        std::function<void(core::periodic_timer&)> act;
        std::chrono::nanoseconds offset;
    } rows[] = {
        {"created", false, p, [](core::periodic_timer&) {}, p},
        {"created with execute_now", true, p, [](core::periodic_timer&) {}, 0ns},
        {"reset to a new period", false, 1h, [&](core::periodic_timer& _t) { _t.reset(p); }, p},
        {"stopped and restarted", false, p,
         [](core::periodic_timer& _t) {
             _t.stop();
             _t.restart();
         },
         p},
        {"expired now", false, p, [](core::periodic_timer& _t) { _t.expire_now(); }, 0ns},
        {"stopped and expired now", false, p,
         [](core::periodic_timer& _t) {
             _t.stop();
             _t.expire_now();
         },
         0ns},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        m_fired.clear();
        const auto before = now();
        m_periodic = make_periodic(row.created_with, row.execute_now, record(3));
        row.act(*m_periodic);
        const auto after = now();
        // Runs out of work: a tick of the timer's earlier grid was dropped.
        EXPECT_TRUE(drain());
        ASSERT_EQ(m_fired.size(), 3u);
        EXPECT_GE(m_fired[0], before + row.offset);
        EXPECT_LE(m_fired[0], after + row.offset);
        expect_on_grid(m_fired, p);
    }
}

TEST_F(Timers, PeriodicRefusesPeriodsThatAreNotPositive) {
    m_periodic = make_periodic(2ms, false, record(2));
    for (const std::chrono::nanoseconds period : {0ns, -2000000ns}) {
        SCOPED_TRACE(period.count());
        EXPECT_THROW(make_periodic(period, false, record()), core::exception);
        EXPECT_THROW(make_periodic(period, true, record()), core::exception);
        EXPECT_THROW(m_periodic->reset(period), core::exception);
    }
    // The refused reset left the timer ticking on its grid.
    EXPECT_TRUE(drain());
    ASSERT_EQ(m_fired.size(), 2u);
    expect_on_grid(m_fired, 2ms);
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
