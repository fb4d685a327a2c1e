#include "fake_server.hpp"
#include "redis_server.hpp"
#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include <boost/optional/optional_io.hpp>

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace core = kelm::libs::core;
namespace redis = kelm::libs::core::redis;
using fake_server = kelm::test::fake_server;

namespace {

template <class F>
std::string error_of(F&& _operation) {
    try {
        _operation();
    } catch (const core::exception& e) {
        return e.get_string_error();
    }
    return "no exception";
}

std::string bulk(const std::string& _text) {
    return "$" + std::to_string(_text.size()) + "\r\n" + _text + "\r\n";
}

std::vector<std::string> lines_starting(const std::string& _prefix) {
    std::vector<std::string> found;
    for (const auto& line : test_support::syslog_lines()) {
        if (line.text.rfind(_prefix, 0) == 0) {
            found.push_back(line.text);
        }
    }
    return found;
}

class Redis : public ::testing::Test {
protected:
    Redis() { test_support::clear_syslog_lines(); }

    // Waits for the handle's delivery.
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
};

TEST_F(Redis, ReplyViewsReadRealReplies) {
    const auto client = open(m_server.port());
    const auto script =
        "return {redis.status_reply('FINE'), redis.error_reply('ERR bad'), 42, false, {1, {}}, "
        "ARGV[1], {}, 1099511627776}";
    const auto tree =
        client->create_command({"EVAL", script, "0", std::string("a\0b", 3)})->execute();
    const auto items = tree.as_array();
    ASSERT_EQ(items.size(), 8u);

    const struct {
        std::size_t index;
        redis::reply_type type;
        boost::optional<std::string> text;
    } rows[] = {
        {0, redis::reply_type::STATUS, std::string("FINE")},
        {1, redis::reply_type::ERROR, std::string("ERR bad")},
        {2, redis::reply_type::INTEGER, boost::none},
        {3, redis::reply_type::NIL, boost::none},
        {4, redis::reply_type::ARRAY, boost::none},
        {5, redis::reply_type::STRING, std::string("a\0b", 3)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.index);
        const auto item = items[row.index];
        EXPECT_EQ(item.get_type(), row.type);
        if (row.text) {
            EXPECT_EQ(item.to_string(), *row.text);
            EXPECT_EQ(item.try_string_view(), boost::string_view(*row.text));
        } else {
            EXPECT_FALSE(item.try_string_view());
            EXPECT_EQ(
                error_of([&] { item.as_string_view(); }),
                "Reply is not string, actual type: " + redis::to_string(row.type).to_string());
        }
    }
    EXPECT_EQ(error_of([&] { items[3].as_array(); }), "Reply is not array, actual type: nil");
    EXPECT_EQ(error_of([&] { items[0].to_int(); }), "Reply is not integer, actual type: status");
    EXPECT_EQ(items[2].to_int(), 42);
    EXPECT_EQ(items[7].to_long_long(), 1099511627776LL);
    EXPECT_NE(error_of([&] { items[7].to_int(); }), "no exception");
    EXPECT_EQ(error_of([] { redis::to_string(redis::reply_type::_count); }),
              "Unknown enumeration value");

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

TEST_P(RedisWords, EveryConnectionSelectsFirstAndBuildersSendTheirWords) {
    kelm::test::redis_monitor monitor(m_server.port());
    const auto client = open(m_server.port(), GetParam());
    const auto selects = monitor.next(2);
    ASSERT_EQ(selects.size(), 2u);
    EXPECT_NE(selects[0].client, selects[1].client);
    for (const auto& select : selects) {
        EXPECT_EQ(select.words, "\"SELECT\" \"" + std::to_string(GetParam()) + "\"");
    }

    std::vector<std::string> twenty{"RPUSH", "l"};
    std::string twenty_seen = "\"RPUSH\" \"l\"";
    for (int i = 0; i < 18; ++i) {
        twenty.push_back("w" + std::to_string(i));
        twenty_seen += " \"w" + std::to_string(i) + "\"";
    }
    const struct {
        std::function<redis::command::ptr(redis::context&)> make;
        std::string seen;
    } rows[] = {
        {[](auto& c) { return c.set("k", "v"); }, R"("SET" "k" "v")"},
        {[](auto& c) { return c.get("k"); }, R"("GET" "k")"},
        {[](auto& c) { return c.del("k"); }, R"("DEL" "k")"},
        {[](auto& c) {
             auto command = c.add_to_set("s");
             command->add_argument("m1").add_argument("m2");
             return command;
         },
         R"("SADD" "s" "m1" "m2")"},
        {[](auto& c) { return c.add_to_set("s", "m3"); }, R"("SADD" "s" "m3")"},
        {[](auto& c) { return c.remove_from_set("s", "m1"); }, R"("SREM" "s" "m1")"},
        {[](auto& c) { return c.get_set_members("s"); }, R"("SMEMBERS" "s")"},
        {[](auto& c) {
             auto command = c.set_to_table_multi("t");
             command->add_argument("a").add_argument("x").add_argument("b").add_argument("y");
             return command;
         },
         R"("HMSET" "t" "a" "x" "b" "y")"},
        {[](auto& c) { return c.set_to_table("t", "n", "1"); }, R"("HSET" "t" "n" "1")"},
        {[](auto& c) { return c.increment_in_table("t", "n", "5"); }, R"("HINCRBY" "t" "n" "5")"},
        {[](auto& c) { return c.get_from_table("t", "a"); }, R"("HGET" "t" "a")"},
        {[](auto& c) {
             auto command = c.get_from_table_multi("t");
             command->add_argument("a").add_argument("b");
             return command;
         },
         R"("HMGET" "t" "a" "b")"},
        {[](auto& c) { return c.delete_from_table("t", "a"); }, R"("HDEL" "t" "a")"},
        {[](auto& c) { return c.get_table("t"); }, R"("HGETALL" "t")"},
        {[](auto& c) { return c.set(std::string("n\0l", 3), "v"); }, R"("SET" "n\x00l" "v")"},
        {[&](auto& c) { return c.create_command(twenty); }, twenty_seen},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seen);
        row.make(*client)->execute();
        const auto seen = monitor.next(1);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].words, row.seen);
    }

    // Nothing goes out before execute, and each execute sends once more.
    const auto get = client->get("k");
    client->set("k", "again")->execute();
    EXPECT_EQ(get->execute().to_string(), "again");
    EXPECT_EQ(get->execute().to_string(), "again");
    std::vector<std::string> words;
    for (const auto& seen : monitor.next(3)) {
        words.push_back(seen.words);
    }
    EXPECT_EQ(words,
              (std::vector<std::string>{R"("SET" "k" "again")", R"("GET" "k")", R"("GET" "k")"}));
}

