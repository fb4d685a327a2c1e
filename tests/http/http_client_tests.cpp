#include "http_server.hpp"
#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/http/client.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace core = kelm::libs::core;
namespace http = kelm::libs::core::http;
using namespace std::chrono_literals;

namespace {

const std::string curl_failed = "- error curl_easy_perform failed:";

// "<status> <data>" or "<status> error <error>", the status "-" when there is none.
std::string outcome(const http::result& _result) {
    return (_result.status_code() ? std::to_string(*_result.status_code()) : "-") +
           (_result.ok() ? " " + *_result.data() : " error " + _result.error().value_or(""));
}

class HttpClient : public ::testing::Test {
protected:
    http::client::ptr make_client(int _threads, std::vector<http::method> _disabled = {}) {
        return m_loop->create_http_client(m_server.address(), 2s, _disabled, _threads);
    }

    // Runs the loop until the handle's callback ran, which must be on the loop's thread;
    // the outcome it was given.
    std::string await(const http::client::handle::ptr& _handle) {
        std::string delivered = "nothing";
        _handle->set_callback([&](http::result _result) {
            EXPECT_EQ(std::this_thread::get_id(), m_loop_thread);
            delivered = outcome(_result);
        });
        kelm::test::run_until(m_loop->get_io_context(), [&] { return delivered != "nothing"; });
        return delivered;
    }

    kelm::test::http_server m_server;
    core::logger m_logger{"http-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    core::events_loop::work::ptr m_work = m_loop->create_work();
    const std::thread::id m_loop_thread = std::this_thread::get_id();
};

}  // namespace

// The URL is the base address followed by the request's address as they are; a body goes
// as JSON; the status decides between data and error; redirects are followed, ten at
// most. Clients without threads perform the synchronous requests, never the others.
TEST_F(HttpClient, RequestsGoAsGivenAndTheStatusDecidesBetweenDataAndError) {
    const auto at = m_server.address();
    const auto closed = [] { return kelm::test::http_server().address(); }();
    auto idle = make_client(0);
    const auto never = idle->perform_async_request(http::method::get, "/never", "");
    const struct {
        http::method method;
        std::string base, address, body, outcome;
    } rows[] = {
        {http::method::get, at + "/api", "v1", "", "200 GET /apiv1 [] [] []"},
        {http::method::post, at + "/api/", "/v1", R"({"a":1})",
         R"(200 POST /api//v1 [application/json] [7] [{"a":1}])"},
        {http::method::post, at, "/", "", "200 POST / [] [] []"},
        {http::method::put, at, "/status/201", "[2]",
         "201 PUT /status/201 [application/json] [3] [[2]]"},
        {http::method::del, at, "/status/404", "", "404 error DELETE /status/404 [] [] []"},
        {http::method::get, at, "/redirect/status/503", "", "503 error GET /status/503 [] [] []"},
        {http::method::get, at, "/delay/5000", "", curl_failed + "Timeout was reached"},
        {http::method::get, closed, "/", "", curl_failed + "Couldn't connect to server"},
        {http::method::get, at, "/redirect", "",
         curl_failed + "Number of redirects hit maximum amount"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        const auto client = m_loop->create_http_client(row.base, 3s, {}, 0);
        EXPECT_EQ(outcome(client->perform_request(row.method, row.address, row.body)), row.outcome);
    }
    idle.reset();
    EXPECT_FALSE(never->is_complete());
    // The first request to /redirect, then ten redirects.
    const auto seen = m_server.seen().requests;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "/redirect"), 11);
}

// Disabled methods are answered without a connection. The worker skips a queued request
// whose handle was dropped, logs an exception and delivers it as an error, then goes on.
// The client's destruction waits for the request in flight and drops those queued.
TEST_F(HttpClient, WorkerServesTheQueueWhileTheClientIsThere) {
    auto client = make_client(1, {http::method::put, http::method::del, http::method::put});
    for (const auto method : {http::method::put, http::method::del}) {
        EXPECT_EQ(outcome(client->perform_request(method, "/status/500", "{}")), "200 ");
        EXPECT_EQ(await(client->perform_async_request(method, "/status/500", "{}")), "200 ");
    }
    EXPECT_EQ(m_server.seen().connections, 0u);
    EXPECT_THROW(client->perform_request(http::method::_count, "/"), core::exception);
    test_support::clear_syslog_lines();
    const auto busy = client->perform_async_request(http::method::get, "/delay/100", "");
    client->perform_async_request(http::method::get, "/dropped", "");
    const auto failed = await(client->perform_async_request(http::method::_count, "/", ""));
    EXPECT_NE(failed.find(" Unknown enumeration value", failed.find("/core/http/method.hpp:")),
              std::string::npos);
    const auto lines = test_support::syslog_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 3);
    EXPECT_EQ("- error " + lines[0].text, failed);
    const auto in_flight = client->perform_async_request(http::method::get, "/delay/300", "");
    const auto queued = client->perform_async_request(http::method::get, "/queued", "");
    ASSERT_TRUE(kelm::test::eventually([&] { return m_server.seen().requests.size() == 2; }));
    client.reset();
    EXPECT_EQ(m_server.seen().requests, (std::vector<std::string>{"/delay/100", "/delay/300"}));
    EXPECT_TRUE(in_flight->is_complete());
    EXPECT_FALSE(queued->is_complete());
}

TEST_F(HttpClient, PoolBoundsTransfersAtOnceAndConnectionsAreReused) {
    // More threads than the five connections libcurl keeps by default.
    constexpr int threads = 8;
    const auto client = make_client(threads);
    std::vector<http::client::handle::ptr> handles;
    int delivered = 0;
    for (int i = 0; i < 4 * threads; ++i) {
        handles.push_back(client->perform_async_request(
            http::method::get, "/delay/50",
            [&](http::result _result) { delivered += _result.ok(); }));
    }
    ASSERT_TRUE(
        kelm::test::run_until(m_loop->get_io_context(), [&] { return delivered == 4 * threads; }));
    const auto seen = m_server.seen();
    EXPECT_TRUE(seen.most_in_hand >= 2 && seen.most_in_hand <= threads) << seen.most_in_hand;
    EXPECT_LE(seen.connections, std::size_t(threads));
    // Synchronous and asynchronous transfers share the connections already open.
    EXPECT_TRUE(client->perform_request(http::method::get, "/").ok());
    EXPECT_EQ(await(client->perform_async_request(http::method::get, "/", "")),
              "200 GET / [] [] []");
    EXPECT_EQ(m_server.seen().connections, seen.connections);
}
