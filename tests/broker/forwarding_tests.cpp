#include "broker_process.hpp"

#include <core/logger.hpp>

#include <signal.h>
#include <syslog.h>
#include <zmq.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using test_support::broker_process;
using test_support::temporary_directory;

namespace {

// A running broker on ipc endpoints of its own, with a producer and a consumer that
// have seen a frame go all the way through.
class Broker : public ::testing::Test {
protected:
    void SetUp() override {
        m_input = "ipc://" + m_directory.path() + "/in";
        m_output = "ipc://" + m_directory.path() + "/out";
        const auto file = m_directory.write_file(
            "broker.json", R"({"system": {"input_address": ")" + m_input +
                               R"(", "output_address": ")" + m_output + R"("}})");
        m_broker =
            std::make_unique<broker_process>(std::vector<std::string>{"-c", file}, m_environment);
        m_producer.set(zmq::sockopt::sndtimeo, 20000);
        m_producer.connect(m_input);
    }

    void TearDown() override {
        if (m_broker) {
            m_broker->send_signal(SIGKILL);
        }
    }

    void connect_consumer(const std::string& _prefix = "") {
        // The consumer reads only after the producer is done: let it queue everything.
        m_consumer.set(zmq::sockopt::rcvhwm, 0);
        m_consumer.set(zmq::sockopt::rcvtimeo, 100);
        m_consumer.set(zmq::sockopt::subscribe, _prefix);
        m_consumer.connect(m_output);
        // Subscriptions take a moment to reach the broker: probe until one comes back,
        // then skip what is left of the probes up to a final marker.
        for (int attempt = 0; attempt < 200; ++attempt) {
            send(_prefix + "probe");
            if (receive() == _prefix + "probe") {
                send(_prefix + "ready");
                m_consumer.set(zmq::sockopt::rcvtimeo, 20000);
                for (std::string text; text != _prefix + "ready";) {
                    text = receive();
                    ASSERT_NE(text, "<timeout>");
                }
                return;
            }
        }
        FAIL() << "the broker never forwarded a probe";
    }

    void send(const std::string& _text, zmq::send_flags _flags = zmq::send_flags::none) {
        ASSERT_TRUE(m_producer.send(zmq::buffer(_text), _flags));
    }

    std::string receive(bool* _more = nullptr) {
        zmq::message_t message;
        if (!m_consumer.recv(message)) {
            return "<timeout>";
        }
        if (_more != nullptr) {
            *_more = message.more();
        }
        return message.to_string();
    }

    // Stops the broker, checks it ended in order, and returns its system-log lines.
    std::vector<test_support::syslog_line> stop(int _signal) {
        m_broker->send_signal(_signal);
        EXPECT_EQ(m_broker->wait(), 0);
        EXPECT_EQ(m_broker->standard_error(), "");
        auto lines = m_broker->syslog();
        m_broker.reset();
        EXPECT_GE(lines.size(), 2u);
        if (lines.size() >= 2u) {
            EXPECT_EQ(lines.front().text, "Starting quorvane");
            EXPECT_TRUE(is_exit_line(lines.back().text)) << lines.back().text;
        }
        return lines;
    }

    static bool is_exit_line(const std::string& _text) {
        return _text.rfind("/src/main.cpp:", 0) == 0 && _text.size() > 5 &&
               _text.compare(_text.size() - 5, 5, " exit") == 0;
    }

    std::vector<std::string> m_environment;
    temporary_directory m_directory;
    std::string m_input;
    std::string m_output;
    std::unique_ptr<broker_process> m_broker;
    zmq::context_t m_context;
    zmq::socket_t m_producer{m_context, zmq::socket_type::push};
    zmq::socket_t m_consumer{m_context, zmq::socket_type::sub};
};

}  // namespace

TEST_F(Broker, KeepsEachSendersOrder) {
    connect_consumer();
    zmq::socket_t second(m_context, zmq::socket_type::push);
    second.connect(m_input);
    // Below the broker's high-water mark, which would otherwise drop frames on the way.
    constexpr int count = 400;
    for (int i = 0; i < count && !HasFatalFailure(); ++i) {
        send("a" + std::to_string(i));
        ASSERT_TRUE(second.send(zmq::buffer("b" + std::to_string(i))));
    }
    int next_a = 0;
    int next_b = 0;
    while (next_a + next_b < 2 * count) {
        const std::string text = receive();
        ASSERT_NE(text, "<timeout>") << next_a << " " << next_b;
        int& next = text[0] == 'a' ? next_a : next_b;
        ASSERT_EQ(text.substr(1), std::to_string(next)) << text;
        ++next;
    }
}

