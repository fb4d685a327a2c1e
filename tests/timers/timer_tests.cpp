#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/timers_manager.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

namespace core = kelm::libs::core;
using namespace std::chrono_literals;
using time_point = core::timer::time_point;
using ns = std::chrono::nanoseconds;
using handle_impl = core::async_operation_handle_impl<std::string>;

namespace {

// Only the handle's own factory may reach its constructor: not even as an aggregate.
static_assert(!std::is_default_constructible_v<core::badge<handle_impl>> &&
              !std::is_aggregate_v<core::badge<handle_impl>>);

// Timers, the handles of asynchronous operations and call tracing, on one loop.
class Timers : public ::testing::Test {
protected:
    Timers() { test_support::clear_syslog_lines(); }

    time_point now() const { return m_loop->get_timers().current_time_point(); }

    core::periodic_timer::ptr periodic(ns _period, core::timer::callback _tick, bool _now = false) {
        return _now ? m_loop->create_periodic_timer(_period, core::periodic_timer::execute_now{},
                                                    "", std::move(_tick), {})
                    : m_loop->create_periodic_timer(_period, "", std::move(_tick), {});
    }

    // Records the deadlines; stops the periodic timer m_periodic after _limit ticks. The
    // function of the first tick returns _lag after its deadline.
    core::timer::callback record(std::size_t _limit = 0, ns _lag = {}) {
        return [this, _limit, _lag](time_point _deadline) {
            if (m_fired.empty()) {
                std::this_thread::sleep_until(_deadline + _lag);
            }
            m_fired.push_back(_deadline);
            if (m_fired.size() == _limit) {
                m_periodic->stop();
            }
        };
    }

    // Runs the loop until the condition holds or, by default, until it runs out of work.
    bool run_until(std::function<bool()> _condition = [] { return false; }) {
        kelm::test::run_until(m_loop->get_io_context(), _condition);
        return _condition() || m_loop->get_io_context().stopped();
    }

    // Creates and starts a handle, like the runtime's operations do: the operation
    // keeps only the weak pointer it was started with.
    core::async_operation_handle<std::string>::ptr start() {
        auto handle =
            handle_impl::create(*m_loop, [this](auto, auto _weak) { m_operation = _weak; });
        handle->start();
        return handle;
    }

    // Hands the result over as the operation would; false once the handle is gone.
    bool produce(std::string _result) {
        const auto handle = m_operation.lock();
        if (handle) {
            handle->return_result(std::move(_result));
        }
        return !!handle;
    }

    // Results arrive on the loop's thread only.
    void deliver(std::string _result) {
        EXPECT_EQ(std::this_thread::get_id(), m_loop_thread);
        m_results.push_back(std::move(_result));
    }

