#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/timers_manager.hpp>

#include <gtest/gtest.h>

#include <zmq.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace core = kelm::libs::core;
using namespace std::chrono_literals;
using time_point = core::timer::time_point;
constexpr core::periodic_timer::execute_now execute_now{};
using handle_impl = core::async_operation_handle_impl<std::string>;

namespace {

template <class T, class = void>
struct brace_constructible : std::false_type {};
template <class T>
struct brace_constructible<T, std::void_t<decltype(T{})>> : std::true_type {};

// Only the handle's own factory may reach its constructor.
static_assert(!brace_constructible<core::badge<handle_impl>>::value);

// Timers, the handles of asynchronous operations and call tracing, on one loop whose
// logger also writes to the socket m_collector.
class Timers : public ::testing::Test {
protected:
    void SetUp() override {
        m_collector.set(zmq::sockopt::rcvtimeo, 5000);
        m_collector.bind("tcp://127.0.0.1:*");
        m_logger.connect(m_collector.get(zmq::sockopt::last_endpoint));
        EXPECT_EQ(receive(1), std::vector<std::string>{"main Connected to socket"});
        test_support::clear_syslog_lines();
    }

    time_point now() const { return m_loop->get_timers().current_time_point(); }

    core::timer::ptr timer(time_point _deadline, core::timer::callback _callback) {
        return m_loop->create_timer(_deadline, "", std::move(_callback), {});
    }

