#include "redis_server.hpp"
#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include <boost/optional/optional_io.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace core = kelm::libs::core;
namespace redis = kelm::libs::core::redis;
using kelm::test::fake_server;
using type = redis::reply_type;
using namespace ::testing;

namespace {

template <class Matcher>
auto text(Matcher _matcher) {
    return Field(&test_support::syslog_line::text, _matcher);
}

template <class F>
std::string error_of(F&& _operation) {
    try {
        _operation();
    } catch (const core::exception& e) {
        return e.get_string_error();
    }
    return "no exception";
}

// What the fake server answers: database 7 is never selected (no answer at all), a GET
// is cut off mid-reply, and SCAN "one" ends after one pass while SCAN "big" goes on
// through a cursor above any int.
const std::string big_cursor = "18446744073709551615";
fake_server::answer fake_redis(const std::vector<std::string>& _words) {
    const auto page = [](const std::string& _cursor, const std::string& _key) {
        return fake_server::answer{"*2\r\n$" + std::to_string(_cursor.size()) + "\r\n" + _cursor +
                                   "\r\n*1\r\n$1\r\n" + _key + "\r\n"};
    };
    if (_words[0] == "SELECT") {
        return {_words[1] == "7" ? "" : "+OK\r\n"};
    }
    if (_words[0] == "GET") {
        return {"$10\r\nabc", true};
    }
    if (_words[3] == "one" || (_words[3] == "big" && _words[1] == big_cursor)) {
        return page("0", _words[3] == "one" ? "x" : "b");
    }
    return _words[1] == "0" ? page(big_cursor, "a") : fake_server::answer{"-ERR cursor\r\n"};
}

class Redis : public ::testing::Test {
protected:
    Redis() { test_support::clear_syslog_lines(); }

    template <class T>
    T wait_for(const std::shared_ptr<core::async_operation_handle<T>>& _handle) {
        boost::optional<T> result;
        _handle->set_callback([&](T _result) { result = std::move(_result); });
        if (!kelm::test::run_until(m_loop->get_io_context(), [&] { return !!result; })) {
            throw std::runtime_error("nothing delivered");
        }
        return std::move(*result);
    }

    redis::context::ptr open(int _port, int _db = 0) {
        auto client = wait_for(m_loop->create_redis_context("127.0.0.1", _port, _db));
        if (!client) {
            throw std::runtime_error("the client did not open");
        }
        return std::move(*client);
    }

