#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include <hiredis/hiredis.h>

#include <boost/asio/ip/tcp.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <thread>

extern char** environ;

namespace core = kelm::libs::core;
namespace redis = kelm::libs::core::redis;
using boost::asio::ip::tcp;
using kelm::test::run_until;
using type = redis::reply_type;
using words = std::vector<std::string>;
using namespace ::testing;

namespace {

// A socket listening on a free loopback port. Connections to it open (the kernel
// accepts them) but are never answered.
tcp::acceptor listener(boost::asio::io_context& _io) {
    return tcp::acceptor(_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
}

// A stand-in for a Redis server, for the cursors a real one never gives: it records
// the words of each command, answers SCAN with MATCH "big" in two pages, through
// a cursor above any int, and anything else with OK.
class fake_server {
public:
    explicit fake_server(boost::asio::io_context& _io) : m_listener(listener(_io)) {}
    // Waits for the clients to close their connections.
    ~fake_server() {
        ::shutdown(m_listener.native_handle(), SHUT_RDWR);
        m_thread.join();
    }

    int port() const { return m_port; }
    std::size_t received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received.size();
    }
    // The commands received since the last call.
    std::vector<words> take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_received, {});
    }

private:
    static std::string answer(const words& _words) {
        const std::string big = "18446744073709551615";
        return _words == words{"SCAN", "0", "MATCH", "big"}
                   ? "*2\r\n$20\r\n" + big + "\r\n*1\r\n$1\r\na\r\n"
               : _words == words{"SCAN", big, "MATCH", "big"} ? "*2\r\n$1\r\n0\r\n*1\r\n$1\r\nb\r\n"
                                                              : "+OK\r\n";
    }

    // Commands are arrays of bulk strings, which hiredis's reply reader parses.
    void serve() {
        std::vector<std::thread> connections;
        for (int fd; (fd = ::accept(m_listener.native_handle(), nullptr, nullptr)) >= 0;) {
            connections.emplace_back([this, fd] {
                const std::unique_ptr<redisReader, decltype(&redisReaderFree)> reader(
                    redisReaderCreate(), redisReaderFree);
                char buffer[4096];
                for (ssize_t size; (size = ::read(fd, buffer, sizeof(buffer))) > 0;) {
                    redisReaderFeed(reader.get(), buffer, size);
                    for (void* record;
                         redisReaderGetReply(reader.get(), &record) == REDIS_OK && record;) {
                        const auto& command = *static_cast<redisReply*>(record);
                        words received;
                        for (std::size_t i = 0; i < command.elements; ++i) {
                            received.emplace_back(command.element[i]->str, command.element[i]->len);
                        }
                        freeReplyObject(record);
                        std::unique_lock<std::mutex> lock(m_mutex);
                        m_received.push_back(received);
                        lock.unlock();
                        const auto bytes = answer(received);
                        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                    }
                }
                ::close(fd);
            });
        }
        for (auto& connection : connections) {
            connection.join();
        }
    }

    tcp::acceptor m_listener;
    const int m_port = m_listener.local_endpoint().port();
    std::mutex m_mutex;
    std::vector<words> m_received;
    std::thread m_thread{[this] { serve(); }};
};

// The system log holds one line with the text, or nothing for no text.
Matcher<std::vector<test_support::syslog_line>> logged(const std::string& _text) {
    return AllOf(SizeIs(_text.empty() ? 0 : 1),
                 Each(Field(&test_support::syslog_line::text, HasSubstr(_text))));
}

// What the operation answers, or the error it throws.
std::string outcome(const std::function<std::string()>& _operation) {
    try {
        return _operation();
    } catch (const core::exception& e) {
        return e.get_string_error();
    }
}

// Each test runs a redis-server of its own on a free loopback port, keeping nothing on
// disk, and a fake server.
class Redis : public ::testing::Test {
protected:
    Redis() {
        test_support::clear_syslog_lines();
        start_server();
    }
    ~Redis() override { kill_server(); }

