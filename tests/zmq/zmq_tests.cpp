#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/message_stream.hpp>
#include <core/zmq/manager.hpp>

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>
#include <zmq.hpp>

#include <string>
#include <tuple>
#include <vector>

namespace {

namespace core = kelm::libs::core;
using type = core::zmq::socket::type;
using strings = std::vector<std::string>;
using stream_factory = core::message_stream::ptr (core::events_loop::*)(const std::string&);
using handles = std::vector<core::message_stream::subscription::ptr>;

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

    template <class Condition>
    bool run_until(Condition&& _condition) {
        return kelm::test::run_until(m_loop->get_io_context(), _condition);
    }

    // Runs what is ready, and what that leads to, for a short while.
    void settle() {
        m_loop->get_io_context().restart();
        m_loop->get_io_context().run_for(std::chrono::milliseconds(100));
    }

    // Records "<n>:<what the callback got>", n counting the subscriptions of the stream.
    core::message_stream::subscription::ptr record(core::message_stream& _stream,
                                                   const std::string& _channel) {
        return _stream.subscribe(
            _channel, [this, index = m_subscribed++](boost::string_view _text) {
                if (const auto end = _text.find("{end"); end != boost::string_view::npos) {
                    m_last_end = std::string(_text.substr(end));
                } else {
                    m_calls.push_back(std::to_string(index) + ":" + std::string(_text));
                }
            });
    }

    // Subscribes the terminator, then publishes until the stream takes one: frames published
    // before their subscription reached the PUB socket are dropped.
    void await_subscriptions(core::message_stream& _stream, handles& _handles) {
        _handles.push_back(record(_stream, "~end"));
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
        return kelm::test::run_until(
            m_loop->get_io_context(), [&] { return m_last_end == end; }, _limit);
    }

    core::logger m_logger{"zmq-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    core::zmq::socket::ptr m_publisher = manager().bind(type::pub, "inproc://streams");
    strings m_calls;
    const core::zmq::socket::callback m_record = [this](auto& _frame) {
        m_calls.push_back(text(_frame));
    };
    std::size_t m_subscribed = 0;
    int m_published = 0;
    std::string m_last_end;
};

// The callback's state is long enough to live on the heap; a second receive would have
// completed with "already started", which is logged.
TEST_F(Zmq, SocketCallbackMayReplaceItselfOrDestroyTheSocket) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy);
        const std::string endpoint = "inproc://callback" + std::to_string(destroy);
        auto pull = manager().bind(type::pull, endpoint);
        auto push = manager().connect(type::push, endpoint);
        m_calls.clear();
        pull->set_receive_callback([this](core::zmq::message&) { m_calls.push_back("first"); });
        pull->set_receive_callback([&, destroy, name = std::string(40, 's')](auto& _frame) {
            destroy ? pull.reset() : pull->set_receive_callback(m_record);
            m_calls.push_back(name.substr(0, 1) + text(_frame));
        });
        for (const char* frame : {"a", "b", "c"}) {
            push->send(text(frame));
        }
        ASSERT_TRUE(run_until([&] { return m_calls.size() == (destroy ? 1u : 3u); }));
        settle();
        EXPECT_EQ(m_calls, (destroy ? strings{"sa"} : strings{"sa", "b", "c"}));
    }
    EXPECT_TRUE(test_support::syslog_lines().empty());
}

// try_send gives up without a peer; frames wait for the callback, which may read the rest
// of a message with receive_more.
TEST_F(Zmq, FramesWaitForTheCallbackWhichReadsTheRestOfAMessageWithReceiveMore) {
    auto push = manager().bind(type::push, "inproc://parts");
    EXPECT_FALSE(push->try_send(text("lost")));
    EXPECT_FALSE(push->try_send(text("lost"), core::zmq::flags::sndmore));
    auto pull = manager().connect(type::pull, "inproc://parts");
    push->send(text("a"), core::zmq::flags::sndmore);
    ASSERT_TRUE(push->try_send(text("b"), core::zmq::flags::sndmore));
    push->send(text("c"));
    ASSERT_TRUE(push->try_send(text("d")));
    // A receive started without a callback would throw std::bad_function_call here.
    settle();
    pull->set_receive_callback([this, &pull](core::zmq::message& _frame) {
        m_calls.push_back(text(_frame));
        if (_frame.string_view() == "a") {
            m_calls.push_back("more " + text(pull->receive_more()));
        }
    });
    ASSERT_TRUE(run_until([&] { return m_calls.size() == 4; }));
    // c, left unread, arrives on its own.
    EXPECT_EQ(m_calls, (strings{"a+", "more b+", "c", "d"}));
}

