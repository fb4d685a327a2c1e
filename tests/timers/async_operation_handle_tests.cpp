#include "wait.hpp"

#include <core/async_operation_handle.hpp>
#include <core/async_operation_handle_impl.hpp>
#include <core/badge.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace core = kelm::libs::core;

namespace {

template <class T, class = void>
struct brace_constructible : std::false_type {};
template <class T>
struct brace_constructible<T, std::void_t<decltype(T{})>> : std::true_type {};

// Only the handle's own factory may reach its constructor.
static_assert(!brace_constructible<core::badge<core::async_operation_handle_impl<int>>>::value);

using handle_impl = core::async_operation_handle_impl<std::string>;

class AsyncOperationHandle : public ::testing::Test {
protected:
    // Creates and starts a handle, like the runtime's operations do: the operation
    // keeps only the weak pointer it was started with.
    core::async_operation_handle<std::string>::ptr start() {
        auto handle = handle_impl::create(
            *m_loop, [this](handle_impl::ptr, std::weak_ptr<handle_impl> _weak) {
                m_operation = std::move(_weak);
            });
        handle->start();
        return handle;
    }

    // Hands the result over as the operation would; false once the handle is gone.
    bool produce(std::string _result) {
        const auto handle = m_operation.lock();
        if (handle) {
            handle->return_result(std::move(_result));
        }
        return handle != nullptr;
    }

    void record(std::string _result) { m_results.push_back(std::move(_result)); }

    bool run_until(std::function<bool()> _condition) {
        return kelm::test::run_until(m_loop->get_io_context(), std::move(_condition));
    }
    // Runs the loop until it runs out of work; false when it still had work after a
    // few seconds.
    bool drain() {
        run_until([] { return false; });
        return m_loop->get_io_context().stopped();
    }

    core::logger m_logger{"handle-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    std::weak_ptr<handle_impl> m_operation;
    std::vector<std::string> m_results;
};

}  // namespace

TEST_F(AsyncOperationHandle, CallbackSetAfterStartGetsEachRunsResultOnTheLoopInOrder) {
    const auto handle = start();
    EXPECT_FALSE(handle->is_complete());
    handle->set_callback([this](std::string _result) { record(_result); });
    ASSERT_TRUE(produce("first"));
    EXPECT_TRUE(handle->is_complete());
    handle->restart();
    EXPECT_FALSE(handle->is_complete());
    ASSERT_TRUE(produce("second"));
    EXPECT_TRUE(handle->is_complete());
    // Delivered by the loop, never inside return_result.
    EXPECT_TRUE(m_results.empty());
    EXPECT_TRUE(drain());
    EXPECT_EQ(m_results, (std::vector<std::string>{"first", "second"}));
}

TEST_F(AsyncOperationHandle, ResultIsDiscardedWithoutHandleOrCallback) {
    auto dropped = start();
    dropped->set_callback([this](std::string _result) { record(_result); });
    ASSERT_TRUE(produce("dropped"));
    dropped.reset();
    EXPECT_FALSE(produce("too late"));
    const auto without_callback = start();
    ASSERT_TRUE(produce("nobody listens"));
    EXPECT_TRUE(without_callback->is_complete());
    EXPECT_TRUE(drain());
    EXPECT_TRUE(m_results.empty());
}

TEST_F(AsyncOperationHandle, ResultFromAnotherThreadArrivesOnTheLoopThread) {
    std::thread worker;
    const auto handle =
        handle_impl::create(*m_loop, [&worker](handle_impl::ptr, std::weak_ptr<handle_impl> _weak) {
            worker = std::thread([_weak] {
                if (const auto locked = _weak.lock()) {
                    locked->return_result("from the worker");
                }
            });
        });
    handle->start();
    std::thread::id delivered_on;
    bool complete_in_callback = false;
    handle->set_callback([&](std::string _result) {
        delivered_on = std::this_thread::get_id();
        complete_in_callback = handle->is_complete();
        record(_result);
    });
    const auto work = m_loop->create_work();
    EXPECT_TRUE(run_until([this] { return !m_results.empty(); }));
    worker.join();
    EXPECT_EQ(m_results, std::vector<std::string>{"from the worker"});
    EXPECT_EQ(delivered_on, std::this_thread::get_id());
    EXPECT_TRUE(complete_in_callback);
}

TEST_F(AsyncOperationHandle, VoidCallbackIsCalledOnCompletion) {
    const auto handle = start();
    int completions = 0;
    handle->set_callback([&completions] { ++completions; });
    ASSERT_TRUE(produce("ignored"));
    EXPECT_TRUE(drain());
    EXPECT_EQ(completions, 1);
}

TEST_F(AsyncOperationHandle, StartWithoutAStartFunctionThrows) {
    const auto handle = handle_impl::create(*m_loop, nullptr);
    EXPECT_THROW(handle->start(), std::bad_function_call);
}
