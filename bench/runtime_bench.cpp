// The runtime's events loop and timers against the same work done with raw Boost.Asio,
// side by side in one run, with the throughput ratios printed at the end.
//
//   runtime_bench [--posts=N] [--post_batch=N] [--timers=N] [--idle_seconds=S] [Google Benchmark
//   options]

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/periodic_timer.hpp>
#include <core/timer.hpp>
#include <core/timers_manager.hpp>

#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace core = kelm::libs::core;

namespace {

std::int64_t g_posts = 1000000;
// Handlers posted before the loop runs them; 0 (the default) posts all at once.
std::int64_t g_post_batch = 0;
std::int64_t g_timers = 100000;
std::int64_t g_idle_seconds = 3;

// One process logger, core and loop for every benchmark, as a program would have.
struct runtime {
    runtime() { log.set_writing_to_socket(false); }

    core::logger log{"runtime_bench", "main"};
    core::core::ptr root = core::core::create(log);
    core::events_loop::ptr loop = root->create_events_loop("main");
};

runtime& the_runtime() {
    static runtime instance;
    return instance;
}

// Runs the loop until it has no more work; a previous run left it stopped.
void run_loop(core::events_loop& _loop) {
    _loop.get_io_context().restart();
    _loop.run();
}

// Posts g_posts handlers per iteration, running the loop after every g_post_batch.
template <class Post, class Run>
void post_handlers(benchmark::State& _state, Post&& _post, Run&& _run) {
    const std::int64_t batch_size = g_post_batch > 0 ? g_post_batch : g_posts;
    for (auto _ : _state) {
        for (std::int64_t done = 0; done < g_posts; done += batch_size) {
            const std::int64_t batch = std::min(batch_size, g_posts - done);
            for (std::int64_t i = 0; i < batch; ++i) {
                _post();
            }
            _run();
        }
    }
    _state.SetItemsProcessed(_state.iterations() * g_posts);
}

void post_asio(benchmark::State& _state) {
    boost::asio::io_context io_context;
    std::int64_t handled = 0;
    post_handlers(
        _state, [&] { boost::asio::post(io_context, [&handled] { ++handled; }); },
        [&] {
            io_context.restart();
            io_context.run();
        });
    benchmark::DoNotOptimize(handled);
}

// What the events loop posts: the handler type-erased in a std::function.
void post_asio_std_function(benchmark::State& _state) {
    boost::asio::io_context io_context;
    std::int64_t handled = 0;
    post_handlers(
        _state,
        [&] { boost::asio::post(io_context, std::function<void()>([&handled] { ++handled; })); },
        [&] {
            io_context.restart();
            io_context.run();
        });
    benchmark::DoNotOptimize(handled);
}

void post_events_loop(benchmark::State& _state) {
    auto& loop = *the_runtime().loop;
    std::int64_t handled = 0;
    const core::source_location location;
    post_handlers(
        _state, [&] { loop.post([&handled] { ++handled; }, location); }, [&] { run_loop(loop); });
    benchmark::DoNotOptimize(handled);
}

// Each timer an object of its own, as the owner of a timer keeps it.
void one_shot_timers_asio(benchmark::State& _state) {
    boost::asio::io_context io_context;
    std::vector<std::unique_ptr<boost::asio::steady_timer>> timers;
    timers.reserve(static_cast<std::size_t>(g_timers));
    std::int64_t fired = 0;
    for (auto _ : _state) {
        const auto deadline = std::chrono::steady_clock::now();
        for (std::int64_t i = 0; i < g_timers; ++i) {
            timers.push_back(std::make_unique<boost::asio::steady_timer>(io_context, deadline));
            timers.back()->async_wait([&fired](const boost::system::error_code& _error) {
                if (!_error) {
                    ++fired;
                }
            });
        }
        io_context.restart();
        io_context.run();
        timers.clear();
    }
    benchmark::DoNotOptimize(fired);
    _state.SetItemsProcessed(_state.iterations() * g_timers);
}

// Raw Asio carrying what every runtime timer carries by design: an owner of its own,
// state shared weakly with the wait, and the callback in a std::function.
void one_shot_timers_asio_shared_state(benchmark::State& _state) {
    struct owned_timer {
        owned_timer(boost::asio::io_context& _io_context, std::function<void()> _callback)
            : timer(_io_context), callback(std::make_shared<std::function<void()>>(_callback)) {}
        boost::asio::steady_timer timer;
        std::shared_ptr<std::function<void()>> callback;
    };
    boost::asio::io_context io_context;
    std::vector<std::unique_ptr<owned_timer>> timers;
    timers.reserve(static_cast<std::size_t>(g_timers));
    std::int64_t fired = 0;
    for (auto _ : _state) {
        const auto deadline = std::chrono::steady_clock::now();
        for (std::int64_t i = 0; i < g_timers; ++i) {
            timers.push_back(std::make_unique<owned_timer>(io_context, [&fired] { ++fired; }));
            auto& timer = *timers.back();
            timer.timer.expires_at(deadline);
            timer.timer.async_wait([callback = std::weak_ptr<std::function<void()>>(
                                        timer.callback)](const boost::system::error_code& _error) {
                const auto locked = callback.lock();
                if (!_error && locked) {
                    (*locked)();
                }
            });
        }
        io_context.restart();
        io_context.run();
        timers.clear();
    }
    benchmark::DoNotOptimize(fired);
    _state.SetItemsProcessed(_state.iterations() * g_timers);
}

void one_shot_timers_events_loop(benchmark::State& _state) {
    auto& loop = *the_runtime().loop;
    std::vector<core::timer::ptr> timers;
    timers.reserve(static_cast<std::size_t>(g_timers));
    std::int64_t fired = 0;
    const core::source_location location;
    const std::string name = "bench";
    for (auto _ : _state) {
        const auto deadline = loop.get_timers().current_time_point();
        for (std::int64_t i = 0; i < g_timers; ++i) {
            timers.push_back(loop.create_timer(
                deadline, name, [&fired](core::timer::time_point) { ++fired; }, location));
        }
        run_loop(loop);
        timers.clear();
    }
    benchmark::DoNotOptimize(fired);
    _state.SetItemsProcessed(_state.iterations() * g_timers);
}

long voluntary_context_switches() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// An otherwise idle loop with one periodic timer of one second: how often does the
// thread that runs it wake up?
void idle_periodic_timer_events_loop(benchmark::State& _state) {
    auto& loop = *the_runtime().loop;
    std::int64_t ticks = 0;
    for (auto _ : _state) {
        const auto periodic = loop.create_periodic_timer(
            std::chrono::seconds(1), "idle", [&ticks](core::timer::time_point) { ++ticks; },
            core::source_location());
        const auto end = loop.create_timer(
            loop.get_timers().current_time_point() + std::chrono::seconds(g_idle_seconds), "end",
            [&loop](core::timer::time_point) { loop.stop(); }, core::source_location());
        const long switches_before = voluntary_context_switches();
        loop.get_io_context().restart();
        const std::size_t handlers = loop.get_io_context().run();
        const long switches = voluntary_context_switches() - switches_before;
        const auto seconds = static_cast<double>(g_idle_seconds);
        _state.counters["wakeups_per_s"] = static_cast<double>(switches) / seconds;
        _state.counters["handlers_per_s"] = static_cast<double>(handlers) / seconds;
        _state.counters["ticks"] = static_cast<double>(ticks);
    }
}

// Prints, after the usual table, the throughput of each events_loop benchmark
// relative to its raw Asio counterpart.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& _runs) override {
        ConsoleReporter::ReportRuns(_runs);
        for (const auto& run : _runs) {
            if (!run.error_occurred && run.iterations > 0) {
                m_cpu_seconds_per_iteration[run.benchmark_name()] =
                    run.cpu_accumulated_time / static_cast<double>(run.iterations);
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char* reference : {"post/asio", "post/asio_std_function", "one_shot_timers/asio",
                                      "one_shot_timers/asio_shared_state"}) {
            const std::string name = reference;
            const double asio = lookup(name);
            const double loop = lookup(name.substr(0, name.find('/')) + "/events_loop");
            if (asio > 0 && loop > 0) {
                std::cout << "events_loop / " << std::left << std::setw(34) << name
                          << " throughput (CPU time): " << std::fixed << std::setprecision(2)
                          << asio / loop << "x\n";
            }
        }
    }

private:
    // With repetitions, the median stands for the benchmark.
    double lookup(const std::string& _name) const {
        for (const auto& name : {_name + "_median", _name}) {
            const auto found = m_cpu_seconds_per_iteration.find(name);
            if (found != m_cpu_seconds_per_iteration.end()) {
                return found->second;
            }
        }
        return 0;
    }

    std::map<std::string, double> m_cpu_seconds_per_iteration;
};

// Takes --name=value for one of our counts out of argv; false for other arguments.
bool take_count(const char* _argument, const char* _name, std::int64_t& _count) {
    const std::size_t length = std::strlen(_name);
    if (std::strncmp(_argument, _name, length) != 0 || _argument[length] != '=') {
        return false;
    }
    _count = std::stoll(_argument + length + 1);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (!take_count(argv[i], "--posts", g_posts) &&
            !take_count(argv[i], "--post_batch", g_post_batch) &&
            !take_count(argv[i], "--timers", g_timers) &&
            !take_count(argv[i], "--idle_seconds", g_idle_seconds)) {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;

    benchmark::RegisterBenchmark("post/asio", post_asio)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("post/asio_std_function", post_asio_std_function)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("post/events_loop", post_events_loop)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("one_shot_timers/asio", one_shot_timers_asio)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("one_shot_timers/asio_shared_state",
                                 one_shot_timers_asio_shared_state)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("one_shot_timers/events_loop", one_shot_timers_events_loop)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("idle_periodic_timer/events_loop", idle_periodic_timer_events_loop)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
