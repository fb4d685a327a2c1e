#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/zmq/manager.hpp>

#include <asio_zmq/socket.hpp>

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace core = kelm::libs::core;
using type = core::zmq::socket::type;

namespace {

core::zmq::message text(const std::string& _text) {
    return core::zmq::message(std::string_view(_text));
}

std::string text(const core::zmq::message& _frame) {
    return std::string(_frame.string_view()) + (_frame.more() ? "+" : "");
}

class ZmqSocket : public ::testing::Test {
protected:
    ZmqSocket() { test_support::clear_syslog_lines(); }

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

    // A callback that records each frame, "+" marking one that more frames follow.
    core::zmq::socket::callback recorder() {
        return [this](core::zmq::message& _frame) { m_frames.push_back(text(_frame)); };
    }

    static std::vector<std::string> errors() {
        std::vector<std::string> result;
        for (const auto& line : test_support::syslog_lines()) {
            if (line.priority == 3) {
                result.push_back(line.text);
            }
        }
        return result;
    }

    core::logger m_logger{"zmq-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    std::vector<std::string> m_frames;
};

}  // namespace

TEST_F(ZmqSocket, ReplacedCallbackTakesTheNextFrameWithoutASecondReceive) {
    auto pull = manager().bind(type::pull, "inproc://replaced");
    auto push = manager().connect(type::push, "inproc://replaced");
    pull->set_receive_callback([this](core::zmq::message&) { m_frames.push_back("first"); });
    // Replaces itself, then still uses its own state: long enough to live on the heap.
    pull->set_receive_callback(
        [this, &pull, name = std::string(40, 's')](core::zmq::message& _frame) {
            pull->set_receive_callback(recorder());
            m_frames.push_back(name.substr(0, 1) + text(_frame));
        });
    for (const char* frame : {"a", "b", "c"}) {
        push->send(text(frame));
    }
    ASSERT_TRUE(run_until([&] { return m_frames.size() == 3; }));
    settle();
    EXPECT_EQ(m_frames, (std::vector<std::string>{"sa", "b", "c"}));
    // A second receive would have completed with "already started", which is logged.
    EXPECT_EQ(errors(), std::vector<std::string>());
}

TEST_F(ZmqSocket, DestroyedInsideItsOwnCallbackReceivesNothingMore) {
    auto pull = manager().bind(type::pull, "inproc://destroyed");
    auto push = manager().connect(type::push, "inproc://destroyed");
    pull->set_receive_callback(
        [this, &pull, name = std::string(40, 'd')](core::zmq::message& _frame) {
            pull.reset();
            m_frames.push_back(name.substr(0, 1) + text(_frame));
        });
    push->send(text("a"));
    push->send(text("b"));
    ASSERT_TRUE(run_until([&] { return !m_frames.empty(); }));
    settle();
    EXPECT_EQ(m_frames, std::vector<std::string>{"da"});
    EXPECT_EQ(errors(), std::vector<std::string>());
}

TEST_F(ZmqSocket, TrySendIsFalseUntilAPeerTakesTheFrame) {
    auto push = manager().bind(type::push, "inproc://try-send");
    EXPECT_FALSE(push->try_send(text("lost")));
    EXPECT_FALSE(push->try_send(text("lost"), core::zmq::flags::sndmore));
    auto pull = manager().connect(type::pull, "inproc://try-send");
    pull->set_receive_callback(recorder());
    ASSERT_TRUE(kelm::test::eventually([&] { return push->try_send(text("kept")); }));
    ASSERT_TRUE(run_until([&] { return !m_frames.empty(); }));
    EXPECT_EQ(m_frames, std::vector<std::string>{"kept"});
}

TEST_F(ZmqSocket, RefusedEndpointsThrowWithZeroMqsReason) {
    kelm::libs::asio_zmq::socket holder(m_loop->get_io_context(), ZMQ_PULL);
    holder.bind("tcp://127.0.0.1:*");
    const std::string taken = holder.endpoint();
    struct row {
        bool bind;
        std::string address;
        std::string error;
    };
    const std::vector<row> rows{
        {true, taken, "zmq::socket_impl::bind to " + taken + ": Address already in use"},
        {true, "tcp://127.0.0.1", "zmq::socket_impl::bind to tcp://127.0.0.1: Invalid argument"},
        {false, "foo://bar", "zmq::socket_impl::connect to foo://bar: Protocol not supported"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.address);
        try {
            r.bind ? manager().bind(type::pull, r.address)
                   : manager().connect(type::push, r.address);
            ADD_FAILURE() << "no exception";
        } catch (const core::exception& e) {
            EXPECT_EQ(e.get_string_error(), r.error);
        }
    }
    EXPECT_THROW(manager().connect(static_cast<type>(5), "inproc://no-type"),
                 boost::system::system_error);
}

TEST_F(ZmqSocket, FramesWaitForTheCallbackWhichReadsTheRestOfAMessageWithReceiveMore) {
    auto pull = manager().bind(type::pull, "inproc://parts");
    auto push = manager().connect(type::push, "inproc://parts");
    push->send(text("a"), core::zmq::flags::sndmore);
    ASSERT_TRUE(push->try_send(text("b"), core::zmq::flags::sndmore));
    push->send(text("c"));
    push->send(text("d"));
    // A receive started without a callback would throw std::bad_function_call here.
    settle();
    pull->set_receive_callback([this, &pull](core::zmq::message& _frame) {
        m_frames.push_back(text(_frame));
        if (_frame.string_view() == "a") {
            m_frames.push_back("more " + text(pull->receive_more()));
        }
    });
    ASSERT_TRUE(run_until([&] { return m_frames.size() == 4; }));
    // c, left unread, arrives on its own.
    EXPECT_EQ(m_frames, (std::vector<std::string>{"a+", "more b+", "c", "d"}));
}

TEST_F(ZmqSocket, ReceiveErrorIsLoggedAndEndsReceiving) {
    auto rep = manager().bind(type::rep, "inproc://rep");
    auto req = manager().connect(type::req, "inproc://rep");
    // A REP socket that has not replied cannot receive: the next receive fails.
    rep->set_receive_callback(recorder());
    req->send(text("q1"));
    ASSERT_TRUE(run_until([&] { return !errors().empty(); }));
    EXPECT_EQ(m_frames, std::vector<std::string>{"q1"});
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_NE(errors()[0].find(": Operation cannot be accomplished in current state"),
              std::string::npos)
        << errors()[0];

    rep->send(text("r1"));
    EXPECT_EQ(text(req->receive_more()), "r1");
    req->send(text("q2"));
    settle();
    EXPECT_EQ(m_frames, std::vector<std::string>{"q1"});
}