    // Starts an empty server on the port; returns once it accepts connections.
    void start_server() {
        const auto port = std::to_string(m_port);
        const char* argv[] = {"redis-server", "--port", port.c_str(), "--bind",    "127.0.0.1",
                              "--save",       "",       "--logfile",  "/dev/null", nullptr};
        const auto accepts = [this] {
            const std::unique_ptr<redisContext, decltype(&redisFree)> context(
                redisConnect("127.0.0.1", m_port), redisFree);
            return context && context->err == 0;
        };
        if (::posix_spawnp(&m_pid, "redis-server", nullptr, nullptr, const_cast<char**>(argv),
                           environ) != 0 ||
            !kelm::test::eventually(accepts)) {
            throw std::runtime_error("redis-server does not start");
        }
    }

    // Ends the server at once, as a crash would.
    void kill_server() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(std::exchange(m_pid, 0), nullptr, 0);
        }
    }

    template <class T>
    T wait_for(const std::shared_ptr<core::async_operation_handle<T>>& _handle) {
        boost::optional<T> result;
        _handle->set_callback([&](T _result) { result = std::move(_result); });
        run_until(m_io, [&] { return !!result; });
        return std::move(result.value());
    }

    redis::context::ptr open(int _port, int _db = 0) {
        return std::move(wait_for(m_loop->create_redis_context("127.0.0.1", _port, _db)).value());
    }

    // What executing the command sends; building it must have sent nothing.
    std::vector<words> sent(redis::command& _command) {
        EXPECT_THAT(m_fake.take(), IsEmpty());
        _command.execute();
        return m_fake.take();
    }

    core::logger m_logger{"redis-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    boost::asio::io_context& m_io = m_loop->get_io_context();
    const int m_port = listener(m_io).local_endpoint().port();
    pid_t m_pid = 0;
    fake_server m_fake{m_io};
};

TEST_F(Redis, ReplyViewsReadRealReplies) {
    const std::string script =
        "return {redis.status_reply('FINE'), redis.error_reply('ERR bad'), "
        "42, false, {}, ARGV[1], 1099511627776}";
    const auto tree =
        open(m_port)->create_command({"EVAL", script, "0", std::string("a\0b", 3)})->execute();
    const auto items = tree.as_array();
    std::vector<std::string> read;
    EXPECT_EQ(items.for_each_element([&](const redis::reply_element& _item) {
        read.push_back(to_string(_item.get_type()).to_string() + " " +
                       outcome([&] { return _item.to_string(); }));
        return true;
    }),
              core::iteration_result::finished);
    const std::string not_string = "Reply is not string, actual type: ";
    EXPECT_EQ(read,
              (words{"status FINE", "error ERR bad", "integer " + not_string + "integer",
                     "nil " + not_string + "nil", "array " + not_string + "array",
                     "string " + std::string("a\0b", 3), "integer " + not_string + "integer"}));
    EXPECT_EQ(items[2].to_int(), 42);
    EXPECT_EQ(items[6].to_long_long(), 1099511627776LL);
    EXPECT_EQ(outcome([&] { return std::to_string(items[6].to_int()); }),
              "Reply integer is out of the range of int: 1099511627776");
    EXPECT_EQ(outcome([&] { return std::to_string(items[0].to_int()); }),
              "Reply is not integer, actual type: status");
    EXPECT_EQ(outcome([&] { return std::to_string(items[3].as_array().size()); }),
              "Reply is not array, actual type: nil");
    EXPECT_EQ(outcome([&] { return items[4].as_array()[0].to_string(); }), "Index out of range");
    EXPECT_EQ(outcome([] { return to_string(type::_count).to_string(); }),
              "Unknown enumeration value");
    int visited = 0;
    EXPECT_EQ(items.for_each_element([&](const redis::reply_element&) { return ++visited < 3; }),
              core::iteration_result::interrupted);
    EXPECT_EQ(visited, 3);
}

