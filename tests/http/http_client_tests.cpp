#include "http_server.hpp"
#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/http/client.hpp>
#include <core/logger.hpp>

#include <curl/curl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace core = kelm::libs::core;
namespace http = kelm::libs::core::http;
using namespace std::chrono_literals;

namespace {

const std::string curl_failed = "- error curl_easy_perform failed:";

// Make libcurl's multi interface fail once, on cue.
std::atomic<bool> fail_multi_init{false};
std::atomic<bool> fail_multi_perform{false};

}  // namespace

extern "C" CURLM* curl_multi_init() {
    static const auto init = reinterpret_cast<CURLM* (*)()>(::dlsym(RTLD_NEXT, "curl_multi_init"));
    return fail_multi_init.exchange(false) ? nullptr : init();
}

extern "C" CURLMcode curl_multi_perform(CURLM* multi_handle, int* running_handles) {
    static const auto perform =
        reinterpret_cast<CURLMcode (*)(CURLM*, int*)>(::dlsym(RTLD_NEXT, "curl_multi_perform"));
    return fail_multi_perform.exchange(false) ? CURLM_OUT_OF_MEMORY
                                              : perform(multi_handle, running_handles);
}

namespace {

// "<status> <data>" or "<status> error <error>", the status "-" when there is none.
std::string outcome(const http::result& _result) {
    return (_result.status_code() ? std::to_string(*_result.status_code()) : "-") +
           (_result.ok() ? " " + *_result.data() : " error " + _result.error().value_or(""));
}

// Clients of the server on a loopback port, on the loop of this thread.
class HttpClient : public ::testing::Test {
protected:
    // Runs the loop until the handle's callback ran; the outcome it was given.
    std::string await(const http::client::handle::ptr& _handle) {
        std::string delivered = "nothing";
        _handle->set_callback([&](http::result _result) { delivered = outcome(_result); });
        kelm::test::run_until(m_loop->get_io_context(), [&] { return delivered != "nothing"; });
        return delivered;
    }

    kelm::test::http_server m_server;
    core::logger m_logger{"http-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    core::events_loop::work::ptr m_work = m_loop->create_work();
};

}  // namespace

// The URL is the base address followed by the request's address as they are; a
// body goes as JSON; the status decides between data and error; redirects are
// followed, ten at most.
TEST_F(HttpClient, RequestsGoAsGivenAndTheStatusDecidesBetweenDataAndError) {
    const auto at = m_server.address();
    const auto closed = kelm::test::http_server().address();
    const std::tuple<http::method, std::string, std::string, std::string, std::string> rows[] = {
        {http::method::get, at + "/api", "v1", "", "200 GET /apiv1 [] [] []"},
        {http::method::post, at + "/api/", "/v1", R"({"a":1})",
         R"(200 POST /api//v1 [application/json] [7] [{"a":1}])"},
        {http::method::put, at, "/status/201", "[2]",
         "201 PUT /status/201 [application/json] [3] [[2]]"},
        {http::method::del, at, "/status/404", "", "404 error DELETE /status/404 [] [] []"},
        {http::method::get, at, "/redirect/status/503", "", "503 error GET /status/503 [] [] []"},
        {http::method::get, at, "/delay/1500", "", curl_failed + "Timeout was reached"},
        {http::method::get, closed, "/", "", curl_failed + "Couldn't connect to server"},
        {http::method::get, at, "/redirect", "",
         curl_failed + "Number of redirects hit maximum amount"},
    };
    for (const auto& [method, base, address, body, expected] : rows) {
        SCOPED_TRACE(address);
        const auto client = m_loop->create_http_client(base, 1s, {}, 0);
        EXPECT_EQ(outcome(client->perform_request(method, address, body)), expected);
    }
    // The first request to /redirect, then ten redirects.
    const auto seen = m_server.seen().requests;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "/redirect"), 11);
}

// Disabled methods are answered without a connection. The worker skips a queued request
// whose handle was dropped, logs an exception and delivers it as an error, then goes on;
// its transfers and the synchronous ones share the connections. The client's destruction
// waits for the request in flight and drops those queued.
TEST_F(HttpClient, WorkerServesTheQueueWhileTheClientIsThere) {
    const std::vector<http::method> disabled{http::method::put, http::method::del};
    auto client = m_loop->create_http_client(m_server.address(), 2s, disabled, 1);
    EXPECT_EQ(outcome(client->perform_request(http::method::put, "/status/500", "{}")), "200 ");
    EXPECT_EQ(await(client->perform_async_request(http::method::del, "/status/500", "")), "200 ");
    EXPECT_EQ(m_server.seen().connections, 0u);
    EXPECT_THROW(client->perform_request(http::method::_count, "/"), core::exception);
    test_support::clear_syslog_lines();
    const auto busy = client->perform_async_request(http::method::get, "/delay/100", "");
    client->perform_async_request(http::method::get, "/dropped", "");
    const auto failed = await(client->perform_async_request(http::method::_count, "/", ""));
    EXPECT_NE(failed.find("Unknown enumeration value"), std::string::npos);
    EXPECT_EQ(test_support::take_syslog_texts(), std::vector<std::string>{failed.substr(8)});
    // One connection served the worker's transfers and the synchronous ones.
    EXPECT_TRUE(client->perform_request(http::method::get, "/").ok());
    EXPECT_EQ(m_server.seen().connections, 1u);
    const auto in_flight = client->perform_async_request(http::method::get, "/delay/300", "");
    const auto queued = client->perform_async_request(http::method::get, "/queued", "");
    ASSERT_TRUE(kelm::test::eventually([&] { return m_server.seen().requests.size() == 3; }));
    client.reset();
    EXPECT_EQ(m_server.seen().requests,
              (std::vector<std::string>{"/delay/100", "/", "/delay/300"}));
    EXPECT_EQ(await(in_flight), "200 GET /delay/300 [] [] []");
    EXPECT_FALSE(queued->is_complete());
}

