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
#include <tuple>
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
    EXPECT_TRUE(in_flight->is_complete());
    EXPECT_FALSE(queued->is_complete());
}