    core::logger m_logger{"test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    const std::thread::id m_loop_thread = std::this_thread::get_id();
    std::vector<time_point> m_fired;
    core::periodic_timer::ptr m_periodic;
    std::weak_ptr<handle_impl> m_operation;
    std::vector<std::string> m_results;
};

}  // namespace

// One-shot timers fire once, for their latest deadline. A delay counts from the moment the timer
// is made. A deadline past the end of the clock never comes: such a timer keeps waiting, and a
// periodic timer told to fire at once fires that once.
TEST_F(Timers, OneShotTimersFireOnceForTheirLatestDeadlineAndNeverPastTheClocksEnd) {
    std::map<std::string, std::vector<time_point>> fired, expected;
    std::map<std::string, core::timer::ptr> timers;
    // Arms the timer _name, to fire for the deadlines _expected, each time running _then.
    const auto arm = [&](
        const std::string& _name, time_point _deadline, std::vector<time_point> _expected,
        std::function<void(core::timer&)> _then = [](auto&) {}) -> auto& {
        expected[_name] = _expected;
        fired[_name] = {};
        const auto fire = [&, _name, _then](time_point _fired) {
            fired[_name].push_back(_fired);
            _then(*timers[_name]);
        };
        timers[_name] = m_loop->create_timer(_deadline, "", fire, {});
        return *timers[_name];
    };
    const auto t0 = now();
    // Its completion, as those of the timers "due ...", is queued before it runs.
    arm("past", t0 - 1s, {t0 - 1s}, [&](auto&) {
        timers["due, reset to the same"]->reset(t0 - 1ms);
        timers["due, reset later"]->reset(t0 + 5ms);
        timers["due, stopped"]->stop();
    });
    arm("due, reset to the same", t0 - 1ms, {t0 - 1ms});
    arm("due, reset later", t0 - 1ms, {t0 + 5ms});
    arm("due, stopped", t0 - 1ms, {});
    arm("reset earlier", t0 + 1h, {t0 + 2ms}).reset(t0 + 2ms);
    arm("destroyed", t0 + 1ms, {});
    timers.erase("destroyed");
    arm("destroyed inside", t0, {t0}, [&](auto&) { timers.erase("destroyed inside"); });
    arm("reset inside", t0, {t0, t0 + 1ms}, [&](core::timer& _timer) {
        if (fired["reset inside"].size() == 1) {
            _timer.reset(t0 + 1ms);
        }
    });
    EXPECT_TRUE(timers["reset earlier"]->is_waiting());
    EXPECT_TRUE(run_until());
    EXPECT_EQ(fired, expected);
    for (const auto& [name, timer] : timers) {
        EXPECT_FALSE(timer->is_waiting()) << name;
    }
    std::vector<time_point> soon;
    const auto before = now();
    const auto relative = m_loop->get_timers().create_timer(
        20ms, "", [&](time_point _deadline) { soon.push_back(_deadline); }, {});
    const auto after = now();
    const auto never = m_loop->get_timers().create_timer(ns::max(), "", record(), {});
    const auto periodic_never = periodic(ns::max(), record());
    const auto once = periodic(ns::max(), record(), true);
    EXPECT_TRUE(run_until([&] { return now() > after + 100ms; }));
    ASSERT_EQ(soon.size(), 1u);
    EXPECT_TRUE(before + 20ms <= soon[0] && soon[0] <= after + 20ms);
    EXPECT_EQ(m_fired.size(), 1u);
    EXPECT_TRUE(never->is_waiting());
    EXPECT_TRUE(test_support::syslog_lines().empty());
}

// Each row makes a periodic timer, then acts on it; the first tick comes the offset
// after that moment, the later ones on a grid of the period from the first. A tick whose
// function outlasts two periods makes the next tick late, and that one re-arms the timer
// for the first point of the grid after the late function ended. A periodic timer is re-armed
// before its function runs, so it goes on ticking after a throw; destroyed in its own function,
// it stops.
TEST_F(Timers, PeriodicTicksOnAGridAnchoredAtCreationOrAtTheLastChangeAfterAThrowToo) {
    m_periodic = periodic(1ms, [&](time_point _deadline) {
        record()(_deadline);
        if (m_fired.size() == 1) {
            throw std::logic_error("");
        }
        m_periodic.reset();
    });
    EXPECT_THROW(m_loop->run(), std::logic_error);
    EXPECT_TRUE(run_until());
    EXPECT_EQ(m_fired.size(), 2u);
    constexpr auto p = 3ms;
    EXPECT_THROW(periodic(-p, {}), core::exception);
    const std::tuple<const char*, ns, ns, ns, bool, void (*)(core::periodic_timer&)> rows[] = {
        {"created", p, p, 0ns, false, [](auto&) {}},
        {"created with execute_now", p, 0ns, 0ns, true, [](auto&) {}},
        {"with a slow first tick", p, p, 7ms, false, [](auto&) {}},
        {"reset to a new period", 1h, p, 0ns, false, [](auto& _t) { _t.reset(3ms); }},
        {"refused a period that is not positive", p, p, 0ns, false,
         [](auto& _t) { EXPECT_THROW(_t.reset(0ns), core::exception); }},
        {"stopped and restarted", p, p, 0ns, false, [](auto& _t) { _t.stop(), _t.restart(); }},
        {"expired now", p, 0ns, 0ns, false, [](auto& _t) { _t.expire_now(); }},
        {"stopped, expired now", p, 0ns, 0ns, false, [](auto& _t) { _t.stop(), _t.expire_now(); }},
    };
    for (const auto& [what, created_with, offset, lag, now_too, then] : rows) {
        SCOPED_TRACE(what);
        m_fired.clear();
        const auto before = now();
        m_periodic = periodic(created_with, record(3, lag), now_too);
        then(*m_periodic);
        const auto after = now();
        // Runs out of work: a tick of the timer's earlier grid was dropped.
        EXPECT_TRUE(run_until());
        ASSERT_EQ(m_fired.size(), 3u);
        EXPECT_TRUE(before + offset <= m_fired[0] && m_fired[0] <= after + offset);
        EXPECT_GT(m_fired[2] - m_fired[0], lag);
        // Deadlines d, d + k1 * p, d + k2 * p with 0 < k1 < k2: the remainders are zero.
        EXPECT_TRUE(m_fired[0] < m_fired[1] && m_fired[1] < m_fired[2]);
        EXPECT_EQ((m_fired[1] - m_fired[0]) % p + (m_fired[2] - m_fired[0]) % p, 0ns);
    }
}

// Each handle gets the results of its runs in order, on the loop's thread, once it
// has a callback and while it is there; the run is complete by then. A callback may replace or
// clear itself, or drop the last pointer to its handle, during its own delivery, and still runs
// to its end; what it left in place, and only that, gets the next run's result.
TEST_F(Timers, HandleDeliversEachRunsResultOnTheLoopToTheCallbackInPlace) {
    const auto handle = start();
    handle->set_callback([&](std::string _result) {
        EXPECT_TRUE(handle->is_complete());
        deliver(_result);
        handle->set_callback([this](std::string _again) { deliver("replaced: " + _again); });
    });
    auto work = m_loop->create_work();
    std::thread worker([this] { produce("from a worker"); });
    EXPECT_TRUE(run_until([this] { return !m_results.empty(); }));
    worker.join();
    work.reset();
    handle->restart();
    EXPECT_FALSE(handle->is_complete());
    ASSERT_TRUE(produce("again"));
    const auto without_argument = start();
    without_argument->set_callback([this] { deliver("void"); });
    ASSERT_TRUE(produce("ignored"));
    auto dropped = start();
    dropped->set_callback([this](std::string _result) { deliver(_result); });
    ASSERT_TRUE(produce("dropped"));
    dropped.reset();
    EXPECT_FALSE(produce("too late"));
    const auto without_callback = start();
    ASSERT_TRUE(produce("nobody listens"));
    // Delivered by the loop, never inside return_result.
    EXPECT_EQ(m_results.size(), 1u);
    EXPECT_TRUE(run_until());
    EXPECT_EQ(m_results, (std::vector<std::string>{"from a worker", "replaced: again", "void"}));
    for (const auto& [change, wanted] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"replace", {"first+", "new second"}}, {"clear", {"first+"}}, {"drop", {"first+"}}}) {
        SCOPED_TRACE(change);
        m_results.clear();
        auto handle = start();
        handle->set_callback([&, change = change, state = std::string(64, '+')](std::string _r) {
            const handle_impl::callback next = [&](std::string _again) {
                deliver("new " + _again);
            };
            change == "drop" ? handle.reset()
                             : handle->set_callback(change == "clear" ? nullptr : next);
            deliver(_r + state.substr(0, 1));
        });
        for (const std::string result : {"first", "second"}) {
            if (const auto running = m_operation.lock()) {
                running->return_result(std::string(result));
                running->restart();
            }
            EXPECT_TRUE(run_until());
        }
        EXPECT_EQ(m_results, wanted);
        EXPECT_EQ(m_operation.expired(), change == "drop");
    }
}