// A body may hold 64 MiB. Beyond, declared or streamed without end, the request fails as
// a transport failure and the transfer stops: a declared length ends it before the body.
TEST_F(HttpClient, ResponseBodiesEndAt64MiB) {
    constexpr std::size_t limit = std::size_t{64} << 20;
    const auto client = m_loop->create_http_client(m_server.address(), 5s, {}, 0);
    const auto full =
        client->perform_request(http::method::get, "/stream/" + std::to_string(limit));
    ASSERT_TRUE(full.ok());
    EXPECT_EQ(full.data()->size(), limit);
    for (const auto& address : {"/stream/" + std::to_string(limit + 1), std::string("/stream")}) {
        const auto refused = client->perform_request(http::method::get, address);
        EXPECT_FALSE(refused.ok() || refused.status_code());
        EXPECT_EQ(refused.error().value_or(""),
                  curl_failed.substr(8) + "Maximum file size exceeded");
    }
    ASSERT_TRUE(kelm::test::eventually([&] { return m_server.seen().streamed.size() == 3; }));
    const auto streamed = m_server.seen().streamed;
    EXPECT_EQ(streamed[0], limit);
    EXPECT_LT(streamed[1], limit / 4);
    EXPECT_LT(streamed[2], limit * 2);
}

// A callback, and what it holds, is destroyed on the loop's thread, also when the caller
// drops the handle just as a worker hands the result over.
TEST_F(HttpClient, CallbacksAreDestroyedOnTheLoopsThread) {
    const auto client = m_loop->create_http_client(m_server.address(), 2s, {}, 2);
    std::mutex mutex;
    std::vector<std::thread::id> destroyed;
    const auto probe = [&] {
        return std::shared_ptr<void>(nullptr, [&](void*) {
            const std::lock_guard<std::mutex> lock(mutex);
            destroyed.push_back(std::this_thread::get_id());
        });
    };
    constexpr std::size_t rounds = 20;
    for (std::size_t i = 0; i < rounds; ++i) {
        auto handle = client->perform_async_request(http::method::get, "/", "",
                                                    [held = probe()](http::result) {});
        // Dropped at once: a worker that held the handle would still hold it now.
        const auto deadline = std::chrono::steady_clock::now() + kelm::test::patience;
        for (int spins = 0; !handle->is_complete() && std::chrono::steady_clock::now() < deadline;
             ++spins) {
            if (spins % 1000 == 0) {
                m_loop->get_io_context().poll_one();
            }
        }
        handle.reset();
    }
    ASSERT_TRUE(kelm::test::eventually([&] {
        const std::lock_guard<std::mutex> lock(mutex);
        return destroyed.size() == rounds;
    }));
    EXPECT_EQ(destroyed, std::vector<std::thread::id>(rounds, std::this_thread::get_id()));
}

// A failure of libcurl's multi interface, the worker's or that of a synchronous request, fails
// the transfers it ran like any transport failure, and the next ones start afresh. The worker runs
// at most the pool size of transfers at once; the rest wait their turn. A callback that throws
// loses none of the results delivered after it, also those the client's destruction waited for.
TEST_F(HttpClient, WorkerFailuresPoolSizeAndThrowingCallbacksLoseNothing) {
    auto client = m_loop->create_http_client(m_server.address(), 5s, {}, 2);
    const auto get = [&] { return outcome(client->perform_request(http::method::get, "/")); };
    fail_multi_perform = true;
    EXPECT_EQ(get(), "- error curl_multi failed:Out of memory");
    fail_multi_init = true;
    EXPECT_EQ(get(), "- error curl_multi_init failed");
    EXPECT_EQ(get(), "200 GET / [] [] []");
    fail_multi_perform = true;
    EXPECT_EQ(await(client->perform_async_request(http::method::get, "/", "")),
              "- error curl_multi failed:Out of memory");
    EXPECT_EQ(await(client->perform_async_request(http::method::get, "/", "")),
              "200 GET / [] [] []");

    const auto before = m_server.seen().requests.size();
    const auto reached = [&](std::size_t _count) {
        return kelm::test::eventually(
            [&] { return m_server.seen().requests.size() == before + _count; });
    };
    std::vector<http::client::handle::ptr> handles;
    std::vector<std::string> delivered;
    for (int i = 0; i < 4; ++i) {
        handles.push_back(client->perform_async_request(
            http::method::get, "/delay/1000", "", [&](http::result _result) {
                delivered.push_back(outcome(_result));
                if (delivered.size() == 1) {
                    throw std::runtime_error("callback failed");
                }
            }));
    }
    ASSERT_TRUE(reached(2));
    // A third transfer would have reached the server by now.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(m_server.seen().requests.size(), before + 2);
    ASSERT_TRUE(reached(4));
    // Every result is on its way once the client is gone.
    client.reset();
    const auto all = [&] { return delivered.size() == 4; };
    EXPECT_THROW(kelm::test::run_until(m_loop->get_io_context(), all), std::runtime_error);
    EXPECT_TRUE(kelm::test::run_until(m_loop->get_io_context(), all));
    EXPECT_EQ(delivered, std::vector<std::string>(4, "200 GET /delay/1000 [] [] []"));
}
