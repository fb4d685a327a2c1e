#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/message_stream.hpp>
#include <core/zmq/manager.hpp>

#include <asio_zmq/socket.hpp>

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <memory>
#include <string>
#include <vector>

namespace core = kelm::libs::core;
namespace asio_zmq = kelm::libs::asio_zmq;
using stream_factory = core::message_stream::ptr (core::events_loop::*)(const std::string&);

namespace {

constexpr stream_factory raw = &core::events_loop::create_zmq_raw_message_stream;
constexpr stream_factory json = &core::events_loop::create_zmq_message_stream;
const std::string endpoint = "inproc://streams";
// Subscribed last in every stream; its frame ends each publication.
const std::string terminator_channel = "~end";
const std::string terminator = "~end{end}";

class MessageStream : public ::testing::Test {
protected:
    using handles = std::vector<core::message_stream::subscription::ptr>;

    // The publisher reports every subscription that reaches it, repeated ones included.
    MessageStream() {
        m_publisher.set_option(ZMQ_XPUB_VERBOSE, 1);
        m_publisher.set_option(ZMQ_RCVTIMEO, 5000);
        m_publisher.set_option(ZMQ_LINGER, 0);
        m_publisher.bind(endpoint);
    }

    core::message_stream::ptr make(stream_factory _factory) {
        m_calls.clear();
        m_next_index = 0;
        m_ended = false;
        return (m_loop.get()->*_factory)(endpoint);
    }

    // Records "<n>:<what the callback got>", n counting the subscriptions of the stream.
    core::message_stream::subscription::ptr record(core::message_stream& _stream,
                                                   const std::string& _channel) {
        const std::string index = std::to_string(m_next_index++);
        return _stream.subscribe(_channel, [this, index](boost::string_view _text) {
            if (_text.ends_with("{end}")) {
                m_ended = true;
            } else {
                m_calls.push_back(index + ":" + std::string(_text));
            }
        });
    }

    // Subscribes the terminator, then answers the channels that ZeroMQ subscribed up to it.
    std::vector<std::string> await_subscriptions(core::message_stream& _stream, handles& _handles) {
        _handles.push_back(record(_stream, terminator_channel));
        std::vector<std::string> channels;
        while (channels.empty() || channels.back() != terminator_channel) {
            asio_zmq::message frame;
            m_publisher.receive(frame);
            // The first byte is 1 for a subscription, 0 when a closed stream leaves.
            if (frame.string_view().substr(0, 1) == "\x01") {
                channels.emplace_back(frame.string_view().substr(1));
            }
        }
        channels.pop_back();
        return channels;
    }

    // Publishes the frames and the terminator; runs the loop until the stream took them.
    bool publish(const std::vector<std::string>& _frames) {
        m_ended = false;
        for (const auto& frame : _frames) {
            asio_zmq::message message(frame);
            m_publisher.send(message);
        }
        asio_zmq::message end(terminator);
        m_publisher.send(end);
        return kelm::test::run_until(m_loop->get_io_context(), [this] { return m_ended; });
    }

    core::logger m_logger{"stream-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    asio_zmq::socket m_publisher{m_loop->get_io_context(), ZMQ_XPUB};
    std::vector<std::string> m_calls;
    std::size_t m_next_index = 0;
    bool m_ended = false;
};

}  // namespace

TEST_F(MessageStream, SmallestSubscribedPrefixTakesEachFrame) {
    struct row {
        stream_factory factory;
        std::vector<std::string> channels;
        std::vector<std::string> frames;
        std::vector<std::string> calls;
        std::vector<std::string> subscribed;
    };
    const std::vector<row> rows{
        {raw, {"a", "ab"}, {"abc", "b1"}, {"0:abc"}, {"a", "ab"}},
        {raw, {"", "a"}, {"abc", "xyz"}, {"0:abc", "0:xyz"}, {"", "a"}},
        {raw,
         {"ab", "abd", "ac", "b"},
         {"abdz", "ac1", "b"},
         {"0:abdz", "2:ac1", "3:b"},
         {"ab", "abd", "ac", "b"}},
        {raw, {"aa", "ab", "abc"}, {"abcd"}, {"1:abcd"}, {"aa", "ab", "abc"}},
        {raw, {"a", "a"}, {"a1", "a2"}, {"0:a1", "1:a1", "0:a2", "1:a2"}, {"a"}},
        {json, {"pos"}, {"#pos{1}", "#pos", "#position{}"}, {"0:{1}", "0:{}"}, {"#pos"}},
        {json,
         {"1ch", "_u", "#h"},
         {"1ch{a}", "_u x{b}", "#h{c}"},
         {"0:{a}", "1:{b}", "2:{c}"},
         {"1ch", "_u", "#h"}},
        {json, {""}, {"x{1}", "{2}", "none"}, {"0:{1}", "0:{2}"}, {""}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.channels));
        const auto stream = make(r.factory);
        handles subscriptions;
        for (const auto& channel : r.channels) {
            subscriptions.push_back(record(*stream, channel));
        }
        EXPECT_EQ(await_subscriptions(*stream, subscriptions), r.subscribed);
        ASSERT_TRUE(publish(r.frames));
        EXPECT_EQ(m_calls, r.calls);
    }
}