    core::logger m_logger{"redis-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    kelm::test::redis_server m_server;
    fake_server m_fake{fake_redis};
};

TEST_F(Redis, ReplyViewsReadRealReplies) {
    const auto tree = open(m_server.port())
                          ->create_command({"EVAL",
                                            "return {redis.status_reply('FINE'), "
                                            "redis.error_reply('ERR bad'), 42, false, {1, {}}, "
                                            "ARGV[1], {}, 1099511627776}",
                                            "0", std::string("a\0b", 3)})
                          ->execute();
    const auto items = tree.as_array();
    ASSERT_EQ(items.size(), 8u);
    const std::vector<std::pair<type, boost::optional<boost::string_view>>> rows{
        {type::STATUS, boost::string_view("FINE")},
        {type::ERROR, boost::string_view("ERR bad")},
        {type::INTEGER, boost::none},
        {type::NIL, boost::none},
        {type::ARRAY, boost::none},
        {type::STRING, boost::string_view("a\0b", 3)}};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(items[i].get_type(), rows[i].first);
        EXPECT_EQ(items[i].try_string_view(), rows[i].second);
        if (rows[i].second) {
            EXPECT_EQ(items[i].to_string(), *rows[i].second);
        } else {
            EXPECT_EQ(error_of([&] { items[i].as_string_view(); }),
                      "Reply is not string, actual type: " + to_string(rows[i].first).to_string());
        }
    }
    EXPECT_EQ(error_of([&] { items[3].as_array(); }), "Reply is not array, actual type: nil");
    EXPECT_EQ(error_of([&] { items[0].to_int(); }), "Reply is not integer, actual type: status");
    EXPECT_EQ(items[2].to_int(), 42);
    EXPECT_EQ(items[7].to_long_long(), 1099511627776LL);
    EXPECT_NE(error_of([&] { items[7].to_int(); }), "no exception");
    EXPECT_EQ(error_of([] { to_string(type::_count); }), "Unknown enumeration value");
    EXPECT_EQ(items[4].as_array()[0].to_long_long(), 1);
    for (const auto& empty : {items[4].as_array()[1].as_array(), items[6].as_array()}) {
        EXPECT_EQ(empty.size(), 0u);
        EXPECT_EQ(empty.for_each_element([](const redis::reply_element&) { return true; }),
                  core::iteration_result::finished);
        EXPECT_EQ(error_of([&] { empty[0]; }), "Index out of range");
    }
    int visited = 0;
    EXPECT_EQ(items.for_each_element([&](const redis::reply_element&) { return ++visited < 3; }),
              core::iteration_result::interrupted);
    EXPECT_EQ(visited, 3);
}

class RedisWords : public Redis, public ::testing::WithParamInterface<int> {};

redis::command::ptr with(redis::command::ptr _command, std::vector<std::string> _words) {
    for (auto& word : _words) {
        _command->add_argument(std::move(word));
    }
    return _command;
}

TEST_P(RedisWords, EveryConnectionSelectsFirstAndBuildersSendTheirWords) {
    kelm::test::redis_monitor monitor(m_server.port());
    const auto client = open(m_server.port(), GetParam());
    const auto select = "\"SELECT\" \"" + std::to_string(GetParam()) + "\"";
    EXPECT_THAT(monitor.next(2), ElementsAre(select, select));

    std::vector<std::string> twenty{"RPUSH", "l"};
    std::string twenty_seen = R"("RPUSH" "l")";
    for (int i = 0; i < 18; ++i) {
        twenty.push_back("w" + std::to_string(i));
        twenty_seen += " \"" + twenty.back() + "\"";
    }
    auto& c = *client;
    std::vector<std::pair<redis::command::ptr, std::string>> rows;
    rows.emplace_back(c.set("k", "v"), R"("SET" "k" "v")");
    rows.emplace_back(c.get("k"), R"("GET" "k")");
    rows.emplace_back(c.del("k"), R"("DEL" "k")");
    rows.emplace_back(with(c.add_to_set("s"), {"m1", "m2"}), R"("SADD" "s" "m1" "m2")");
    rows.emplace_back(c.add_to_set("s", "m3"), R"("SADD" "s" "m3")");
    rows.emplace_back(c.remove_from_set("s", "m1"), R"("SREM" "s" "m1")");
    rows.emplace_back(c.get_set_members("s"), R"("SMEMBERS" "s")");
    rows.emplace_back(with(c.set_to_table_multi("t"), {"a", "x", "b", "y"}),
                      R"("HMSET" "t" "a" "x" "b" "y")");
    rows.emplace_back(c.set_to_table("t", "n", "1"), R"("HSET" "t" "n" "1")");
    rows.emplace_back(c.increment_in_table("t", "n", "5"), R"("HINCRBY" "t" "n" "5")");
    rows.emplace_back(c.get_from_table("t", "a"), R"("HGET" "t" "a")");
    rows.emplace_back(with(c.get_from_table_multi("t"), {"a", "b"}), R"("HMGET" "t" "a" "b")");
    rows.emplace_back(c.delete_from_table("t", "a"), R"("HDEL" "t" "a")");
    rows.emplace_back(c.get_table("t"), R"("HGETALL" "t")");
    rows.emplace_back(c.set(std::string("n\0l", 3), "v"), R"("SET" "n\x00l" "v")");
    rows.emplace_back(c.create_command(twenty), twenty_seen);
    // Building sent nothing: the monitor sees each command when it is executed, and
    // again when it is executed again.
    for (const auto& row : rows) {
        row.first->execute();
        EXPECT_THAT(monitor.next(1), ElementsAre(row.second));
    }
    rows.front().first->execute();
    EXPECT_THAT(monitor.next(1), ElementsAre(rows.front().second));
}

INSTANTIATE_TEST_SUITE_P(Databases, RedisWords, ::testing::Values(0, 3));

TEST_F(Redis, AsynchronousRepliesAndDroppedHandles) {
    const auto client = open(m_server.port());
    EXPECT_EQ(wait_for(client->get("missing")->execute_async()).get_type(), type::NIL);
    const auto rejected = wait_for(client->create_command({"NOSUCH"})->execute_async());
    EXPECT_EQ(rejected.get_type(), type::ERROR);
    EXPECT_THAT(rejected.to_string(), StartsWith("ERR unknown command"));
    EXPECT_THAT(error_of([&] { client->create_command({"NOSUCH"})->execute(); }),
                StartsWith("Command: NOSUCH, error: ERR unknown command"));

    bool delivered = false;
    client->set("k", "v")->execute_async()->set_callback([&](redis::reply) { delivered = true; });
    EXPECT_EQ(wait_for(client->get("k")->execute_async()).to_string(), "v");
    EXPECT_FALSE(delivered);
}

TEST_F(Redis, ClientThatCannotBeOpenedDeliversOneEmptyOptionalAndSaysWhy) {
    const std::vector<std::tuple<int, int, std::string>> rows{
        {kelm::test::free_port(), 0, ""},
        {m_server.port(), 99, "Command: SELECT, error: ERR DB index is out of range"},
        {m_fake.port(), 7, "Command: SELECT, error: Resource temporarily unavailable"}};
    for (const auto& [port, db, logged] : rows) {
        SCOPED_TRACE(port);
        test_support::clear_syslog_lines();
        int deliveries = 0;
        auto handle = m_loop->create_redis_context("127.0.0.1", port, db);
        handle->set_callback(
            [&](boost::optional<redis::context::ptr> _client) { deliveries += _client ? 100 : 1; });
        bool drained = false;
        EXPECT_TRUE(kelm::test::run_until(m_loop->get_io_context(), [&] { return deliveries; }));
        m_loop->post([&] { drained = true; }, KELM_SOURCE_LOCATION());
        EXPECT_TRUE(kelm::test::run_until(m_loop->get_io_context(), [&] { return drained; }));
        EXPECT_EQ(deliveries, 1);
        if (logged.empty()) {
            EXPECT_THAT(test_support::syslog_lines(), IsEmpty());
        } else {
            EXPECT_THAT(test_support::syslog_lines(), ElementsAre(text(HasSubstr(logged))));
        }
    }
}

TEST_F(Redis, ServerKilledWithCommandsPendingThenBackAgain) {
    const auto handle = m_loop->create_redis_context("127.0.0.1", m_server.port(), 0);
    auto client = std::move(*wait_for(handle));
    std::vector<type> replies;
    const auto blocked = client->create_command({"BLPOP", "nothing", "0"})->execute_async();
    const auto queued = client->get("k")->execute_async();
    for (const auto& pending : {blocked, queued}) {
        pending->set_callback([&](redis::reply _r) { replies.push_back(_r.get_type()); });
    }
    m_server.kill();
    EXPECT_TRUE(
        kelm::test::run_until(m_loop->get_io_context(), [&] { return replies.size() == 2; }));
    EXPECT_EQ(replies, (std::vector<type>{type::NIL, type::NIL}));
    EXPECT_THAT(test_support::syslog_lines(),
                ElementsAre(text(StartsWith("Connection to the redis server lost: "))));
    EXPECT_EQ(error_of([&] { client->get("k")->execute_async(); }), "Command: GET, error");
    EXPECT_THAT(error_of([&] { client->get("k")->execute(); }),
                StartsWith("Command: GET, error: "));
    client.reset();

    m_server.start();
    handle->restart();
    auto again = wait_for(handle);
    ASSERT_TRUE(again);
    (*again)->set("k", "back")->execute();
    EXPECT_EQ(wait_for((*again)->get("k")->execute_async()).to_string(), "back");
}

TEST_F(Redis, ConnectionClosedMidReply) {
    const auto client = open(m_fake.port());
    EXPECT_EQ(wait_for(client->get("k")->execute_async()).get_type(), type::NIL);
    EXPECT_THAT(
        test_support::syslog_lines(),
        ElementsAre(text(Eq("Connection to the redis server lost: Server closed the connection"))));
    EXPECT_EQ(error_of([&] { client->get("k")->execute(); }),
              "Command: GET, error: Server closed the connection");
}

TEST_F(Redis, ScanVisitsEveryKeyOnceAndStopsWhenAsked) {
    const auto client = open(m_server.port());
    client
        ->create_command({"EVAL", "for i = 1, 10000 do redis.call('SET', 'key:' .. i, i) end", "0"})
        ->execute();
    client->set("other", "x")->execute();
    std::multiset<std::string> keys;
    const auto all = client->scan("key:*", [&](boost::string_view _key) {
        keys.insert(_key.to_string());
        return true;
    });
    EXPECT_EQ(all, core::iteration_result::finished);
    EXPECT_EQ(keys.size(), 10000u);
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 10000u);

    int calls = 0;
    EXPECT_EQ(client->scan("*", [&](boost::string_view) { return ++calls > 1; }),
              core::iteration_result::interrupted);
    EXPECT_EQ(calls, 1);
}

TEST_F(Redis, ScanCarriesCursorsAsUnsigned64BitNumbers) {
    const auto client = open(m_fake.port());
    for (const auto& [pattern, expected] :
         {std::make_pair("one", "x"), std::make_pair("big", "ab")}) {
        std::string visited;
        EXPECT_EQ(client->scan(pattern,
                               [&](boost::string_view _key) {
                                   visited += _key.to_string();
                                   return true;
                               }),
                  core::iteration_result::finished);
        EXPECT_EQ(visited, expected);
    }
}

}  // namespace