TEST_F(Redis, EachConnectionSelectsAndBuildersSendTheirWordsWhenExecuted) {
    redis::context::ptr c;
    for (const std::string db : {"0", "3"}) {
        c = open(m_fake.port(), std::stoi(db));
        run_until(m_io, [&] { return m_fake.received() >= 2; });
        EXPECT_EQ(m_fake.take(), std::vector<words>(2, {"SELECT", db}));
    }
    const words many(20, "word");
    const auto set = c->set("k", "v");
    const std::vector<std::pair<std::vector<words>, words>> rows{
        {sent(*set), {"SET", "k", "v"}},
        {sent(*c->get("k")), {"GET", "k"}},
        {sent(*c->del("k")), {"DEL", "k"}},
        {sent(c->add_to_set("s")->add_argument("a").add_argument("b")), {"SADD", "s", "a", "b"}},
        {sent(*c->add_to_set("s", "m3")), {"SADD", "s", "m3"}},
        {sent(*c->remove_from_set("s", "m1")), {"SREM", "s", "m1"}},
        {sent(*c->get_set_members("s")), {"SMEMBERS", "s"}},
        {sent(c->set_to_table_multi("t")->add_argument("a").add_argument("x")),
         {"HMSET", "t", "a", "x"}},
        {sent(*c->set_to_table("t", "n", "1")), {"HSET", "t", "n", "1"}},
        {sent(*c->increment_in_table("t", "n", "5")), {"HINCRBY", "t", "n", "5"}},
        {sent(*c->get_from_table("t", "a")), {"HGET", "t", "a"}},
        {sent(c->get_from_table_multi("t")->add_argument("a")), {"HMGET", "t", "a"}},
        {sent(*c->delete_from_table("t", "a")), {"HDEL", "t", "a"}},
        {sent(*c->get_table("t")), {"HGETALL", "t"}},
        {sent(*c->set(std::string("n\0l", 3), "v")), {"SET", std::string("n\0l", 3), "v"}},
        {sent(*c->create_command(many)), many},
        {sent(*set), {"SET", "k", "v"}}};
    for (const auto& [received, expected] : rows) {
        EXPECT_THAT(received, ElementsAre(expected));
    }
}

// Without words the server would never answer (the fake one answers, so a send shows);
// the others would make hiredis call back again and again for one request.
TEST_F(Redis, CommandsWithoutWordsOrWithManyRepliesAreRefusedBeforeSending) {
    const auto client = open(m_fake.port());
    run_until(m_io, [&] { return m_fake.received() >= 2; });
    m_fake.take();
    const std::string many = ", error: not supported on this connection, it replies more than once";
    const std::string none = "Command: <empty>, error: no words";
    const std::vector<std::pair<words, std::string>> rows{
        {{}, none},
        {{"SUBSCRIBE", "c"}, "Command: SUBSCRIBE" + many},
        {{"psubscribe", "c*"}, "Command: psubscribe" + many},
        {{"UnSubscribe"}, "Command: UnSubscribe" + many},
        {{"PUNSUBSCRIBE"}, "Command: PUNSUBSCRIBE" + many},
        {{"monitor"}, "Command: monitor" + many}};
    for (const auto& [command, error] : rows) {
        SCOPED_TRACE(error);
        EXPECT_EQ(outcome([&] {
                      return client->create_command(command)->execute_async(), std::string();
                  }),
                  error);
    }
    EXPECT_EQ(outcome([&] { return client->create_command({})->execute().to_string(); }), none);
    // Words given after the creation count.
    EXPECT_EQ(
        wait_for(client->create_command({})->add_argument("GET").add_argument("k").execute_async())
            .to_string(),
        "OK");
    EXPECT_THAT(m_fake.take(), ElementsAre(words{"GET", "k"}));
}