INSTANTIATE_TEST_SUITE_P(Databases, RedisWords, ::testing::Values(0, 3));

TEST_F(Redis, AsynchronousRepliesAndDroppedHandles) {
    const auto client = open(m_server.port());
    EXPECT_EQ(wait_for(client->get("missing")->execute_async()).get_type(), redis::reply_type::NIL);
    const auto rejected = wait_for(client->create_command({"NOSUCH"})->execute_async());
    EXPECT_EQ(rejected.get_type(), redis::reply_type::ERROR);
    EXPECT_EQ(rejected.to_string().rfind("ERR unknown command", 0), 0u);
    EXPECT_EQ(error_of([&] {
                  client->create_command({"NOSUCH"})->execute();
              }).rfind("Command: NOSUCH, error: ERR unknown command", 0),
              0u);

    bool delivered = false;
    client->set("k", "v")->execute_async()->set_callback([&](redis::reply) { delivered = true; });
    EXPECT_EQ(wait_for(client->get("k")->execute_async()).to_string(), "v");
    EXPECT_FALSE(delivered);
}

TEST_F(Redis, ClientThatCannotBeOpenedDeliversOneEmptyOptionalAndSaysWhy) {
    fake_server silent([](const std::vector<std::string>&) { return fake_server::answer{}; });
    const struct {
        int port;
        int db;
        std::string logged;
    } rows[] = {
        {kelm::test::free_port(), 0, ""},
        {m_server.port(), 99, "Command: SELECT, error: ERR DB index is out of range"},
        {silent.port(), 0, "Command: SELECT, error: Resource temporarily unavailable"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.port);
        test_support::clear_syslog_lines();
        int deliveries = 0;
        auto handle = m_loop->create_redis_context("127.0.0.1", row.port, row.db);
        handle->set_callback([&](boost::optional<redis::context::ptr> _client) {
            ++deliveries;
            EXPECT_FALSE(_client);
        });
        EXPECT_TRUE(kelm::test::run_until(m_loop->get_io_context(), [&] { return deliveries; }));
        bool drained = false;
        m_loop->post([&] { drained = true; }, KELM_SOURCE_LOCATION());
        EXPECT_TRUE(kelm::test::run_until(m_loop->get_io_context(), [&] { return drained; }));
        EXPECT_EQ(deliveries, 1);
        const auto lines = test_support::syslog_lines();
        if (row.logged.empty()) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].text.find(row.logged), std::string::npos) << lines[0].text;
        }
    }
}

