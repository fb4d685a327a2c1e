#include "http_server.hpp"
#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/http/client.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/optional/optional_io.hpp>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace core = kelm::libs::core;
namespace http = kelm::libs::core::http;
using namespace std::chrono_literals;

namespace {

class HttpClient : public ::testing::Test {
protected:
    http::client::ptr make_client(int _threads, std::vector<http::method> _disabled = {},
                                  std::chrono::seconds _timeout = 5s) {
        return m_loop->create_http_client(m_server.address(), _timeout, _disabled, _threads);
    }

    // Runs the loop until the handle's callback ran, which must be on the loop's thread;
    // answers what it was given.
    boost::optional<http::result> await(const http::client::handle::ptr& _handle) {
        boost::optional<http::result> delivered;
        _handle->set_callback([&](http::result _result) {
            EXPECT_EQ(std::this_thread::get_id(), m_loop_thread);
            delivered = std::move(_result);
        });
        kelm::test::run_until(m_loop->get_io_context(), [&] { return bool(delivered); });
        return delivered;
    }

    std::vector<std::string> targets() const {
        std::vector<std::string> targets;
        for (const auto& request : m_server.seen().requests) {
            targets.push_back(request.target);
        }
        return targets;
    }

    kelm::test::http_server m_server;
    core::logger m_logger{"http-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    core::events_loop::work::ptr m_work = m_loop->create_work();
    const std::thread::id m_loop_thread = std::this_thread::get_id();
};

const std::string curl_failed = "curl_easy_perform failed:";

boost::optional<std::string> data_of(const http::result& _result) {
    return _result.data() ? boost::make_optional(std::string(*_result.data())) : boost::none;
}

}  // namespace

TEST_F(HttpClient, UrlIsTheBaseAddressFollowedByTheRequestAddressAsTheyAre) {
    const struct {
        std::string base, address, target;
    } rows[] = {{"/api", "v1", "/apiv1"}, {"/api/", "/v1", "/api//v1"}, {"", "/v1", "/v1"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.base + " + " + row.address);
        const auto client = m_loop->create_http_client(m_server.address() + row.base, 5s);
        EXPECT_TRUE(client->perform_request(http::method::get, row.address).ok());
        EXPECT_EQ(targets().back(), row.target);
    }
}

TEST_F(HttpClient, MethodTextAndJsonBodyReachTheServer) {
    const struct {
        http::method method;
        std::string body, text, content_type;
    } rows[] = {{http::method::get, "", "GET", ""},
                {http::method::post, R"({"a":1})", "POST", "application/json"},
                {http::method::post, "", "POST", ""},
                {http::method::put, "[2]", "PUT", "application/json"},
                {http::method::del, "", "DELETE", ""}};
    const auto client = make_client(1);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text + " " + row.body);
        EXPECT_EQ(data_of(client->perform_request(row.method, "/", row.body)), std::string("ok"));
        const auto request = m_server.seen().requests.back();
        EXPECT_EQ(request.method, row.text);
        EXPECT_EQ(request.content_type, row.content_type);
        EXPECT_EQ(request.has_content_length, !row.body.empty());
        EXPECT_EQ(request.body, row.body);
    }
}

TEST_F(HttpClient, StatusDecidesBetweenDataAndError) {
    const struct {
        std::string address;
        int status;
        boost::optional<std::string> data, error;
    } rows[] = {{"/status/200", 200, std::string("status 200"), boost::none},
                {"/status/204", 204, std::string(), boost::none},
                {"/redirect/status/201", 201, std::string("status 201"), boost::none},
                {"/status/404", 404, boost::none, std::string("status 404")},
                {"/status/503", 503, boost::none, std::string("status 503")}};
    const auto client = make_client(1);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        const auto result = client->perform_request(http::method::get, row.address);
        EXPECT_EQ(result.status_code(), row.status);
        EXPECT_EQ(result.ok(), bool(row.data));
        EXPECT_EQ(data_of(result), row.data);
        EXPECT_EQ(result.error(), row.error);
    }
}