TEST_F(Zmq, RefusedEndpointsThrowWithZeroMqsReason) {
    for (const auto& [address, error] : std::vector<std::pair<std::string, std::string>>{
             {"inproc://streams", "bind to inproc://streams: Address already in use"},
             {"tcp://127.0.0.1", "bind to tcp://127.0.0.1: Invalid argument"},
             {"foo://bar", "connect to foo://bar: Protocol not supported"}}) {
        SCOPED_TRACE(address);
        try {
            error[0] == 'b' ? manager().bind(type::pull, address)
                            : manager().connect(type::push, address);
            ADD_FAILURE() << "no exception";
        } catch (const core::exception& e) {
            EXPECT_EQ(e.get_string_error(), "zmq::socket_impl::" + error);
        }
    }
    EXPECT_THROW(manager().connect(type(5), "inproc://no-type"), boost::system::system_error);
    EXPECT_THROW(m_loop->create_zmq_message_stream("tcp://127.0.0.1"), boost::system::system_error);
}

// A REP socket that has not replied cannot receive: the next receive fails.
TEST_F(Zmq, ReceiveErrorIsLoggedAndEndsReceiving) {
    auto rep = manager().bind(type::rep, "inproc://rep");
    auto req = manager().connect(type::req, "inproc://rep");
    rep->set_receive_callback(m_record);
    req->send(text("q1"));
    ASSERT_TRUE(run_until([] { return !test_support::syslog_lines().empty(); }));
    const auto logged = test_support::syslog_lines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].priority, 3);
    rep->send(text("r1"));
    EXPECT_EQ(text(req->receive_more()), "r1");
    req->send(text("q2"));
    settle();
    EXPECT_EQ(m_calls, strings{"q1"});
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
        m_subscribed = 0;
        const auto stream = (m_loop.get()->*factory)("inproc://streams");
        handles subscriptions;
        for (const auto& channel : channels) {
            subscriptions.push_back(record(*stream, channel));
        }
        await_subscriptions(*stream, subscriptions);
        ASSERT_TRUE(publish(frames));
        EXPECT_EQ(m_calls, calls);
    }
}

// A callback lives as long as its handle, which may outlive the stream. One subscribed
// during a dispatch starts with the next frame; one that destroys the stream lets the
// others of its frame run, and no frame follows.
TEST_F(Zmq, StreamCallbacksMaySubscribeOrDestroyTheStreamDuringADispatch) {
    auto stream = m_loop->create_zmq_raw_message_stream("inproc://streams");
    handles subscriptions;
    subscriptions.push_back(record(*stream, "a"));
    subscriptions.push_back(stream->subscribe("a", [&](boost::string_view _text) {
        m_calls.push_back("subscribing:" + std::string(_text));
        if (subscriptions.size() < 6) {
            subscriptions.push_back(record(*stream, "a"));
        }
    }));
    subscriptions.push_back(stream->subscribe("b", [&](boost::string_view _text) {
        m_calls.push_back("destroying:" + std::string(_text));
        stream.reset();
    }));
    subscriptions.push_back(record(*stream, "b"));
    await_subscriptions(*stream, subscriptions);
    ASSERT_TRUE(publish({"a1"}));
    subscriptions.front().reset();
    publish({"a2", "b1", "b2"}, std::chrono::milliseconds(0));
    ASSERT_TRUE(run_until([&] { return !stream; }));
    settle();
    EXPECT_EQ(m_calls, (strings{"0:a1", "subscribing:a1", "subscribing:a2", "3:a2", "destroying:b1",
                                "1:b1"}));
}

// Every subscription reaches the publisher once per channel, however many callbacks share
// the channel.
TEST_F(Zmq, EachChannelIsSubscribedInZeroMqOnce) {
    zmq::context_t context;
    zmq::socket_t publisher(context, zmq::socket_type::xpub);
    publisher.set(zmq::sockopt::xpub_verbose, 1);
    publisher.set(zmq::sockopt::rcvtimeo, 5000);
    publisher.bind("tcp://127.0.0.1:*");
    const auto stream =
        m_loop->create_zmq_raw_message_stream(publisher.get(zmq::sockopt::last_endpoint));
    handles subscriptions;
    for (const std::string channel : {"a", "a", "b"}) {
        subscriptions.push_back(record(*stream, channel));
    }
    strings seen;
    zmq::message_t subscription;
    while (seen.empty() || seen.back() != "\001b") {
        ASSERT_TRUE(publisher.recv(subscription)) << testing::PrintToString(seen);
        seen.push_back(subscription.to_string());
    }
    EXPECT_EQ(seen, (strings{"\001a", "\001b"}));
}

}  // namespace