TEST_F(Redis, ServerKilledWithCommandsPendingThenBackAgain) {
    const auto handle = m_loop->create_redis_context("127.0.0.1", m_server.port(), 0);
    auto client = std::move(*wait_for(handle));
    const auto blocked = client->create_command({"BLPOP", "nothing", "0"})->execute_async();
    const auto queued = client->get("k")->execute_async();
    std::vector<redis::reply_type> replies;
    for (const auto& pending : {blocked, queued}) {
        pending->set_callback([&](redis::reply _reply) { replies.push_back(_reply.get_type()); });
    }
    m_server.kill();
    EXPECT_TRUE(
        kelm::test::run_until(m_loop->get_io_context(), [&] { return replies.size() == 2; }));
    EXPECT_EQ(replies,
              (std::vector<redis::reply_type>{redis::reply_type::NIL, redis::reply_type::NIL}));
    EXPECT_EQ(lines_starting("Connection to the redis server lost: ").size(), 1u);
    EXPECT_EQ(error_of([&] { client->get("k")->execute_async(); }), "Command: GET, error");
    EXPECT_EQ(error_of([&] { client->get("k")->execute(); }).rfind("Command: GET, error: ", 0), 0u);
    client.reset();

    m_server.start();
    handle->restart();
    auto again = wait_for(handle);
    ASSERT_TRUE(again);
    (*again)->set("k", "back")->execute();
    EXPECT_EQ(wait_for((*again)->get("k")->execute_async()).to_string(), "back");
}

TEST_F(Redis, ConnectionClosedMidReply) {
    fake_server server([](const std::vector<std::string>& _words) {
        return _words[0] == "SELECT" ? fake_server::answer{"+OK\r\n"}
                                     : fake_server::answer{"$10\r\nabc", true};
    });
    const auto client = open(server.port());
    EXPECT_EQ(wait_for(client->get("k")->execute_async()).get_type(), redis::reply_type::NIL);
    EXPECT_EQ(
        lines_starting("Connection to the redis server lost: Server closed the connection").size(),
        1u);
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
    EXPECT_EQ(client->scan("key:*",
                           [&](boost::string_view _key) {
                               keys.insert(_key.to_string());
                               return true;
                           }),
              core::iteration_result::finished);
    EXPECT_EQ(keys.size(), 10000u);
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 10000u);
    EXPECT_EQ(keys.count("key:1"), 1u);

    kelm::test::redis_monitor monitor(m_server.port());
    int calls = 0;
    EXPECT_EQ(client->scan("*", [&](boost::string_view) { return ++calls > 1; }),
              core::iteration_result::interrupted);
    EXPECT_EQ(calls, 1);
    client->create_command({"PING"})->execute();
    const auto seen = monitor.next(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].words, R"("SCAN" "0" "MATCH" "*")");
    EXPECT_EQ(seen[1].words, R"("PING")");
}

TEST_F(Redis, ScanCarriesCursorsAsUnsigned64BitNumbers) {
    const std::string big = "18446744073709551615";
    int first_passes = 0;
    fake_server server([&](const std::vector<std::string>& _words) {
        const auto page = [](const std::string& _cursor, const std::string& _key) {
            return fake_server::answer{"*2\r\n" + bulk(_cursor) + "*1\r\n" + bulk(_key)};
        };
        if (_words[0] == "SELECT") {
            return fake_server::answer{"+OK\r\n"};
        }
        if (_words[3] == "one" && _words[1] == "0" && ++first_passes == 1) {
            return page("0", "only");
        }
        if (_words[3] == "big" && _words[1] == "0") {
            return page(big, "a");
        }
        if (_words[3] == "big" && _words[1] == big) {
            return page("0", "b");
        }
        return fake_server::answer{"-ERR unexpected\r\n"};
    });
    const auto client = open(server.port());
    for (const auto& [pattern, expected] :
         {std::pair<std::string, std::string>{"one", "only"}, {"big", "ab"}}) {
        SCOPED_TRACE(pattern);
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
