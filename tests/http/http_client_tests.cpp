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
    const struct {
        http::method method;
        std::string base, address, body, outcome;
    } rows[] = {
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
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        const auto client = m_loop->create_http_client(row.base, 1s, {}, 0);
        EXPECT_EQ(outcome(client->perform_request(row.method, row.address, row.body)), row.outcome);
    }
    // The first request to /redirect, then ten redirects.
    const auto seen = m_server.seen().requests;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "/redirect"), 11);
}

// Disabled methods are answered without a connection. The worker skips a queued
// request whose handle was dropped, logs an exception and delivers it as an
// error, then goes on. The client's destruction waits for the request in flight
// and drops those queued.
TEST_F(HttpClient, WorkerServesTheQueueWhileTheClientIsThere) {
    const std::vector<http::method> disabled{http::method::put, http::method::del,
                                             http::method::put};
    auto client = m_loop->create_http_client(m_server.address(), 2s, disabled, 1);
    EXPECT_EQ(outcome(client->perform_request(http::method::put, "/status/500", "{}")), "200 ");
    EXPECT_EQ(await(client->perform_async_request(http::method::del, "/status/500", "")), "200 ");
    EXPECT_EQ(m_server.seen().connections, 0u);
    EXPECT_THROW(client->perform_request(http::method::_count, "/"), core::exception);
    test_support::clear_syslog_lines();
    const auto busy = client->perform_async_request(http::method::get, "/delay/100", "");
    client->perform_async_request(http::method::get, "/dropped", "");
    const auto failed = await(client->perform_async_request(http::method::_count, "/", ""));
    EXPECT_NE(failed.find(" Unknown enumeration value", failed.find("/core/http/method.hpp:")),
              std::string::npos);
    // Logged as an error.
    const auto lines = test_support::syslog_lines();
    EXPECT_TRUE(lines.size() == 1 && lines[0].priority == 3 &&
                "- error " + lines[0].text == failed);
    const auto in_flight = client->perform_async_request(http::method::get, "/delay/300", "");
    const auto queued = client->perform_async_request(http::method::get, "/queued", "");
    ASSERT_TRUE(kelm::test::eventually([&] { return m_server.seen().requests.size() == 2; }));
    client.reset();
    EXPECT_EQ(m_server.seen().requests, (std::vector<std::string>{"/delay/100", "/delay/300"}));
    EXPECT_TRUE(in_flight->is_complete());
    EXPECT_FALSE(queued->is_complete());
}

// More threads than the five connections libcurl keeps by default: each transfer takes
// one of the connections the pool keeps, and synchronous and asynchronous transfers share
// them.
TEST_F(HttpClient, TransfersShareTheConnectionsOfThePool) {
    constexpr int threads = 8;
    const auto client = m_loop->create_http_client(m_server.address(), 2s, {}, threads);
    std::vector<http::client::handle::ptr> handles;
    int delivered = 0;
    for (int i = 0; i < 4 * threads; ++i) {
        handles.push_back(client->perform_async_request(
            http::method::get, "/delay/50",
            [&](http::result _result) { delivered += _result.ok(); }));
    }
    ASSERT_TRUE(
        kelm::test::run_until(m_loop->get_io_context(), [&] { return delivered == 4 * threads; }));
    const auto connections = m_server.seen().connections;
    EXPECT_LE(connections, std::size_t(threads));
    EXPECT_TRUE(client->perform_request(http::method::get, "/").ok());
    EXPECT_EQ(await(client->perform_async_request(http::method::get, "/", "")),
              "200 GET / [] [] []");
    EXPECT_EQ(m_server.seen().connections, connections);
}
