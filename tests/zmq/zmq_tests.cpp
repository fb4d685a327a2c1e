#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/message_stream.hpp>
#include <core/zmq/manager.hpp>

#include <gtest/gtest.h>

#include <zmq.hpp>

#include <malloc.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace core = kelm::libs::core;
using type = core::zmq::socket::type;
using strings = std::vector<std::string>;
using stream_factory = core::message_stream::ptr (core::events_loop::*)(const std::string&);

constexpr stream_factory raw = &core::events_loop::create_zmq_raw_message_stream;
constexpr stream_factory json = &core::events_loop::create_zmq_message_stream;

core::zmq::message text(const std::string& _text) {
    return core::zmq::message(std::string_view(_text));
}

// "+" marks a frame that more frames follow.
std::string text(const core::zmq::message& _frame) {
    return std::string(_frame.string_view()) + (_frame.more() ? "+" : "");
}

// One events loop run on the test's thread, and its PUB socket, which publishes to the
// streams under test.
class Zmq : public ::testing::Test {
protected:
    Zmq() { test_support::clear_syslog_lines(); }

    core::zmq::manager& manager() { return m_loop->get_zmq(); }

    bool run_until(const std::function<bool()>& _condition,
                   std::chrono::milliseconds _limit = kelm::test::patience) {
        return kelm::test::run_until(m_loop->get_io_context(), _condition, _limit);
    }

    // Runs what is ready, and what that leads to, for a short while.
    void settle() {
        run_until([] { return false; }, std::chrono::milliseconds(100));
    }

    // Records "<n>:<what the callback got>" for each channel, n counting the subscriptions.
    void record(core::message_stream& _stream, const strings& _channels) {
        for (const auto& channel : _channels) {
            m_subscriptions.push_back(
                _stream.subscribe(channel, [this, index = m_subscribed++](auto _text) {
                    if (const auto end = _text.find("{end"); end != boost::string_view::npos) {
                        m_last_end = std::string(_text.substr(end));
                    } else {
                        m_calls.push_back(std::to_string(index) + ":" + std::string(_text));
                    }
                }));
        }
    }

    // Subscribes the terminator, then publishes until the stream takes one: frames published
    // before their subscription reached the PUB socket are dropped.
    void await_subscriptions(core::message_stream& _stream) {
        record(_stream, {"~end"});
        ASSERT_TRUE(
            kelm::test::eventually([this] { return publish({}, std::chrono::milliseconds(20)); }));
    }

    // Publishes the frames and a terminator of their own; runs the loop until the stream
    // took them.
    bool publish(const strings& _frames, std::chrono::milliseconds _limit = kelm::test::patience) {
        const std::string end = "{end" + std::to_string(++m_published) + "}";
        for (const auto& frame : _frames) {
            m_publisher->send(text(frame));
        }
        m_publisher->send(text("~end" + end));
        return run_until([&] { return m_last_end == end; }, _limit);
    }

