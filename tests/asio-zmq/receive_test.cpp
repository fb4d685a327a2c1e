#include "test_support.hpp"

#include <asio_zmq/error.hpp>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <array>
#include <memory>
#include <stdexcept>
#include <thread>

namespace az = kelm::libs::asio_zmq;
using namespace az::test;
using boost::asio::error::operation_aborted;

namespace {

class ReceiveTest : public ::testing::Test {
protected:
    // A PUSH/PULL pair over inproc with room for any number of queued frames.
    ReceiveTest() {
        pull.set_option(ZMQ_RCVHWM, 0);
        pull.bind("inproc://pipeline");
        push.set_option(ZMQ_SNDHWM, 0);
        push.connect("inproc://pipeline");
    }

    // Receives frames "0", "1", ... up to _count, re-arming from each handler, which carries
    // _between and calls it first.
    template <typename Between>
    void receive_in_order(int _count, Between _between) {
        pull.async_receive(
            [=](const boost::system::error_code& error, az::message& frame, std::size_t) {
                _between();
                ASSERT_FALSE(error);
                ASSERT_EQ(frame.string_view(), std::to_string(received));
                if (++received < _count) {
                    receive_in_order(_count, _between);
                }
            });
    }

    // Starts a receive that waits on the descriptor.
    void pending(az::socket& _socket, completion_record& _record) {
        _socket.async_receive(_record.handler());
        io_context.poll();
        ASSERT_EQ(_record.calls, 0);
    }

    boost::asio::io_context io_context;
    az::pull_socket pull{io_context};
    az::push_socket push{io_context};
    int received = 0;
};

}  // namespace

// Handlers small enough to be stored inline and larger ones alike.
TEST_F(ReceiveTest, FramesArriveInOrderWhetherQueuedOrSentFromTheHandler) {
    const std::array<char, 512> ballast{'b'};
    int sent = 0;
    const auto send_next = [&] { send_text(push, std::to_string(sent++)); };
    const auto round = [&](auto _between) {
        received = sent = 0;
        while (sent < 5000) {
            send_next();
        }
        receive_in_order(10000, [_between, &sent, &send_next] {
            _between();
            if (sent < 10000) {
                send_next();
            }
        });
        return run_until(io_context, [&] { return received == 10000; });
    };
    EXPECT_TRUE(round([] {}));
    EXPECT_TRUE(round([ballast] { ASSERT_EQ(ballast[0], 'b'); }));
}

TEST_F(ReceiveTest, HandlersNeverRunInsideAsyncReceiveNorInsideEachOther) {
    send_text(push, "first");
    send_text(push, "second");
    bool inside = false;
    completion_record first;
    completion_record second;
    pull.async_receive(
        [&](const boost::system::error_code& error, az::message& frame, std::size_t bytes) {
            first.handler()(error, frame, bytes);
            inside = true;
            pull.async_receive(
                [&](const boost::system::error_code& error, az::message& frame, std::size_t bytes) {
                    EXPECT_FALSE(inside);
                    second.handler()(error, frame, bytes);
                });
            inside = false;
        });
    EXPECT_EQ(first.calls, 0);
    ASSERT_TRUE(run_until(io_context, [&] { return second.calls == 1; }));
    EXPECT_TRUE(second.once({}, "second"));
}

TEST_F(ReceiveTest, MultiFrameMessagesAndEmptyFramesArriveFrameByFrame) {
    send_text(push, "head", ZMQ_SNDMORE);
    send_text(push, "", ZMQ_SNDMORE);
    send_text(push, "tail");
    send_text(push, "");
    collector frames(pull, 4);
    frames.arm();
    ASSERT_TRUE(run_until(io_context, [&] { return frames.done(); }));
    EXPECT_EQ(frames.frames, (std::vector<std::string>{"head", "", "tail", ""}));
    EXPECT_EQ(frames.more_marks, (std::vector<bool>{true, true, false, false}));
}