// Each entry line is at the depth of its component, the lines after it one deeper
// until its guard, in whatever order the guards go. Entry lines are debug lines: with
// debug mode off the system log has none of them, nor any indentation, nor the time.
TEST_F(Timers, TracingIndentsTheLinesAfterEachEntryLineOfTheirComponent) {
    const core::source_location where(42, __FILE__, "void kelm::a::f(int)");
    const auto file = where.short_file().to_string();
    const auto worker = m_logger.component("worker");
    std::vector<std::string> logged;
    for (const bool debug : {true, false}) {
        m_logger.set_debug(debug);
        test_support::clear_syslog_lines();
        auto first = m_logger.enter_function(where);
        const auto second = m_logger.enter_function_short(where, "text");
        {
            const auto named = m_logger.enter_scope("named");
            const auto busy = worker->enter_scope(where);
            const auto located = m_logger.enter_scope(where, "named");
            worker->info("inside");
            m_logger.info("depth 4");
        }
        first.reset();
        m_logger.info("one left");
        // Without the time, "2024-03-05 07:04:09.042 ".
        for (const auto& text : test_support::take_syslog_texts()) {
            logged.push_back(debug ? text.substr(24) : text);
        }
    }
    EXPECT_EQ(logged,
              (std::vector<std::string>{
                  "void kelm::a::f(int)", "    | kelm::a::f: text", "        | named", file + ":42",
                  "            | " + file + ":42 (named)", "    | inside",
                  "                | depth 4", "    | one left", "inside", "depth 4", "one left"}));
}