TEST_F(Redis, ClientThatCannotBeOpenedDeliversOneEmptyOptionalAndSaysWhy) {
    const int refusing = listener(m_io).local_endpoint().port();
    const auto silent = listener(m_io);
    const std::vector<std::tuple<int, int, std::string>> rows{
        {refusing, 0, ""},
        {m_port, 99, "Command: SELECT, error: ERR DB index is out of range"},
        {silent.local_endpoint().port(), 0,
         "Command: SELECT, error: Resource temporarily unavailable"}};
    for (const auto& [port, db, why] : rows) {
        SCOPED_TRACE(port);
        test_support::clear_syslog_lines();
        int deliveries = 0;
        auto handle = m_loop->create_redis_context("127.0.0.1", port, db);
        handle->set_callback(
            [&](boost::optional<redis::context::ptr> _client) { deliveries += _client ? 100 : 1; });
        bool drained = false;
        EXPECT_TRUE(run_until(m_io, [&] { return deliveries; }));
        m_loop->post([&] { drained = true; }, KELM_SOURCE_LOCATION());
        EXPECT_TRUE(run_until(m_io, [&] { return drained; }));
        EXPECT_EQ(deliveries, 1);
        EXPECT_THAT(test_support::syslog_lines(), logged(why));
    }
}

TEST_F(Redis, RepliesDeliveredUntilTheServerIsKilledAndAfterItIsBack) {
    const auto handle = m_loop->create_redis_context("127.0.0.1", m_port, 0);
    auto client = std::move(*wait_for(handle));
    EXPECT_EQ(wait_for(client->create_command({"NO"})->execute_async()).get_type(), type::ERROR);
    EXPECT_THAT(outcome([&] { return client->create_command({"NO"})->execute().to_string(); }),
                StartsWith("Command: NO, error: ERR unknown command"));
    bool delivered = false;
    client->set("k", "v")->execute_async()->set_callback([&](redis::reply) { delivered = true; });
    EXPECT_EQ(wait_for(client->get("k")->execute_async()).to_string(), "v");
    EXPECT_FALSE(delivered);

    std::vector<type> replies;
    const auto blocked = client->create_command({"BLPOP", "nothing", "0"})->execute_async();
    const auto queued = client->get("k")->execute_async();
    for (const auto& pending : {blocked, queued}) {
        pending->set_callback([&](redis::reply _r) { replies.push_back(_r.get_type()); });
    }
    // Once the server holds both commands, its end closes cleanly.
    run_until(m_io, [&] {
        const auto info = client->create_command({"INFO", "clients"})->execute().to_string();
        return info.find("blocked_clients:1") != std::string::npos;
    });
    kill_server();
    EXPECT_TRUE(run_until(m_io, [&] { return replies.size() == 2; }));
    EXPECT_EQ(replies, (std::vector<type>{type::NIL, type::NIL}));
    EXPECT_THAT(test_support::syslog_lines(),
                logged("Connection to the redis server lost: Server closed the connection"));
    EXPECT_EQ(outcome([&] { return client->get("k")->execute_async(), std::string(); }),
              "Command: GET, error");
    EXPECT_THAT(outcome([&] { return client->get("k")->execute().to_string(); }),
                StartsWith("Command: GET, error: "));
    client.reset();

    start_server();
    handle->restart();
    const auto again = wait_for(handle).value();
    again->set("k", "back")->execute();
    EXPECT_EQ(wait_for(again->get("k")->execute_async()).to_string(), "back");
}

TEST_F(Redis, ScanFollowsUnsigned64BitCursorsUntilZeroOrStopped) {
    const auto client = open(m_fake.port());
    const std::vector<std::tuple<const char*, std::size_t, std::string, core::iteration_result>>
        rows{{"big", 9, "ab", core::iteration_result::finished},
             {"big", 1, "a", core::iteration_result::interrupted}};
    for (const auto& [pattern, wanted, keys, result] : rows) {
        SCOPED_TRACE(pattern);
        std::string visited;
        EXPECT_EQ(client->scan(pattern,
                               [&, wanted = wanted](boost::string_view _key) {
                                   visited += _key.to_string();
                                   return visited.size() < wanted;
                               }),
                  result);
        EXPECT_EQ(visited, keys);
    }
}

}  // namespace
