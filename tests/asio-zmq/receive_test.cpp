#include <asio_zmq/error.hpp>
#include <asio_zmq/socket.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace az = kelm::libs::asio_zmq;
using az::test::collector;
using az::test::receive_text;
using az::test::run_until;
using az::test::send_text;

namespace {

class ReceiveTest : public ::testing::Test {
protected:
    // A PUSH/PULL pair over inproc with room for any number of queued frames.
    void connect_pair() {
        pull.set_option(ZMQ_RCVHWM, 0);
        pull.bind("inproc://pipeline");
        push.set_option(ZMQ_SNDHWM, 0);
        push.connect("inproc://pipeline");
    }

    boost::asio::io_context io_context;
    az::pull_socket pull{io_context};
    az::push_socket push{io_context};
};

// Counts calls and records the error of the last one.
struct completion_record {
    int calls = 0;
    boost::system::error_code error;
    std::string frame;
};

auto recording_handler(completion_record& record) {
    return [&record](const boost::system::error_code& error, az::message& frame, std::size_t) {
        ++record.calls;
        record.error = error;
        record.frame = std::string(frame.string_view());
    };
}

}  // namespace

TEST_F(ReceiveTest, FramesQueuedBeforeTheFirstReceiveArriveAllAndInOrder) {
    connect_pair();
    constexpr std::size_t count = 10000;
    for (std::size_t i = 0; i < count; ++i) {
        send_text(push, std::to_string(i));
    }
    collector received(pull, count);
    received.arm();
    ASSERT_TRUE(run_until(io_context, [&] { return received.done(); }));
    ASSERT_EQ(received.frames.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(received.frames[i], std::to_string(i));
    }
    EXPECT_FALSE(received.first_error);
}

TEST_F(ReceiveTest, HandlerNeverRunsInsideAsyncReceive) {
    connect_pair();
    send_text(push, "already waiting");
    completion_record record;
    pull.async_receive(recording_handler(record));
    EXPECT_EQ(record.calls, 0);
    ASSERT_TRUE(run_until(io_context, [&] { return record.calls == 1; }));
    EXPECT_FALSE(record.error);
    EXPECT_EQ(record.frame, "already waiting");
}

TEST_F(ReceiveTest, ReArmingInsideTheHandlerDoesNotRunTheNextHandlerInline) {
    connect_pair();
    send_text(push, "first");
    send_text(push, "second");
    bool in_first = false;
    std::string second;
    pull.async_receive([&](const boost::system::error_code&, az::message&, std::size_t) {
        in_first = true;
        pull.async_receive([&](const boost::system::error_code&, az::message& frame, std::size_t) {
            EXPECT_FALSE(in_first);
            second = std::string(frame.string_view());
        });
        in_first = false;
    });
    ASSERT_TRUE(run_until(io_context, [&] { return !second.empty(); }));
    EXPECT_EQ(second, "second");
}

TEST_F(ReceiveTest, FramesSentFromInsideTheHandlerAreDelivered) {
    connect_pair();
    constexpr int rounds = 2000;
    int next = 0;
    std::function<void()> arm = [&] {
        pull.async_receive(
            [&](const boost::system::error_code& error, az::message& frame, std::size_t) {
                ASSERT_FALSE(error);
                ASSERT_EQ(frame.string_view(), std::to_string(next));
                if (++next < rounds) {
                    send_text(push, std::to_string(next));
                    arm();
                }
            });
    };
    arm();
    send_text(push, "0");
    EXPECT_TRUE(run_until(io_context, [&] { return next == rounds; }));
}

TEST_F(ReceiveTest, FramesArrivingWhileNoReceiveIsPendingAreNotLeftBehind) {
    connect_pair();
    completion_record first;
    pull.async_receive(recording_handler(first));
    send_text(push, "one");
    ASSERT_TRUE(run_until(io_context, [&] { return first.calls == 1; }));

    send_text(push, "two");
    io_context.poll();
    completion_record second;
    boost::asio::post(io_context, [&] { pull.async_receive(recording_handler(second)); });
    ASSERT_TRUE(run_until(io_context, [&] { return second.calls == 1; }));
    EXPECT_EQ(second.frame, "two");
}