// ZMQ_FD signals changes only once, and any libzmq call may consume the signal: whatever
// consumed it, the frame behind it must still reach the pending receive.
TEST_F(ReceiveTest, NoFrameIsStrandedByWhatConsumedTheDescriptorsSignal) {
    completion_record first;
    pending(pull, first);
    send_text(push, "one");
    ASSERT_TRUE(run_until(io_context, [&] { return first.calls == 1; }));
    send_text(push, "while no receive was pending");
    io_context.poll();
    completion_record second;
    boost::asio::post(io_context, [&] { pull.async_receive(second.handler()); });
    ASSERT_TRUE(run_until(io_context, [&] { return second.calls == 1; }));
    EXPECT_TRUE(second.once({}, "while no receive was pending"));

    completion_record third;
    pending(pull, third);
    send_text(push, "taken synchronously");
    send_text(push, "left for the handler");
    az::message frame;
    EXPECT_EQ(pull.receive(frame, ZMQ_DONTWAIT), 19u);
    ASSERT_TRUE(run_until(io_context, [&] { return third.calls == 1; }));
    EXPECT_TRUE(third.once({}, "left for the handler"));

    // libzmq handles commands during a send only when some time has passed since it last did,
    // so after the pause the send reads the signal that announced the frame.
    az::socket near(io_context, ZMQ_PAIR);
    near.bind("inproc://pair");
    az::socket far(io_context, ZMQ_PAIR);
    far.connect("inproc://pair");
    completion_record fourth;
    pending(near, fourth);
    send_text(far, "for near");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    send_text(near, "for far");
    ASSERT_TRUE(run_until(io_context, [&] { return fourth.calls == 1; }));
    EXPECT_TRUE(fourth.once({}, "for near"));
    EXPECT_EQ(receive_text(far), "for far");
}

TEST_F(ReceiveTest, RequestReplyPingPongOverInprocAndTcp) {
    for (const std::string endpoint : {"inproc://ping", "tcp://127.0.0.1:*"}) {
        az::rep_socket rep(io_context);
        rep.bind(endpoint);
        az::req_socket req(io_context);
        req.connect(rep.endpoint());
        int completed = 0;
        serve(rep);
        request(req, completed, 1000);
        EXPECT_TRUE(run_until(io_context, [&] { return completed == 1000; })) << endpoint;
    }
}

TEST_F(ReceiveTest, CancelCompletesThePendingReceiveOnceAndTheNextGoesOn) {
    completion_record cancelled;
    pending(pull, cancelled);
    pull.cancel();
    EXPECT_EQ(cancelled.calls, 0);
    EXPECT_TRUE(drains(io_context));
    EXPECT_TRUE(cancelled.once(operation_aborted));
    pull.cancel();

    completion_record next;
    pull.async_receive(next.handler());
    send_text(push, "after cancel");
    ASSERT_TRUE(run_until(io_context, [&] { return next.calls == 1; }));
    EXPECT_TRUE(next.once({}, "after cancel"));
    EXPECT_EQ(cancelled.calls, 1);
}

TEST_F(ReceiveTest, SecondReceiveWhilePendingFailsAndLeavesTheFirst) {
    completion_record first;
    completion_record second;
    pull.async_receive(first.handler());
    pull.async_receive(second.handler());
    EXPECT_EQ(second.calls, 0);
    io_context.poll();
    EXPECT_TRUE(second.once(boost::asio::error::already_started));
    EXPECT_EQ(first.calls, 0);
    send_text(push, "for the first");
    ASSERT_TRUE(run_until(io_context, [&] { return first.calls == 1; }));
    EXPECT_TRUE(first.once({}, "for the first"));
}