    core::periodic_timer::ptr periodic(std::chrono::nanoseconds _period,
                                       core::timer::callback _callback) {
        return m_loop->create_periodic_timer(_period, "", std::move(_callback), {});
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

    // Deadlines d, d + k1 * p, d + k2 * p, ... with 0 < k1 < k2 < ...
    void expect_on_grid(std::chrono::nanoseconds _period) const {
        for (std::size_t i = 1; i < m_fired.size(); ++i) {
            EXPECT_GT(m_fired[i], m_fired[i - 1]) << i;
            EXPECT_EQ((m_fired[i] - m_fired[0]) % _period, 0ns) << i;
        }
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
        return handle && (handle->return_result(std::move(_result)), true);
    }

    // Results arrive on the loop's thread only.
    void deliver(std::string _result) {
        EXPECT_EQ(std::this_thread::get_id(), m_loop_thread);
        m_results.push_back(std::move(_result));
    }

    // The next socket lines, each as its component and text: the line
    // "&test:main 2024-03-05 07:04:09.042 text" comes as "main text".
    std::vector<std::string> receive(std::size_t _count) {
        std::vector<std::string> lines;
        for (zmq::message_t message; lines.size() < _count && m_collector.recv(message);) {
            std::string line = message.to_string();
            EXPECT_EQ(line.rfind("&test:", 0), 0u) << line;
            lines.push_back(line.erase(line.find(' ') + 1, 24).substr(6));
        }
        return lines;
    }

    core::logger m_logger{"test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    const std::thread::id m_loop_thread = std::this_thread::get_id();
    std::vector<time_point> m_fired;
    core::periodic_timer::ptr m_periodic;
    std::weak_ptr<handle_impl> m_operation;
    std::vector<std::string> m_results;
    zmq::context_t m_context;
    zmq::socket_t m_collector{m_context, zmq::socket_type::pull};
};

}  // namespace

TEST_F(Timers, OneShotTimersFireOnceForTheirLatestDeadline) {
    std::map<std::string, std::vector<time_point>> fired, expected;
    std::map<std::string, core::timer::ptr> timers;
    std::vector<bool> waiting;
    // Arms the timer _name, to fire for the deadlines _expected, each time running _then.
    using then = std::function<void(core::timer&)>;
    const auto arm = [&](
        const std::string& _name, time_point _deadline, std::vector<time_point> _expected,
        then _then = [](auto&) {}) -> auto& {
        expected[_name] = _expected;
        fired[_name] = {};
        timers[_name] = timer(_deadline, [&, _name, _then](time_point _fired) {
            fired[_name].push_back(_fired);
            _then(*timers[_name]);
        });
        return *timers[_name];
    };
    const auto t0 = now();
    timers["by delay"] = m_loop->get_timers().create_timer(0ns, "", record(), {});
    const auto after = now();
    // Its completion, as those of the timers "due ...", is queued before it runs.
    arm("past", t0 - 1s, {t0 - 1s}, [&](auto&) {
        timers["due, reset to the same"]->reset(t0 - 1ms);
        timers["due, reset later"]->reset(t0 + 5ms);
        timers["due, stopped"]->stop();
        for (const auto* name : {"due, reset to the same", "due, reset later", "due, stopped"}) {
            waiting.push_back(timers[name]->is_waiting());
        }
    });
    arm("due, reset to the same", t0 - 1ms, {t0 - 1ms});
    arm("due, reset later", t0 - 1ms, {t0 + 5ms});
    arm("due, stopped", t0 - 1ms, {});
    arm("reset earlier", t0 + 1h, {t0 + 2ms}).reset(t0 + 2ms);
    arm("reset far", t0 + 1h, {}).reset(t0 + 2h);
    arm("stopped", t0 + 1ms, {}).stop();
    arm("destroyed", t0 + 1ms, {});
    timers.erase("destroyed");
    arm("destroyed inside", t0, {t0}, [&](auto&) { timers.erase("destroyed inside"); });
    arm("reset inside", t0, {t0, t0 + 1ms}, [&](core::timer& _timer) {
        if (fired["reset inside"].size() == 1) {
            _timer.reset(t0 + 1ms);
            waiting.push_back(_timer.is_waiting());
        }
    });
    // Runs the cancelled completions of the waits that reset replaced, among others.
    m_loop->get_io_context().poll();
    EXPECT_TRUE(timers["reset far"]->is_waiting());
    timers["reset far"]->stop();
    EXPECT_TRUE(run_until());
    EXPECT_EQ(fired, expected);
    EXPECT_EQ(waiting, (std::vector<bool>{true, true, false, true}));
    EXPECT_TRUE(m_fired.size() == 1 && t0 <= m_fired[0] && m_fired[0] <= after);
    for (const auto& [name, timer] : timers) {
        EXPECT_FALSE(timer->is_waiting()) << name;
    }
    EXPECT_TRUE(test_support::syslog_lines().empty());
}

// A periodic timer is re-armed before its function runs, so it goes on ticking after
// a throw; destroyed in its own function, it stops.
TEST_F(Timers, CallbacksMayThrowOrDestroyTheirTimer) {
    const auto once = timer(now(), [](auto) { throw std::logic_error(""); });
    EXPECT_THROW(m_loop->run(), std::logic_error);
    EXPECT_FALSE(once->is_waiting());
    m_periodic = periodic(1ms, [&](time_point _deadline) {
        record()(_deadline);
        if (m_fired.size() == 1) {
            throw std::logic_error("");
        }
        m_periodic.reset();
    });
    m_loop->get_io_context().restart();
    EXPECT_THROW(m_loop->run(), std::logic_error);
    EXPECT_TRUE(run_until());
    EXPECT_EQ(m_fired.size(), 2u);
}

// Each row makes a periodic timer, then acts on it; the first tick comes the offset
// after that moment, the later ones on a grid of the period from the first.
TEST_F(Timers, PeriodicTicksOnAGridAnchoredAtCreationOrAtTheLastChange) {
    constexpr auto p = 3ms;
    for (const std::chrono::nanoseconds period : {0ns, -3000000ns}) {
        EXPECT_THROW(periodic(period, {}), core::exception);
        EXPECT_THROW(m_loop->create_periodic_timer(period, execute_now, "", {}, {}),
                     core::exception);
    }
    const struct {
        const char* what;
        std::chrono::nanoseconds created_with, offset;
        std::function<void(core::periodic_timer&)> then;
    } rows[] = {
        {"created", p, p, [](auto&) {}},
        {"created with execute_now", p, 0ns,
         [&](auto&) {
             m_periodic = m_loop->create_periodic_timer(p, execute_now, "", record(3), {});
         }},
        {"reset to a new period", 1h, p, [&](auto& _t) { _t.reset(p); }},
        {"refused a period that is not positive", p, p,
         [&](auto& _t) { EXPECT_THROW(_t.reset(0ns), core::exception); }},
        {"stopped and restarted", p, p, [](auto& _t) { _t.stop(), _t.restart(); }},
        {"expired now", p, 0ns, [](auto& _t) { _t.expire_now(); }},
        {"stopped and expired now", p, 0ns, [](auto& _t) { _t.stop(), _t.expire_now(); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        m_fired.clear();
        const auto before = now();
        m_periodic = periodic(row.created_with, record(3));
        row.then(*m_periodic);
        const auto after = now();
        // Runs out of work: a tick of the timer's earlier grid was dropped.
        EXPECT_TRUE(run_until());
        ASSERT_EQ(m_fired.size(), 3u);
        EXPECT_TRUE(before + row.offset <= m_fired[0] && m_fired[0] <= after + row.offset);
        expect_on_grid(p);
    }
}

// The first tick's function outlasts two periods; the tick it made late re-arms the
// timer for the first point of the grid after that.
TEST_F(Timers, PeriodicGridSkipsTheTicksASlowCallbackMissed) {
    time_point slept_until;
    m_periodic = periodic(2ms, [&](time_point _deadline) {
        if (m_fired.empty()) {
            std::this_thread::sleep_until(slept_until = _deadline + 5ms);
        }
        record(3)(_deadline);
    });
    EXPECT_TRUE(run_until());
    ASSERT_EQ(m_fired.size(), 3u);
    expect_on_grid(2ms);
    EXPECT_GT(m_fired[2], slept_until);
}

// Each handle gets the results of its runs in order, on the loop's thread, once it
// has a callback and while it is there; the run is complete by then.
TEST_F(Timers, HandleDeliversEachRunsResultOnTheLoop) {
    const auto handle = start();
    handle->set_callback([&](std::string _result) {
        EXPECT_TRUE(handle->is_complete());
        deliver(_result);
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
    EXPECT_EQ(m_results, (std::vector<std::string>{"from a worker", "again", "void"}));
    EXPECT_THROW(handle_impl::create(*m_loop, nullptr)->start(), std::bad_function_call);
}

// Each entry line is at the depth of its component, the lines after it one deeper
// until its guard, in whatever order the guards go. Entry lines are debug lines: with
// debug mode off the system log has none of them, nor any indentation.
TEST_F(Timers, TracingIndentsTheLinesAfterEachEntryLineOfTheirComponent) {
    const core::source_location where(42, __FILE__, "void kelm::a::f(int)");
    const std::string file(where.short_file().data(), where.short_file().size());
    const auto worker = m_logger.component("worker");
    auto first = m_logger.enter_function(where);
    auto second = m_logger.enter_function_short(where, "text");
    {
        const auto named = m_logger.enter_scope("named");
        const auto busy = worker->enter_scope(where);
        const auto located = m_logger.enter_scope(where, "named");
        worker->info("inside");
        m_logger.info("depth 4");
    }
    first.reset();
    m_logger.info("one left");
    second.reset();
    worker->info("idle");
    m_logger.info("none left");
    EXPECT_EQ(receive(10),
              (std::vector<std::string>{"main void kelm::a::f(int)", "main     | kelm::a::f: text",
                                        "main         | named", "worker " + file + ":42",
                                        "main             | " + file + ":42 (named)",
                                        "worker     | inside", "main                 | depth 4",
                                        "main     | one left", "worker idle", "main none left"}));
    std::vector<std::string> logged;
    for (const auto& line : test_support::syslog_lines()) {
        logged.push_back(line.text);
    }
    EXPECT_EQ(logged,
              (std::vector<std::string>{"inside", "depth 4", "one left", "idle", "none left"}));
}