// A synchronous receive reads the signal that announced the frames; the pending receive must
// still be served for the frame left behind.
TEST_F(ReceiveTest, SynchronousReceiveDoesNotStrandAPendingReceive) {
    connect_pair();
    completion_record record;
    pull.async_receive(recording_handler(record));
    io_context.poll();
    ASSERT_EQ(record.calls, 0);

    send_text(push, "taken synchronously");
    send_text(push, "left for the handler");
    az::message frame;
    ASSERT_EQ(pull.receive(frame, ZMQ_DONTWAIT), 19u);

    ASSERT_TRUE(run_until(
        io_context, [&] { return record.calls == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(record.frame, "left for the handler");
}

// libzmq only processes commands during a send when some time has passed since it last did, so
// the pause makes the send read the signal that announced the frame.
TEST_F(ReceiveTest, SendOnTheSameSocketDoesNotStrandAPendingReceive) {
    az::socket near(io_context, ZMQ_PAIR);
    near.bind("inproc://pair");
    az::socket far(io_context, ZMQ_PAIR);
    far.connect("inproc://pair");

    completion_record record;
    near.async_receive(recording_handler(record));
    io_context.poll();
    send_text(far, "for near");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    send_text(near, "for far");

    ASSERT_TRUE(run_until(
        io_context, [&] { return record.calls == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(record.frame, "for near");
    EXPECT_EQ(receive_text(far), "for far");
}

namespace {

// Both ends driven by async_receive, each sending on its own socket between receives.
class ping_pong {
public:
    ping_pong(az::socket& requester, az::socket& replier, int rounds)
        : m_requester(requester), m_replier(replier), m_rounds(rounds) {}

    void start() {
        arm_replier();
        request();
    }

    int completed = 0;
    bool failed = false;

private:
    void request() {
        send_text(m_requester, std::to_string(completed));
        m_requester.async_receive([this](const boost::system::error_code& error, az::message& frame,
                                         std::size_t) { on_reply(error, frame); });
    }

    void on_reply(const boost::system::error_code& error, az::message& frame) {
        if (error || frame.string_view() != "re:" + std::to_string(completed)) {
            failed = true;
            return;
        }
        if (++completed < m_rounds) {
            request();
        }
    }

    void arm_replier() {
        m_replier.async_receive([this](const boost::system::error_code& error, az::message& frame,
                                       std::size_t) { on_request(error, frame); });
    }

    void on_request(const boost::system::error_code& error, az::message& frame) {
        if (error) {
            failed = true;
            return;
        }
        send_text(m_replier, "re:" + std::string(frame.string_view()));
        arm_replier();
    }

    az::socket& m_requester;
    az::socket& m_replier;
    int m_rounds;
};

}  // namespace

TEST_F(ReceiveTest, RequestReplyPingPongOverInproc) {
    az::rep_socket rep(io_context);
    rep.bind("inproc://ping");
    az::req_socket req(io_context);
    req.connect("inproc://ping");
    ping_pong game(req, rep, 3000);
    game.start();
    EXPECT_TRUE(run_until(io_context, [&] { return game.completed == 3000 || game.failed; }));
    EXPECT_FALSE(game.failed);
    EXPECT_EQ(game.completed, 3000);
}

TEST_F(ReceiveTest, RequestReplyPingPongOverTcp) {
    az::rep_socket rep(io_context);
    rep.bind("tcp://127.0.0.1:*");
    az::req_socket req(io_context);
    req.connect(rep.endpoint());
    ping_pong game(req, rep, 1000);
    game.start();
    EXPECT_TRUE(run_until(io_context, [&] { return game.completed == 1000 || game.failed; }));
    EXPECT_FALSE(game.failed);
    EXPECT_EQ(game.completed, 1000);
}

TEST_F(ReceiveTest, CancelCompletesThePendingReceiveOnceWithOperationAborted) {
    connect_pair();
    completion_record record;
    pull.async_receive(recording_handler(record));
    io_context.poll();
    pull.cancel();
    EXPECT_EQ(record.calls, 0);

    // run() returning shows that nothing, not even a wait on libzmq's descriptor, is left.
    io_context.run_for(std::chrono::seconds(20));
    EXPECT_TRUE(io_context.stopped());
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.error, boost::asio::error::operation_aborted);
    pull.cancel();
}

TEST_F(ReceiveTest, ReceiveAfterCancelGetsTheNextFrame) {
    connect_pair();
    completion_record cancelled;
    completion_record next;
    pull.async_receive(recording_handler(cancelled));
    io_context.poll();
    pull.cancel();
    pull.async_receive(recording_handler(next));
    send_text(push, "after cancel");
    ASSERT_TRUE(run_until(io_context, [&] { return next.calls == 1; }));
    EXPECT_EQ(cancelled.calls, 1);
    EXPECT_EQ(cancelled.error, boost::asio::error::operation_aborted);
    EXPECT_FALSE(next.error);
    EXPECT_EQ(next.frame, "after cancel");
}

TEST_F(ReceiveTest, SecondReceiveWhilePendingFailsAndLeavesTheFirst) {
    connect_pair();
    completion_record first;
    completion_record second;
    pull.async_receive(recording_handler(first));
    pull.async_receive(recording_handler(second));
    EXPECT_EQ(second.calls, 0);
    io_context.poll();
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(second.error, boost::asio::error::already_started);
    EXPECT_EQ(first.calls, 0);

    send_text(push, "for the first");
    ASSERT_TRUE(run_until(io_context, [&] { return first.calls == 1; }));
    EXPECT_EQ(first.frame, "for the first");
}

TEST_F(ReceiveTest, ClosingCompletesThePendingReceiveWithOperationAborted) {
    connect_pair();
    completion_record record;
    pull.async_receive(recording_handler(record));
    io_context.poll();
    pull.close();
    EXPECT_EQ(record.calls, 0);
    io_context.run_for(std::chrono::seconds(20));
    EXPECT_TRUE(io_context.stopped());
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.error, boost::asio::error::operation_aborted);

    completion_record late;
    pull.async_receive(recording_handler(late));
    io_context.restart();
    io_context.poll();
    EXPECT_EQ(late.calls, 1);
    EXPECT_EQ(late.error, boost::asio::error::bad_descriptor);
}

TEST_F(ReceiveTest, DestroyingTheSocketCompletesThePendingReceiveAfterwards) {
    completion_record record;
    {
        az::pull_socket doomed(io_context);
        doomed.bind("inproc://doomed");
        doomed.async_receive(recording_handler(record));
        io_context.poll();
    }
    EXPECT_EQ(record.calls, 0);
    io_context.run_for(std::chrono::seconds(20));
    EXPECT_TRUE(io_context.stopped());
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.error, boost::asio::error::operation_aborted);
}

TEST(ReceiveLifetime, HandlerLeftInADestroyedIoContextIsDestroyedUncalled) {
    auto token = std::make_shared<int>(0);
    bool called = false;
    {
        boost::asio::io_context io_context;
        az::pull_socket pull(io_context);
        pull.bind("inproc://abandoned");
        pull.async_receive([token, &called](const boost::system::error_code&, az::message&,
                                            std::size_t) { called = true; });
        io_context.poll();
        EXPECT_EQ(token.use_count(), 2);
    }
    EXPECT_FALSE(called);
    EXPECT_EQ(token.use_count(), 1);
}

TEST_F(ReceiveTest, DestroyingTheSocketFromItsOwnHandlerIsSafe) {
    auto owned = std::make_unique<az::pull_socket>(io_context);
    owned->bind("inproc://self-destruct");
    push.connect("inproc://self-destruct");
    send_text(push, "last words");
    send_text(push, "never read");

    completion_record rearmed;
    std::string received;
    owned->async_receive([&](const boost::system::error_code&, az::message& frame, std::size_t) {
        received = std::string(frame.string_view());
        owned->async_receive(recording_handler(rearmed));
        owned.reset();
    });
    io_context.run_for(std::chrono::seconds(20));
    EXPECT_TRUE(io_context.stopped());
    EXPECT_EQ(received, "last words");
    EXPECT_EQ(rearmed.calls, 1);
    EXPECT_EQ(rearmed.error, boost::asio::error::operation_aborted);
}

TEST_F(ReceiveTest, BatchLetsOtherWorkRunDuringAFlood) {
    connect_pair();
    constexpr std::size_t flood = 10 * az::receive_batch_limit;
    for (std::size_t i = 0; i < flood; ++i) {
        send_text(push, "x");
    }
    collector received(pull, flood);
    received.arm();
    std::size_t seen_by_posted_work = flood;
    boost::asio::post(io_context, [&] { seen_by_posted_work = received.frames.size(); });

    ASSERT_TRUE(run_until(io_context, [&] { return received.done(); }));
    // One completion hands a whole batch to successive handlers, then lets the posted work in.
    EXPECT_EQ(seen_by_posted_work, az::receive_batch_limit);
}

TEST_F(ReceiveTest, ReceiveStartedBeforeAHandlerThrowsGoesOn) {
    connect_pair();
    send_text(push, "throws");
    send_text(push, "after the throw");
    completion_record next;
    pull.async_receive([&](const boost::system::error_code&, az::message&, std::size_t) {
        pull.async_receive(recording_handler(next));
        throw std::runtime_error("handler failed");
    });
    EXPECT_THROW(io_context.run(), std::runtime_error);
    ASSERT_TRUE(run_until(io_context, [&] { return next.calls == 1; }));
    EXPECT_EQ(next.frame, "after the throw");
}

TEST_F(ReceiveTest, MultiFrameMessagesAndEmptyFramesArriveFrameByFrame) {
    connect_pair();
    send_text(push, "head", ZMQ_SNDMORE);
    send_text(push, "", ZMQ_SNDMORE);
    send_text(push, "tail");
    send_text(push, "");
    collector received(pull, 4);
    received.arm();
    ASSERT_TRUE(run_until(io_context, [&] { return received.done(); }));
    EXPECT_EQ(received.frames, (std::vector<std::string>{"head", "", "tail", ""}));
    EXPECT_EQ(received.more_marks, (std::vector<bool>{true, true, false, false}));
}

TEST_F(ReceiveTest, HandlersTooLargeToStoreInlineWork) {
    connect_pair();
    constexpr int count = 200;
    for (int i = 0; i < count; ++i) {
        send_text(push, std::to_string(i));
    }
    std::array<char, 512> ballast{};
    ballast[0] = 'b';
    int received = 0;
    std::function<void()> arm = [&] {
        pull.async_receive(
            [&, ballast](const boost::system::error_code& error, az::message& frame, std::size_t) {
                ASSERT_FALSE(error);
                ASSERT_EQ(ballast[0], 'b');
                ASSERT_EQ(frame.string_view(), std::to_string(received));
                if (++received < count) {
                    arm();
                }
            });
    };
    arm();
    EXPECT_TRUE(run_until(io_context, [&] { return received == count; }));
}

TEST_F(ReceiveTest, ReceiveErrorsGoToTheHandler) {
    az::req_socket req(io_context);
    req.connect("inproc://nowhere");
    completion_record out_of_turn;
    req.async_receive(recording_handler(out_of_turn));
    EXPECT_EQ(out_of_turn.calls, 0);
    ASSERT_TRUE(run_until(io_context, [&] { return out_of_turn.calls == 1; }));
    EXPECT_EQ(out_of_turn.error, az::make_error_code(EFSM));
    EXPECT_EQ(out_of_turn.frame, "");

    az::pub_socket pub(io_context);
    completion_record unsupported;
    pub.async_receive(recording_handler(unsupported));
    ASSERT_TRUE(run_until(io_context, [&] { return unsupported.calls == 1; }));
    EXPECT_EQ(unsupported.error, az::make_error_code(ENOTSUP));
}

TEST_F(ReceiveTest, ReceiveOnAMovedFromSocketFailsWithBadDescriptor) {
    az::socket taken(std::move(pull));
    completion_record record;
    pull.async_receive(recording_handler(record));
    EXPECT_EQ(record.calls, 0);
    io_context.poll();
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.error, boost::asio::error::bad_descriptor);
}
