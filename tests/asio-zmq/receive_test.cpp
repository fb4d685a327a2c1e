#include "test_support.hpp"

#include <boost/asio/post.hpp>

#include <array>
#include <memory>
#include <stdexcept>
#include <thread>

namespace az = kelm::libs::asio_zmq;
using namespace az::test;
using lines = std::vector<std::string>;

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

    void send(std::initializer_list<std::string> _texts, int _flags = 0) {
        for (const auto& text : _texts) {
            send_text(push, text, _flags);
        }
    }

    // Starts a receive and lets it wait on the descriptor.
    void pending(az::socket& _socket, const std::string& _name) {
        _socket.async_receive(log.note(_name));
        io_context.poll();
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

    bool logged(std::size_t _count) {
        return run_until(io_context, [&] { return log.lines.size() >= _count; });
    }

    boost::asio::io_context io_context;
    az::pull_socket pull{io_context};
    az::push_socket push{io_context};
    completion_log log;
    int received = 0;
};

}  // namespace

// Handlers small enough to be stored inline and larger ones alike.
TEST_F(ReceiveTest, FramesArriveInOrderWhetherQueuedOrSentFromTheHandler) {
    const std::array<char, 512> ballast{'b'};
    int sent = 0;
    const auto send_next = [&] { send_text(push, std::to_string(sent++)); };
    const auto round = [&](auto _between) {
        for (received = sent = 0; sent < 5000;) {
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

TEST_F(ReceiveTest, HandlersRunOneAfterTheOtherFromTheIoContextFrameByFrame) {
    send({"head", ""}, ZMQ_SNDMORE);
    send({"tail", ""});
    std::function<void(int)> arm = [&](int _left) {
        pull.async_receive([&, _left](const boost::system::error_code& error, az::message& frame,
                                      std::size_t bytes) {
            log.lines.push_back("begin");
            if (_left > 1) {
                arm(_left - 1);
            }
            log.note("end")(error, frame, bytes);
        });
    };
    arm(4);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_TRUE(logged(8));
    EXPECT_EQ(log.lines, (lines{"begin", "end 'head'+", "begin", "end ''+", "begin", "end 'tail'",
                                "begin", "end ''"}));
}

// ZMQ_FD signals changes only once, and any libzmq call may consume the signal: whatever
// consumed it, the frame behind it must still reach the pending receive.
TEST_F(ReceiveTest, NoFrameIsStrandedWhileNoReceiveIsPending) {
    pending(pull, "pending");
    send({"one"});
    EXPECT_TRUE(logged(1));
    send({"while none was pending"});
    io_context.poll();
    boost::asio::post(io_context, [&] { pull.async_receive(log.note("posted")); });
    EXPECT_TRUE(logged(2));
    EXPECT_EQ(log.lines, (lines{"pending 'one'", "posted 'while none was pending'"}));
}

TEST_F(ReceiveTest, NoFrameIsStrandedByASynchronousReceive) {
    pending(pull, "after a synchronous receive");
    send({"taken synchronously", "left for the handler"});
    az::message frame;
    EXPECT_EQ(pull.receive(frame, ZMQ_DONTWAIT), 19u);
    EXPECT_TRUE(logged(1));
    EXPECT_EQ(log.lines, lines{"after a synchronous receive 'left for the handler'"});
}

TEST_F(ReceiveTest, NoFrameIsStrandedByASendOnTheSameSocket) {
    // libzmq handles commands during a send only when some time has passed since it last did,
    // so after the pause the send reads the signal that announced the frame.
    az::socket near(io_context, ZMQ_PAIR);
    near.bind("inproc://pair");
    az::socket far(io_context, ZMQ_PAIR);
    far.connect("inproc://pair");
    pending(near, "after a send");
    send_text(far, "for near");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    send_text(near, "for far");
    EXPECT_TRUE(logged(1));
    EXPECT_EQ(receive_text(far), "for far");
    EXPECT_EQ(log.lines, lines{"after a send 'for near'"});
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

// A pending receive completes once, posted, and leaves nothing behind, not even a wait on the
// descriptor; receives on sockets that are gone fail the same way.
TEST_F(ReceiveTest, EveryReceiveCompletesOnceWhateverEndsIt) {
    pending(pull, "cancelled");
    pull.cancel();
    pull.cancel();
    EXPECT_TRUE(log.lines.empty());
    EXPECT_TRUE(drains(io_context));
    pull.async_receive(log.note("after cancel"));
    pull.async_receive(log.note("second"));
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_TRUE(logged(2));
    send({"for the one after cancel"});
    EXPECT_TRUE(logged(3));

    pending(pull, "closed");
    pending(*std::make_unique<az::pull_socket>(io_context), "destroyed");
    pull.close();
    pull.async_receive(log.note("on a closed socket"));
    az::socket taken(std::move(push));
    push.async_receive(log.note("on a moved-from socket"));
    az::pub_socket pub(io_context);
    pub.async_receive(log.note("on a PUB"));
    az::req_socket req(io_context);
    req.async_receive(log.note("out of turn"));
    EXPECT_EQ(log.lines.size(), 3u);
    EXPECT_TRUE(drains(io_context));
    EXPECT_EQ(
        log.lines,
        (lines{
            "cancelled system: Operation canceled", "second system: Operation already in progress",
            "after cancel 'for the one after cancel'", "destroyed system: Operation canceled",
            "closed system: Operation canceled", "on a closed socket system: Bad file descriptor",
            "on a moved-from socket system: Bad file descriptor",
            "on a PUB zmq: Operation not supported",
            "out of turn zmq: " + std::string(zmq_strerror(EFSM))}));
}

TEST_F(ReceiveTest, DestroyingTheSocketFromItsOwnHandlerIsSafe) {
    auto owned = std::make_unique<az::pull_socket>(io_context);
    owned->bind("inproc://self-destruct");
    az::push_socket sender(io_context);
    sender.connect("inproc://self-destruct");
    send_text(sender, "last words");
    send_text(sender, "never read");
    owned->async_receive(
        [&](const boost::system::error_code& error, az::message& frame, std::size_t bytes) {
            log.note("last")(error, frame, bytes);
            owned->async_receive(log.note("rearmed"));
            owned.reset();
        });
    EXPECT_TRUE(drains(io_context));
    EXPECT_EQ(log.lines, (lines{"last 'last words'", "rearmed system: Operation canceled"}));
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
    for (std::size_t i = 0; i < 10 * az::receive_batch_limit; ++i) {
        send_text(push, "x");
    }
    collector frames(pull, 10 * az::receive_batch_limit);
    frames.arm();
    std::size_t seen_by_posted_work = 0;
    boost::asio::post(io_context, [&] { seen_by_posted_work = frames.frames.size(); });
    ASSERT_TRUE(run_until(io_context, [&] { return frames.done(); }));
    // One completion hands a whole batch to successive handlers, then lets the posted work in.
    EXPECT_EQ(seen_by_posted_work, az::receive_batch_limit);
}

TEST_F(ReceiveTest, ReceiveStartedBeforeAHandlerThrowsGoesOn) {
    send({"throws", "after the throw"});
    pull.async_receive([&](const boost::system::error_code&, az::message&, std::size_t) {
        pull.async_receive(log.note("next"));
        throw std::runtime_error("handler failed");
    });
    EXPECT_THROW(io_context.run_for(kelm::test::patience), std::runtime_error);
    EXPECT_TRUE(logged(1));
    EXPECT_EQ(log.lines, lines{"next 'after the throw'"});
}