TEST_F(MessageStream, ThousandsOfChannelsAreAllSubscribedInZeroMq) {
    const auto stream = make(raw);
    handles subscriptions;
    for (int i = 0; i < 5000; ++i) {
        subscriptions.push_back(record(*stream, "c" + std::to_string(i) + "/"));
    }
    EXPECT_EQ(await_subscriptions(*stream, subscriptions).size(), 5000u);
    ASSERT_TRUE(publish({"c4999/x", "c0/y"}));
    EXPECT_EQ(m_calls, (std::vector<std::string>{"4999:c4999/x", "0:c0/y"}));
}

TEST_F(MessageStream, CallbackLivesExactlyAsLongAsItsHandle) {
    auto stream = make(raw);
    const auto state = std::make_shared<int>(0);
    handles subscriptions;
    subscriptions.push_back(stream->subscribe("a", [this, state](boost::string_view _text) {
        m_calls.push_back("gone:" + std::string(_text));
    }));
    subscriptions.push_back(record(*stream, "a"));
    await_subscriptions(*stream, subscriptions);
    ASSERT_TRUE(publish({"a1"}));
    subscriptions.front().reset();
    EXPECT_EQ(state.use_count(), 1);
    ASSERT_TRUE(publish({"a2", "a3"}));
    EXPECT_EQ(m_calls, (std::vector<std::string>{"gone:a1", "0:a1", "0:a2", "0:a3"}));
    // The handles outlive their stream.
    stream.reset();
}

TEST_F(MessageStream, CallbacksMaySubscribeOrDestroyTheStreamDuringADispatch) {
    auto stream = make(raw);
    handles subscriptions;
    subscriptions.push_back(stream->subscribe("a", [&](boost::string_view _text) {
        m_calls.push_back("subscribing:" + std::string(_text));
        if (subscriptions.size() < 5) {
            subscriptions.push_back(record(*stream, "a"));
        }
    }));
    subscriptions.push_back(stream->subscribe("b", [&](boost::string_view _text) {
        m_calls.push_back("destroying:" + std::string(_text));
        stream.reset();
    }));
    subscriptions.push_back(stream->subscribe(
        "b", [&](boost::string_view _text) { m_calls.push_back("after:" + std::string(_text)); }));
    await_subscriptions(*stream, subscriptions);
    ASSERT_TRUE(publish({"a1", "a2"}));
    // The callback subscribed during a1 starts with a2.
    EXPECT_EQ(m_calls, (std::vector<std::string>{"subscribing:a1", "subscribing:a2", "1:a2"}));

    m_calls.clear();
    for (const char* text : {"b1", "b2"}) {
        asio_zmq::message message{std::string_view(text)};
        m_publisher.send(message);
    }
    ASSERT_TRUE(kelm::test::run_until(m_loop->get_io_context(), [&] { return !stream; }));
    m_loop->get_io_context().run_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_calls, (std::vector<std::string>{"destroying:b1", "after:b1"}));
}

TEST_F(MessageStream, FramesFromTheRuntimesPubSocketAndRefusedAddresses) {
    const auto stream = make(json);
    auto pub = m_loop->get_zmq().bind(core::zmq::socket::type::pub, "inproc://runtime-pub");
    auto own = m_loop->create_zmq_message_stream("inproc://runtime-pub");
    const auto subscription = own->subscribe(
        "t", [this](boost::string_view _text) { m_calls.push_back(std::string(_text)); });
    // Frames published before the subscription reached the PUB socket are dropped.
    ASSERT_TRUE(kelm::test::eventually([&] {
        pub->send(core::zmq::message(std::string_view("#t {1}")));
        return kelm::test::run_until(
            m_loop->get_io_context(), [this] { return !m_calls.empty(); },
            std::chrono::milliseconds(20));
    }));
    EXPECT_EQ(m_calls.front(), "{1}");
    EXPECT_THROW(m_loop->create_zmq_raw_message_stream("foo://bar"), boost::system::system_error);
    EXPECT_THROW(m_loop->create_zmq_message_stream("tcp://127.0.0.1"), boost::system::system_error);
}