TEST_F(HttpClient, TransportFailuresCarryLibcurlsTextAndNoStatus) {
    unsigned short closed_port = 0;
    {
        boost::asio::io_context io_context;
        boost::asio::ip::tcp::acceptor unused(
            io_context, {boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(0)});
        closed_port = unused.local_endpoint().port();
    }
    const struct {
        std::string base, address, reason;
    } rows[] = {
        {m_server.address(), "/stall", "Timeout was reached"},
        {"http://127.0.0.1:" + std::to_string(closed_port), "/", "Couldn't connect to server"},
        {m_server.address(), "/loop", "Number of redirects hit maximum amount"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        const auto client = m_loop->create_http_client(row.base, 1s, {}, 1);
        const auto result = client->perform_request(http::method::get, row.address);
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(result.status_code(), boost::none);
        EXPECT_EQ(result.error(), curl_failed + row.reason);
    }
    // The first request, then ten redirects.
    const auto received = targets();
    EXPECT_EQ(std::count(received.begin(), received.end(), "/loop"), 11);
}

TEST_F(HttpClient, DisabledMethodIsAnsweredWithoutAConnection) {
    const auto client = make_client(1, {http::method::put, http::method::del, http::method::put});
    for (const auto method : {http::method::put, http::method::del}) {
        const auto sync = client->perform_request(method, "/status/500", "{}");
        const auto async = await(client->perform_async_request(method, "/status/500", "{}"));
        ASSERT_TRUE(async);
        for (const auto& result : {sync, *async}) {
            EXPECT_EQ(result.status_code(), 200);
            EXPECT_EQ(data_of(result), std::string());
        }
    }
    EXPECT_EQ(m_server.seen().connections, 0u);
    EXPECT_EQ(client->perform_request(http::method::post, "/status/500").status_code(), 500);
}

TEST_F(HttpClient, ExceptionInAsyncRequestIsLoggedAndDeliveredAsError) {
    const auto unknown = static_cast<http::method>(7);
    const auto client = make_client(1);
    EXPECT_THROW(client->perform_request(unknown, "/"), core::exception);
    test_support::clear_syslog_lines();
    const auto failed = await(client->perform_async_request(unknown, "/", ""));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status_code(), boost::none);
    ASSERT_TRUE(failed->error());
    EXPECT_NE(failed->error()->find("/core/http/method.hpp:"), std::string::npos);
    EXPECT_NE(failed->error()->find(" Unknown enumeration value"), std::string::npos);
    const auto lines = test_support::syslog_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 3);
    EXPECT_EQ(lines[0].text, *failed->error());
    // The only worker thread is still serving.
    const auto next = await(client->perform_async_request(http::method::get, "/", ""));
    ASSERT_TRUE(next);
    EXPECT_EQ(data_of(*next), std::string("ok"));
}

TEST_F(HttpClient, DroppedHandleOfAQueuedRequestIsNeverSent) {
    const auto client = make_client(1);
    const auto busy = client->perform_async_request(http::method::get, "/delay/200", "");
    client->perform_async_request(http::method::get, "/dropped", "");
    const auto after = client->perform_async_request(http::method::get, "/after", "");
    ASSERT_TRUE(await(after));
    EXPECT_EQ(targets(), (std::vector<std::string>{"/delay/200", "/after"}));
}

TEST_F(HttpClient, PoolOfNoThreadsNeverPerformsAsyncRequests) {
    auto client = make_client(0);
    const auto handle = client->perform_async_request(http::method::get, "/async", "");
    EXPECT_TRUE(client->perform_request(http::method::get, "/sync").ok());
    kelm::test::run_until(
        m_loop->get_io_context(), [] { return false; }, 100ms);
    client.reset();
    EXPECT_FALSE(handle->is_complete());
    EXPECT_EQ(targets(), std::vector<std::string>{"/sync"});
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
    EXPECT_LE(m_server.seen().most_in_hand, std::size_t(threads));
    EXPECT_GE(m_server.seen().most_in_hand, 2u);
    const auto connections = m_server.seen().connections;
    EXPECT_LE(connections, std::size_t(threads));
    // Synchronous and asynchronous transfers share the connections already open.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(client->perform_request(http::method::get, "/").ok());
        const auto async = await(client->perform_async_request(http::method::get, "/", ""));
        ASSERT_TRUE(async && async->ok());
    }
    EXPECT_EQ(m_server.seen().connections, connections);
}

TEST_F(HttpClient, DestroyedWithRequestsInFlightAndQueued) {
    auto client = make_client(2);
    std::vector<http::client::handle::ptr> handles;
    for (const auto* address : {"/delay/300", "/delay/300", "/queued", "/queued", "/queued"}) {
        handles.push_back(client->perform_async_request(http::method::get, address, ""));
    }
    ASSERT_TRUE(kelm::test::eventually([&] { return m_server.seen().requests.size() == 2; }));
    client.reset();
    EXPECT_EQ(targets(), (std::vector<std::string>{"/delay/300", "/delay/300"}));
    for (std::size_t i = 0; i < handles.size(); ++i) {
        EXPECT_EQ(handles[i]->is_complete(), i < 2) << i;
    }
}