TEST_F(Broker, PublishesEveryFrameAsAMessageOfItsOwn) {
    connect_consumer();
    send("first", zmq::send_flags::sndmore);
    send("", zmq::send_flags::sndmore);
    send("third");
    for (const std::string expected : {"first", "", "third"}) {
        bool more = true;
        EXPECT_EQ(receive(&more), expected);
        EXPECT_FALSE(more);
    }
}

TEST_F(Broker, SubscribersFilterLogLinesByPrefix) {
    connect_consumer("&producer:net ");
    kelm::libs::core::logger producer("producer", "main");
    const auto net = producer.component("net");
    producer.connect(m_input);
    producer.info("not for this subscriber");
    net->warning("link %1% down") % 3;
    const std::string line = receive();
    ASSERT_EQ(line.rfind("&producer:net ", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.size() - 11), "link 3 down");
}

TEST_F(Broker, WithoutSubscribersFramesAreDroppedQuietly) {
    for (int i = 0; i < 100; ++i) {
        send("nobody listens");
    }
    connect_consumer();
    EXPECT_EQ(stop(SIGTERM).size(), 3u);
}

TEST_F(Broker, SigintEndsInOrder) {
    connect_consumer();
    EXPECT_EQ(stop(SIGINT).size(), 3u);
}

class FaultyBroker : public Broker {
protected:
    FaultyBroker() {
        m_environment = {"QUORVANE_FAIL_SEND=poison", "QUORVANE_FAIL_RECEIVE_AFTER=before"};
    }
};

TEST_F(FaultyBroker, AFailedSendLosesOnlyItsFrame) {
    connect_consumer();
    send("poison");
    send("after");
    EXPECT_EQ(receive(), "after");
    const auto lines = stop(SIGTERM);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].priority, LOG_ERR);
    EXPECT_NE(lines[2].text.find("Operation not supported"), std::string::npos) << lines[2].text;
}

TEST_F(FaultyBroker, AFailedReceiveIsLoggedAndForwardingGoesOn) {
    connect_consumer();
    send("before");
    send("after");
    EXPECT_EQ(receive(), "before");
    EXPECT_EQ(receive(), "after");
    const auto lines = stop(SIGTERM);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].priority, LOG_ERR);
    EXPECT_EQ(lines[2].text.rfind("/src/main.cpp:", 0), 0u) << lines[2].text;
    EXPECT_NE(lines[2].text.find(": Bad address"), std::string::npos) << lines[2].text;
}

TEST(BrokerBind, SameEndpointTwiceFailsWithoutExitLine) {
    temporary_directory directory;
    // TCP, since a second ipc bind takes the path over instead of failing.
    std::string endpoint;
    {
        zmq::context_t context;
        zmq::socket_t probe(context, zmq::socket_type::pull);
        probe.bind("tcp://127.0.0.1:*");
        endpoint = probe.get(zmq::sockopt::last_endpoint);
    }
    const auto file =
        directory.write_file("broker.json", R"({"system": {"input_address": ")" + endpoint +
                                                R"(", "output_address": ")" + endpoint + R"("}})");
    broker_process broker({"-c", file});
    EXPECT_EQ(broker.wait(), 1);
    const auto lines = broker.syslog();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].priority, LOG_ERR);
    EXPECT_NE(lines[1].text.find("Address already in use"), std::string::npos) << lines[1].text;
    EXPECT_EQ(broker.standard_error(), lines[1].text + "\n");
}

TEST(BrokerBind, MalformedEndpointFails) {
    temporary_directory directory;
    const auto file = directory.write_file(
        "broker.json", R"({"system": {"input_address": "ipc://)" + directory.path() +
                           R"(/in", "output_address": "nowhere"}})");
    broker_process broker({"-c", file});
    EXPECT_EQ(broker.wait(), 78);
    const auto lines = broker.syslog();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].text.find("system.output_address"), std::string::npos) << lines[1].text;
}

TEST_F(Broker, StuckSubscriberDoesNotHoldUpShutdown) {
    // A subscriber that never reads, with small buffers: frames queue up for it.
    zmq::socket_t stuck(m_context, zmq::socket_type::sub);
    stuck.set(zmq::sockopt::rcvhwm, 1);
    stuck.set(zmq::sockopt::rcvbuf, 4096);
    stuck.set(zmq::sockopt::subscribe, "");
    stuck.connect(m_output);
    connect_consumer();
    const std::string big(64 * 1024, 'x');
    for (int i = 0; i < 2000 && !HasFatalFailure(); ++i) {
        send(big);
    }
    // Once the healthy consumer hears nothing for a while, the broker has handled every frame.
    m_consumer.set(zmq::sockopt::rcvtimeo, 1000);
    while (receive() != "<timeout>") {
    }
    EXPECT_EQ(stop(SIGTERM).size(), 3u);
}
