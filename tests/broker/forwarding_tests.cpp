#include "broker_process.hpp"

#include <core/logger.hpp>

#include <fnmatch.h>
#include <signal.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using test_support::running_broker;

namespace {

class Broker : public ::testing::Test {
protected:
    void start(const std::vector<std::string>& _environment = {}, const std::string& _prefix = "") {
        m_broker.emplace(_environment, _prefix);
        ASSERT_TRUE(m_broker->forwarding()) << "the broker never forwarded a probe";
    }

    bool send(const std::string& _text, zmq::send_flags _flags = zmq::send_flags::none) {
        return m_broker->peers.send(_text, _flags);
    }

    std::string receive(bool* _more = nullptr) {
        return m_broker->peers.receive(_more).value_or("<timeout>");
    }

    std::optional<running_broker> m_broker;
};

}  // namespace

TEST_F(Broker, KeepsEachSendersOrder) {
    start();
    zmq::socket_t second(m_broker->peers.context, zmq::socket_type::push);
    second.set(zmq::sockopt::linger, 0);
    second.connect(m_broker->input);
    // Below the broker's high-water mark, which would otherwise drop frames on the way.
    constexpr int count = 400;
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(send("a" + std::to_string(i)));
        ASSERT_TRUE(second.send(zmq::buffer("b" + std::to_string(i))));
    }
    int next[2] = {0, 0};
    while (next[0] + next[1] < 2 * count) {
        const std::string text = receive();
        ASSERT_NE(text, "<timeout>") << next[0] << " " << next[1];
        ASSERT_EQ(text.substr(1), std::to_string(next[text[0] == 'b']++)) << text;
    }
}

TEST_F(Broker, PublishesEveryFrameAsAMessageOfItsOwn) {
    start();
    ASSERT_TRUE(send("first", zmq::send_flags::sndmore) && send("", zmq::send_flags::sndmore) &&
                send("third"));
    for (const std::string expected : {"first", "", "third"}) {
        bool more = true;
        EXPECT_EQ(receive(&more), expected);
        EXPECT_FALSE(more);
    }
}

TEST_F(Broker, SubscribersPickLogLinesByPrefix) {
    start({}, "&producer:net ");
    kelm::libs::core::logger producer("producer", "main");
    producer.connect(m_broker->input);
    producer.info("not for this subscriber");
    producer.component("net")->warning("link %1% down") % 3;
    const std::string line = receive();
    EXPECT_EQ(line.rfind("&producer:net ", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.size() - 11), "link 3 down");
}

TEST_F(Broker, EitherSignalEndsItInOrderWhileFramesFindNoSubscriber) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        start();
        m_broker->peers.sub.set(zmq::sockopt::unsubscribe, "");
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(send("nobody listens"));
        }
        EXPECT_EQ(m_broker->stop(signal).size(), 3u);
    }
}

// A failed send loses only its own frame; a failed receive loses nothing.
TEST_F(Broker, FailuresAreLoggedAndForwardingGoesOn) {
    start({"QUORVANE_FAIL_SEND=poison", "QUORVANE_FAIL_RECEIVE_AFTER=before"});
    ASSERT_TRUE(send("poison") && send("before") && send("after"));
    EXPECT_EQ(receive(), "before");
    EXPECT_EQ(receive(), "after");
    const auto lines = m_broker->stop(SIGTERM);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2].priority + lines[3].priority, 2 * LOG_ERR);
    EXPECT_NE(lines[2].text.find("Operation not supported"), std::string::npos) << lines[2].text;
    EXPECT_EQ(::fnmatch("/src/main.cpp:*: Bad address", lines[3].text.c_str(), 0), 0)
        << lines[3].text;
}

TEST_F(Broker, StuckSubscriberDoesNotHoldUpShutdown) {
    start();
    // A subscriber that stops reading after one frame, with small buffers: frames queue up.
    zmq::socket_t stuck(m_broker->peers.context, zmq::socket_type::sub);
    stuck.set(zmq::sockopt::linger, 0);
    stuck.set(zmq::sockopt::rcvhwm, 1);
    stuck.set(zmq::sockopt::rcvbuf, 4096);
    stuck.set(zmq::sockopt::rcvtimeo, 100);
    stuck.set(zmq::sockopt::subscribe, "");
    stuck.connect(m_broker->output);
    zmq::message_t first;
    ASSERT_TRUE(kelm::test::eventually([&] { return send("probe") && stuck.recv(first); }));
    const std::string big(64 * 1024, 'x');
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(send(big));
    }
    // Once the healthy consumer hears nothing for a while, the broker has handled every frame.
    while (m_broker->peers.receive(nullptr, std::chrono::seconds(1))) {
    }
    EXPECT_EQ(m_broker->stop(SIGTERM).size(), 3u);
}
