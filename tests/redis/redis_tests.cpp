#include "redis_server.hpp"
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

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>

namespace core = kelm::libs::core;
namespace redis = kelm::libs::core::redis;
using boost::asio::ip::tcp;
using kelm::test::run_until;
using type = redis::reply_type;
using words = std::vector<std::string>;
using namespace ::testing;
using namespace std::chrono_literals;

namespace {

// A socket listening on a free loopback port. Connections to it open (the kernel
// accepts them) but are never answered.
tcp::acceptor listener(boost::asio::io_context& _io) {
    return tcp::acceptor(_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
}

// The words as the server reads them: an array of bulk strings.
std::string wire(const words& _words) {
    std::string text = "*" + std::to_string(_words.size()) + "\r\n";
    for (const auto& word : _words) {
        text += "$" + std::to_string(word.size()) + "\r\n" + word + "\r\n";
    }
    return text;
}

// A listener whose queue is full: connections to it never complete.
struct full_listener {
    explicit full_listener(boost::asio::io_context& _io) : m_acceptor(_io), m_queued(_io) {
        m_acceptor.open(tcp::v4());
        m_acceptor.bind(tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        m_acceptor.listen(0);
        m_queued.connect(m_acceptor.local_endpoint());
    }
    int port() const { return m_acceptor.local_endpoint().port(); }

    tcp::acceptor m_acceptor;
    tcp::socket m_queued;
};

// A stand-in for a Redis server, for what a real one never shows or gives. It answers
// SCAN with MATCH "big" in two pages, through a cursor above any int, and any other
// command with all its connection has read so far, so the tests see the wire format.
// A command with the word "stall" gets no answer: the connection stalls until the
// client gives up, or for as long as a test may wait.
class fake_server {
public:
    explicit fake_server(boost::asio::io_context& _io) : m_listener(listener(_io)) {}
    // Drops every connection, also one a broken client would leave open forever.
    ~fake_server() {
        ::shutdown(m_listener.native_handle(), SHUT_RDWR);
        m_thread.join();
    }

    int port() const { return m_listener.local_endpoint().port(); }

private:
    static std::string answer(const std::string& _read, const std::string& _last) {
        const std::string big = "18446744073709551615";
        return _last == wire({"SCAN", "0", "MATCH", "big"})
                   ? "*2\r\n$20\r\n" + big + "\r\n*1\r\n$1\r\na\r\n"
               : _last == wire({"SCAN", big, "MATCH", "big"})
                   ? "*2\r\n$1\r\n0\r\n*1\r\n$1\r\nb\r\n"
                   : "$" + std::to_string(_read.size()) + "\r\n" + _read + "\r\n";
    }

    void serve() {
        std::vector<std::pair<int, std::thread>> connections;
        for (int fd; (fd = ::accept(m_listener.native_handle(), nullptr, nullptr)) >= 0;) {
            connections.emplace_back(fd, [fd] {
                std::string read;
                char buffer[4096];
                for (ssize_t size; (size = ::read(fd, buffer, sizeof(buffer))) > 0;) {
                    const std::string last(buffer, static_cast<std::size_t>(size));
                    read += last;
                    if (last.find("stall") != last.npos) {
                        pollfd client{fd, POLLIN, 0};
                        const auto limit = std::chrono::milliseconds(kelm::test::patience).count();
                        if (::poll(&client, 1, static_cast<int>(limit)) == 0) {
                            ::shutdown(fd, SHUT_RDWR);
                        }
                        continue;
                    }
                    // A read may hold several commands (a SELECT the loop had not sent yet,
                    // then a request): each gets the answer. No word here holds CR LF '*'.
                    std::string bytes;
                    for (auto i = last.find('*'); i != last.npos; i = last.find("\r\n*", i + 1)) {
                        bytes += answer(read, last);
                    }
                    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                }
            });
        }
        for (auto& [fd, thread] : connections) {
            ::shutdown(fd, SHUT_RDWR);
            thread.join();
            ::close(fd);
        }
    }

    tcp::acceptor m_listener;
    std::thread m_thread{[this] { serve(); }};
};

// What the operation answers, or the error it throws; nothing for an answer that is not text.
template <class Operation>
std::string outcome(const Operation& _operation) {
    try {
        if constexpr (std::is_convertible_v<decltype(_operation()), std::string>) {
            return _operation();
        } else {
            _operation();
            return {};
        }
    } catch (const core::exception& e) {
        return e.get_string_error();
    }
}

// Each test runs a redis-server of its own on a free loopback port, keeping nothing on
// disk, and a fake server.
class Redis : public ::testing::Test {
protected:
    Redis() { start_server(); }
    ~Redis() override { kill_server(); }

    // Starts an empty server on the port; the system log starts empty too.
    void start_server() {
        test_support::clear_syslog_lines();
        m_server.emplace(m_port);
    }

    // Ends the server at once, as a crash would.
    void kill_server() { m_server.reset(); }

    template <class T>
    T wait_for(const std::shared_ptr<core::async_operation_handle<T>>& _handle) {
        boost::optional<T> result;
        _handle->set_callback([&](T _result) { result = std::move(_result); });
        run_until(m_io, [&] { return !!result; });
        return std::move(result.value());
    }

    core::logger m_logger{"redis-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    boost::asio::io_context& m_io = m_loop->get_io_context();
    const int m_port = listener(m_io).local_endpoint().port();
    std::optional<test_support::redis_server> m_server;
    fake_server m_fake{m_io};
};

// Each connection selects its database first; commands go in the server's wire format
// when executed, each time. Commands without words (the server would never answer them;
// the fake one does, so a send shows) or with many replies (hiredis would call back again
// and again for one request) are refused before anything is sent. SCAN follows unsigned
// 64-bit cursors until zero or until stopped.
TEST_F(Redis, CommandsReachTheWireAsBuiltOrAreRefused) {
    const auto c = wait_for(m_loop->create_redis_context("127.0.0.1", m_fake.port(), 3)).value();
    const auto set = c->set("k", "v");
    const auto run = [](redis::command& _command) { return _command.execute().to_string(); };
    const std::vector<std::pair<std::string, words>> rows{
        {run(*set), {"SET", "k", "v"}},
        {run(*c->get("k")), {"GET", "k"}},
        {run(c->add_to_set("s")->add_argument("a").add_argument("b")), {"SADD", "s", "a", "b"}},
        {run(*c->remove_from_set("s", "m1")), {"SREM", "s", "m1"}},
        {run(c->set_to_table_multi("t")->add_argument("a")), {"HMSET", "t", "a"}},
        {run(*c->increment_in_table("t", "n", "5")), {"HINCRBY", "t", "n", "5"}},
        {run(*c->set_to_table("t", "f", "v")), {"HSET", "t", "f", "v"}},
        {run(*c->set(std::string("n\0l", 3), "v")), {"SET", std::string("n\0l", 3), "v"}},
        {run(*c->create_command(words(20, "word"))), words(20, "word")},
        {run(*set), {"SET", "k", "v"}}};
    std::string expected = wire({"SELECT", "3"});
    for (const auto& [received, command] : rows) {
        EXPECT_EQ(received, expected += wire(command));
    }
    const std::string many = ", error: not supported on this connection, it replies more than once";
    const std::string none = "Command: <empty>, error: no words";
    const std::vector<words> refused{{"SUBSCRIBE", "c"}, {"psubscribe", "c*"}, {"UnSubscribe"},
                                     {"PUNSUBSCRIBE"},   {"monitor"},          {}};
    for (const auto& command : refused) {
        const auto why = command.empty() ? none : "Command: " + command[0] + many;
        EXPECT_EQ(outcome([&] { return c->create_command(command)->execute_async(); }), why);
        EXPECT_EQ(outcome([&] { return c->create_command(command)->execute().to_string(); }), why);
    }
    // Words given after the creation count.
    EXPECT_EQ(wait_for(c->create_command({})->add_argument("GET").add_argument("k").execute_async())
                  .to_string(),
              wire({"SELECT", "3"}) + wire({"GET", "k"}));
    std::string visited;
    const auto visit = [&](boost::string_view _key) {
        visited += _key.to_string();
        return visited != "aba";
    };
    EXPECT_EQ(c->scan("big", visit), core::iteration_result::finished);
    EXPECT_EQ(c->scan("big", visit), core::iteration_result::interrupted);
    EXPECT_EQ(visited, "aba");
}

// The blocking connection waits at most 1.5 s for a reply, and a new one is opened for
// the command after a failure: the old one may still deliver the late reply.
TEST_F(Redis, BlockingCommandsGiveUpAfterTheTimeLimitAndReconnect) {
    const auto c = wait_for(m_loop->create_redis_context("127.0.0.1", m_fake.port(), 3)).value();
    const std::vector<std::pair<std::string, std::function<void()>>> rows{
        {"GET", [&] { c->get("stall")->execute(); }},
        {"SCAN", [&] { c->scan("stall", [](boost::string_view) { return true; }); }}};
    for (const auto& [word, command] : rows) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(outcome(command),
                  "Command: " + word + ", error: Resource temporarily unavailable");
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(1s < took && took < 3s);
        // What the new connection has read starts with its own SELECT.
        EXPECT_EQ(c->get("k")->execute().to_string(), wire({"SELECT", "3"}) + wire({"GET", "k"}));
    }
    const auto real = wait_for(m_loop->create_redis_context("127.0.0.1", m_port, 0)).value();
    const auto run = [&](const words& _command) {
        return real->create_command(_command)->execute();
    };
    EXPECT_EQ(outcome([&] {
                  run({"BLPOP", "q", "4"});
              }),
              "Command: BLPOP, error: Resource temporarily unavailable");
    EXPECT_EQ(run({"RPUSH", "q", "x"}).to_long_long(), 1);
    EXPECT_EQ(run({"LPOP", "q"}).to_string(), "x");
    // A connection that fails is opened again for each command until that works.
    kill_server();
    EXPECT_THAT(outcome([&] { run({"GET", "k"}); }), StartsWith("Command: GET, error: "));
    EXPECT_EQ(outcome([&] { run({"GET", "k"}); }), "Connection error: Connection refused");
    start_server();
    EXPECT_EQ(run({"ECHO", "back"}).to_string(), "back");
}

TEST_F(Redis, ClientThatCannotBeOpenedDeliversOneEmptyOptionalAndSaysWhy) {
    const auto silent = listener(m_io);
    const full_listener full(m_io);
    const std::vector<std::tuple<int, int, std::string>> rows{
        {listener(m_io).local_endpoint().port(), 0, ""},
        {full.port(), 0, ""},
        {m_port, 99, "Command: SELECT, error: ERR DB index is out of range"},
        {silent.local_endpoint().port(), 0,
         "Command: SELECT, error: Resource temporarily unavailable"}};
    for (const auto& [port, db, why] : rows) {
        SCOPED_TRACE(port);
        int deliveries = 0;
        auto handle = m_loop->create_redis_context("127.0.0.1", port, db);
        handle->set_callback([&](auto _client) { deliveries += _client ? 100 : 1; });
        EXPECT_TRUE(run_until(m_io, [&] { return deliveries; }));
        // A second delivery would be ready by now.
        m_io.poll();
        EXPECT_EQ(deliveries, 1);
        // One line that says why, or nothing when there is no reason to give.
        EXPECT_THAT(test_support::take_syslog_texts(),
                    AllOf(SizeIs(why.empty() ? 0 : 1), Each(HasSubstr(why))));
    }
}

// Replies read as the server gave them, errors included, until the server is killed;
// the handle opens a new client once the server is back.
TEST_F(Redis, RealRepliesAreReadUntilTheServerIsKilledAndAfterItIsBack) {
    const auto handle = m_loop->create_redis_context("127.0.0.1", m_port, 0);
    auto client = std::move(*wait_for(handle));
    const std::string script =
        "return {redis.status_reply('FINE'), redis.error_reply('ERR bad'), "
        "42, false, {}, ARGV[1], 1099511627776}";
    const auto tree =
        client->create_command({"EVAL", script, "0", std::string("a\0b", 3)})->execute();
    const auto items = tree.as_array();
    std::vector<std::string> read;
    for (std::size_t i = 0; i < items.size(); ++i) {
        read.push_back(to_string(items[i].get_type()).to_string() + " " +
                       outcome([&] { return items[i].to_string(); }));
    }
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
    EXPECT_EQ(wait_for(client->create_command({"NO"})->execute_async()).get_type(), type::ERROR);
    EXPECT_THAT(outcome([&] { return client->create_command({"NO"})->execute().to_string(); }),
                StartsWith("Command: NO, error: ERR unknown command"));

    // More than one write's worth, so that some are still queued when the server dies.
    std::vector<type> replies;
    std::vector<core::async_operation_handle<redis::reply>::ptr> pending{
        client->create_command({"BLPOP", "nothing", "0"})->execute_async()};
    for (int i = 0; i < 40; ++i) {
        pending.push_back(client->set("k", std::string(16384, 'v'))->execute_async());
    }
    for (const auto& handle : pending) {
        handle->set_callback([&](redis::reply _r) { replies.push_back(_r.get_type()); });
    }
    kill_server();
    EXPECT_TRUE(run_until(m_io, [&] { return replies.size() == pending.size(); }));
    EXPECT_EQ(replies, std::vector<type>(pending.size(), type::NIL));
    EXPECT_THAT(test_support::take_syslog_texts(), ElementsAre(HasSubstr("redis server lost: ")));
    EXPECT_EQ(outcome([&] { return client->get("k")->execute_async(); }), "Command: GET, error");
    // More than the socket takes at once: the writes after the server's reset must fail,
    // not end the program with SIGPIPE.
    EXPECT_THAT(outcome([&] { return client->set("k", std::string(8 << 20, 'v'))->execute(); }),
                StartsWith("Command: SET, error: "));

    start_server();
    handle->restart();
    const auto again = wait_for(handle).value();
    EXPECT_EQ(wait_for(again->create_command({"ECHO", "back"})->execute_async()).to_string(),
              "back");
}

// Many commands in flight: each reply reaches its own handle, in the order sent, also
// with handles dropped in between, before their reply is read or after, and after a
// callback that throws. A handle restarted after its command is gone sends that
// command again.
TEST_F(Redis, RepliesReachTheirHandlesInOrder) {
    const auto c = wait_for(m_loop->create_redis_context("127.0.0.1", m_port, 0)).value();
    constexpr long long sent = 3000;
    // Long enough that the commands are more than the connection writes at once.
    const std::string counter(100, 'n');
    std::vector<core::async_operation_handle<redis::reply>::ptr> handles;
    std::vector<std::pair<long long, long long>> received;
    for (long long i = 0; i < sent; ++i) {
        auto handle = c->create_command({"INCR", counter})->execute_async();
        handle->set_callback([&handles, &received, i](redis::reply _reply) {
            received.emplace_back(i, _reply.to_long_long());
            // Its reply is most likely read already, and on its way.
            if (i == 0) {
                handles[1].reset();
            }
            // The last read then holds replies after this one.
            if (i == sent - 3) {
                throw std::runtime_error("callback failed");
            }
        });
        // Every third handle is dropped before its reply comes.
        handles.push_back(i % 3 == 2 ? nullptr : std::move(handle));
    }
    // INCR counts the commands, so the reply tells which command it answers.
    std::vector<std::pair<long long, long long>> expected;
    for (long long i = 0; i < sent; ++i) {
        if (i % 3 != 2 && i != 1) {
            expected.emplace_back(i, i + 1);
        }
    }
    const auto all = [&] { return received.size() == expected.size(); };
    EXPECT_THROW(run_until(m_io, all), std::runtime_error);
    EXPECT_TRUE(run_until(m_io, all));
    EXPECT_EQ(received, expected);

    const auto again = c->create_command({"INCR", counter})->execute_async();
    EXPECT_EQ(wait_for(again).to_long_long(), sent + 1);
    EXPECT_TRUE(again->is_complete());
    again->restart();
    EXPECT_FALSE(again->is_complete());
    EXPECT_EQ(wait_for(again).to_long_long(), sent + 2);
}

}  // namespace
