#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace core = kelm::libs::core;

namespace {

constexpr auto patience = std::chrono::seconds(20);

int thread_count() {
    int count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            count += entry->d_name[0] != '.';
        }
        ::closedir(tasks);
    }
    return count;
}

bool eventually(const std::function<bool()>& _condition) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!_condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class Signals : public ::testing::Test {
protected:
    core::logger m_logger{"signals-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
};

}  // namespace

TEST_F(Signals, SignalBeforeRunMakesTheFirstRunReturnAtOnce) {
    auto handle = m_loop->stop_on_signals();
    EXPECT_FALSE(handle->signal_is_received());
    auto work = m_loop->create_work();
    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_TRUE(eventually([&] { return handle->signal_is_received(); }));
    auto finished = std::async(std::launch::async, [this] { m_loop->run(); });
    ASSERT_EQ(finished.wait_for(patience), std::future_status::ready);
    EXPECT_TRUE(m_loop->is_stopped());
}

TEST_F(Signals, SigtermStopsARunningLoop) {
    auto handle = m_loop->stop_on_signals();
    auto work = m_loop->create_work();
    m_loop->post([] { ::kill(::getpid(), SIGTERM); }, KELM_SOURCE_LOCATION());
    auto finished = std::async(std::launch::async, [this] { m_loop->run(); });
    ASSERT_EQ(finished.wait_for(patience), std::future_status::ready);
    EXPECT_TRUE(handle->signal_is_received());
}

TEST_F(Signals, HandleWithoutSignalLeavesNoThreadBehind) {
    const int before = thread_count();
    {
        auto handle = m_loop->stop_on_signals();
        EXPECT_EQ(thread_count(), before + 1);
    }
    EXPECT_EQ(thread_count(), before);
    EXPECT_FALSE(m_loop->is_stopped());
}

TEST_F(Signals, SignalAfterTheHandleIsGoneMeetsTheDefaultAction) {
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