    core::logger m_logger{"zmq-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    core::zmq::socket::ptr m_publisher = manager().bind(type::pub, "inproc://streams");
    strings m_calls;
    const core::zmq::socket::callback m_record = [this](auto& _frame) {
        m_calls.push_back(text(_frame));
    };
    std::vector<core::message_stream::subscription::ptr> m_subscriptions;
    std::size_t m_subscribed = 0;
    int m_published = 0;
    std::string m_last_end;
};

// Frames wait for a callback, which may read the rest of a message with receive_more and
// replace or clear itself or destroy its socket. Its state is long enough to live on the
// heap; a second receive would have completed with "already started", which is logged. A
// frame that finds the callback cleared raises std::bad_function_call and is lost.
TEST_F(Zmq, SocketCallbackReadsOnAndMayReplaceOrClearItselfOrDestroyTheSocket) {
    for (const auto& [change, calls] :
         std::vector<std::pair<std::string, strings>>{{"replace", {"sa+ b+", "c", "d"}},
                                                      {"clear", {"sa+ b+", "d"}},
                                                      {"destroy", {"sa+ b+"}}}) {
        SCOPED_TRACE(change);
        const std::string endpoint = "inproc://callback-" + change;
        auto push = manager().bind(type::push, endpoint);
        EXPECT_FALSE(push->try_send(text("lost")));
        auto pull = manager().connect(type::pull, endpoint);
        push->send(text("a"), core::zmq::flags::sndmore);
        ASSERT_TRUE(push->try_send(text("b"), core::zmq::flags::sndmore));
        push->send(text("c"));
        ASSERT_TRUE(push->try_send(text("d")));
        // A receive started without a callback would throw std::bad_function_call here.
        settle();
        m_calls.clear();
        pull->set_receive_callback([this](core::zmq::message&) { m_calls.push_back("first"); });
        pull->set_receive_callback([&, change = change, name = std::string(40, 's')](auto& _frame) {
            const auto more = pull->receive_more();
            change == "destroy"
                ? pull.reset()
                : pull->set_receive_callback(change == "clear" ? nullptr : m_record);
            m_calls.push_back(name.substr(0, 1) + text(_frame) + " " + text(more));
        });
        if (change == "clear") {
            EXPECT_THROW(run_until([] { return false; }), std::bad_function_call);
            pull->set_receive_callback(m_record);
        }
        ASSERT_TRUE(run_until([&, size = calls.size()] { return m_calls.size() == size; }));
        settle();
        // c, left unread, arrives on its own.
        EXPECT_EQ(m_calls, calls);
    }
    EXPECT_TRUE(test_support::syslog_lines().empty());
}

// Refused endpoints throw with ZeroMQ's reason. A receive error, here on a PUB socket, which
// cannot receive, is logged and ends receiving until a callback is installed again.
TEST_F(Zmq, RefusedEndpointsThrowAndAReceiveErrorIsLoggedAndEndsReceiving) {
    try {
        manager().bind(type::pull, "inproc://streams");
        ADD_FAILURE() << "bound twice";
    } catch (const core::exception& e) {
        EXPECT_EQ(e.get_string_error(),
                  "zmq::socket_impl::bind to inproc://streams: Address already in use");
    }
    EXPECT_THROW(manager().connect(type::push, "foo://bar"), core::exception);
    const auto errors = [] { return test_support::syslog_lines().size(); };
    m_publisher->set_receive_callback(m_record);
    ASSERT_TRUE(run_until([&] { return errors() == 1; }));
    m_publisher->set_receive_callback(m_record);
    ASSERT_TRUE(run_until([&] { return errors() == 2; }));
    settle();
    EXPECT_EQ(errors(), 2u);
    EXPECT_TRUE(m_calls.empty());
}

TEST_F(Zmq, SmallestSubscribedPrefixTakesEachFrame) {
    strings many;
    for (int i = 0; i < 5000; ++i) {
        many.push_back("c" + std::to_string(i) + "/");
    }
    using row = std::tuple<stream_factory, strings, strings, strings>;
    for (const auto& [factory, channels, frames, calls] : std::vector<row>{
             {raw, {"", "a"}, {"abc", "xyz"}, {"0:abc", "0:xyz"}},
             {raw, {"ab", "abd", "ac", "b"}, {"abdz", "ac1", "b"}, {"0:abdz", "2:ac1", "3:b"}},
             {raw, {"aa", "ab", "abc"}, {"abcd", "b1"}, {"1:abcd"}},
             {raw, {"a", "a"}, {"a1", "a2"}, {"0:a1", "1:a1", "0:a2", "1:a2"}},
             {raw, many, {"c4999/x", "c0/y"}, {"4999:c4999/x", "0:c0/y"}},
             {json, {"pos"}, {"#pos{1}", "#pos", "#position{}"}, {"0:{1}", "0:{}"}},
             {json, {"1c", "_u", "#h"}, {"1c{a}", "_u x{b}", "#h{c}"}, {"0:{a}", "1:{b}", "2:{c}"}},
             {json, {""}, {"x{1}", "{2}", "none"}, {"0:{1}", "0:{2}"}}}) {
        SCOPED_TRACE(channels.front());
        m_calls.clear();
        m_subscriptions.clear();
        m_subscribed = 0;
        const auto stream = (m_loop.get()->*factory)("inproc://streams");
        record(*stream, channels);
        await_subscriptions(*stream);
        ASSERT_TRUE(publish(frames));
        EXPECT_EQ(m_calls, calls);
    }
}

// A callback lives as long as its handle, which may outlive the stream. One subscribed
// during a dispatch starts with the next frame; one that destroys the stream lets the
// others of its frame run, and no frame follows.
TEST_F(Zmq, StreamCallbacksMaySubscribeOrDestroyTheStreamDuringADispatch) {
    auto stream = m_loop->create_zmq_raw_message_stream("inproc://streams");
    record(*stream, {"a"});
    m_subscriptions.push_back(stream->subscribe("a", [&](boost::string_view _text) {
        m_calls.push_back("subscribing:" + std::string(_text));
        if (m_subscriptions.size() < 6) {
            record(*stream, {"a"});
        }
    }));
    m_subscriptions.push_back(stream->subscribe("b", [&](boost::string_view _text) {
        m_calls.push_back("destroying:" + std::string(_text));
        stream.reset();
    }));
    record(*stream, {"b"});
    await_subscriptions(*stream);
    ASSERT_TRUE(publish({"a1"}));
    m_subscriptions.front().reset();
    publish({"a2", "b1", "b2"}, std::chrono::milliseconds(0));
    ASSERT_TRUE(run_until([&] { return !stream; }));
    settle();
    EXPECT_EQ(m_calls, (strings{"0:a1", "subscribing:a1", "subscribing:a2", "3:a2", "destroying:b1",
                                "1:b1"}));
}

// A callback may subscribe many new channels: the table of channels grows meanwhile without
// moving the callbacks being dispatched to, and each new channel then takes its frames. An
// exception from a callback reaches the loop once the next receive is armed: it skips the
// callbacks after it for that frame only.
TEST_F(Zmq, ChannelsAddedDuringADispatchTakeTheirFramesAndAThrowSkipsOnlyTheRestOfItsFrame) {
    const auto stream = m_loop->create_zmq_raw_message_stream("inproc://streams");
    strings added;
    for (int i = 0; i < 1000; ++i) {
        added.push_back("n" + std::to_string(i) + "/");
    }
    m_subscriptions.push_back(stream->subscribe("t", [](boost::string_view _frame) {
        if (_frame == "t1") {
            throw std::runtime_error("callback failed");
        }
    }));
    record(*stream, {"t"});
    m_subscriptions.push_back(stream->subscribe("a", [&](boost::string_view) {
        if (m_subscribed == 3) {
            record(*stream, added);
        }
    }));
    record(*stream, {"a"});
    await_subscriptions(*stream);
    m_publisher->send(text("t1"));
    EXPECT_THROW(run_until([] { return false; }), std::runtime_error);
    ASSERT_TRUE(publish({"t2", "a1"}));
    EXPECT_EQ(m_calls, (strings{"0:t2", "1:a1"}));
    // ZeroMQ hands on subscriptions in order: once this one arrived, the added ones did.
    record(*stream, {"~sync"});
    ASSERT_TRUE(kelm::test::eventually([this] {
        return publish({"~sync"}, std::chrono::milliseconds(20)) && m_calls.back() == "1003:~sync";
    }));
    m_calls.clear();
    ASSERT_TRUE(publish({"n999/x", "n0/y", "a2"}));
    EXPECT_EQ(m_calls, (strings{"1002:n999/x", "3:n0/y", "1:a2"}));
}

// A live subscription on "a" takes every frame of "ab", so dropped subscriptions on "ab" never
// meet a dispatch of their own: subscribing gives their memory back instead.
TEST_F(Zmq, DroppedSubscriptionsOfAShadowedChannelGiveTheirMemoryBack) {
    const auto stream = m_loop->create_zmq_raw_message_stream("inproc://streams");
    record(*stream, {"a"});
    const auto in_use = [] { return static_cast<long>(mallinfo2().uordblks); };
    long before = 0;
    for (int i = 0; i < 101000; ++i) {
        before = i == 1000 ? in_use() : before;
        stream->subscribe("ab", [](boost::string_view) {});
    }
    EXPECT_LT(in_use() - before, 64 * 1024);
    // Not from the callbacks a frame is being dispatched to: they are called all the same,
    // and those subscribed meanwhile only from the next frame on.
    auto dropped = stream->subscribe("c", [](boost::string_view) {});
    m_subscriptions.push_back(stream->subscribe("c", [&](boost::string_view) {
        dropped.reset();
        record(*stream, strings(8, "c"));
    }));
    record(*stream, {"c"});
    await_subscriptions(*stream);
    ASSERT_TRUE(publish({"ab1", "c1"}));
    EXPECT_EQ(m_calls, (strings{"0:ab1", "1:c1"}));
}

// Every subscription reaches the publisher once per channel, however many callbacks share
// the channel.
TEST_F(Zmq, EachChannelIsSubscribedInZeroMqOnce) {
    zmq::context_t context;
    zmq::socket_t publisher(context, zmq::socket_type::xpub);
    publisher.set(zmq::sockopt::xpub_verbose, 1);
    publisher.set(zmq::sockopt::rcvtimeo, static_cast<int>(kelm::test::patience.count() * 1000));
    publisher.bind("tcp://127.0.0.1:*");
    const auto stream =
        m_loop->create_zmq_raw_message_stream(publisher.get(zmq::sockopt::last_endpoint));
    record(*stream, {"a", "a", "b"});
    // A second "a" would come before "b".
    zmq::message_t first;
    zmq::message_t second;
    ASSERT_TRUE(publisher.recv(first) && publisher.recv(second));
    EXPECT_EQ(first.to_string() + second.to_string(), "\001a\001b");
}

}  // namespace