TEST_F(ReceiveTest, ClosingOrDestroyingCompletesThePendingReceiveAfterwards) {
    completion_record closed;
    pending(pull, closed);
    completion_record destroyed;
    pending(*std::make_unique<az::pull_socket>(io_context), destroyed);
    pull.close();
    EXPECT_EQ(destroyed.calls + closed.calls, 0);
    EXPECT_TRUE(drains(io_context));
    EXPECT_TRUE(closed.once(operation_aborted));
    EXPECT_TRUE(destroyed.once(operation_aborted));

    completion_record late;
    pull.async_receive(late.handler());
    completion_record moved_from;
    const az::socket taken(std::move(push));
    push.async_receive(moved_from.handler());
    EXPECT_EQ(late.calls + moved_from.calls, 0);
    EXPECT_TRUE(drains(io_context));
    EXPECT_TRUE(late.once(boost::asio::error::bad_descriptor));
    EXPECT_TRUE(moved_from.once(boost::asio::error::bad_descriptor));
}

TEST_F(ReceiveTest, DestroyingTheSocketFromItsOwnHandlerIsSafe) {
    auto owned = std::make_unique<az::pull_socket>(io_context);
    owned->bind("inproc://self-destruct");
    az::push_socket sender(io_context);
    sender.connect("inproc://self-destruct");
    send_text(sender, "last words");
    send_text(sender, "never read");
    completion_record rearmed;
    owned->async_receive([&](const boost::system::error_code&, az::message& frame, std::size_t) {
        EXPECT_EQ(frame.string_view(), "last words");
        owned->async_receive(rearmed.handler());
        owned.reset();
    });
    EXPECT_TRUE(drains(io_context));
    EXPECT_TRUE(rearmed.once(operation_aborted));
}

TEST(ReceiveLifetime, HandlerLeftInADestroyedIoContextIsDestroyedUncalled) {
    const auto token = std::make_shared<int>(0);
    {
        boost::asio::io_context io_context;
        az::pull_socket pull(io_context);
        pull.bind("inproc://abandoned");
        pull.async_receive([token](const boost::system::error_code&, az::message&, std::size_t) {
            ADD_FAILURE() << "called";
        });
        io_context.poll();
        EXPECT_EQ(token.use_count(), 2);
    }
    EXPECT_EQ(token.use_count(), 1);
}

TEST_F(ReceiveTest, BatchLetsOtherWorkRunDuringAFlood) {
    constexpr std::size_t flood = 10 * az::receive_batch_limit;
    for (std::size_t i = 0; i < flood; ++i) {
        send_text(push, "x");
    }
    collector frames(pull, flood);
    frames.arm();
    std::size_t seen_by_posted_work = flood;
    boost::asio::post(io_context, [&] { seen_by_posted_work = frames.frames.size(); });
    ASSERT_TRUE(run_until(io_context, [&] { return frames.done(); }));
    // One completion hands a whole batch to successive handlers, then lets the posted work in.
    EXPECT_EQ(seen_by_posted_work, az::receive_batch_limit);
}

TEST_F(ReceiveTest, ReceiveStartedBeforeAHandlerThrowsGoesOn) {
    send_text(push, "throws");
    send_text(push, "after the throw");
    completion_record next;
    pull.async_receive([&](const boost::system::error_code&, az::message&, std::size_t) {
        pull.async_receive(next.handler());
        throw std::runtime_error("handler failed");
    });
    EXPECT_THROW(io_context.run_for(kelm::test::patience), std::runtime_error);
    ASSERT_TRUE(run_until(io_context, [&] { return next.calls == 1; }));
    EXPECT_TRUE(next.once({}, "after the throw"));
}

TEST_F(ReceiveTest, ReceiveErrorsGoToTheHandler) {
    az::req_socket req(io_context);
    req.connect("inproc://nowhere");
    completion_record out_of_turn;
    req.async_receive(out_of_turn.handler());
    az::pub_socket pub(io_context);
    completion_record unsupported;
    pub.async_receive(unsupported.handler());
    EXPECT_EQ(out_of_turn.calls, 0);
    ASSERT_TRUE(run_until(io_context, [&] { return out_of_turn.calls + unsupported.calls == 2; }));
    EXPECT_TRUE(out_of_turn.once(az::make_error_code(EFSM)));
    EXPECT_TRUE(unsupported.once(az::make_error_code(ENOTSUP)));
}
