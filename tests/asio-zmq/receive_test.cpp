#include "test_support.hpp"

#include <asio_zmq/error.hpp>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <poll.h>

#include <memory>
#include <stdexcept>
#include <thread>

namespace az = kelm::libs::asio_zmq;
using namespace az::test;
using lines = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// libzmq has news for the socket that no call has handled yet.
bool signalled(const az::socket& _socket, int _timeout_ms = 0) {
    int fd = -1;
    std::size_t size = sizeof fd;
    zmq_getsockopt(_socket.native_handle(), ZMQ_FD, &fd, &size);
    pollfd descriptor{fd, POLLIN, 0};
    return ::poll(&descriptor, 1, _timeout_ms) == 1;
}

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

    bool logged(std::size_t _count) {
        return run_until(io_context, [&] { return log.lines.size() >= _count; });
    }

    boost::asio::io_context io_context;
    az::pull_socket pull{io_context};
    az::push_socket push{io_context};
    completion_log log;
};

}  // namespace

// One completion hands a whole batch to successive handlers, then lets other work in.
TEST_F(ReceiveTest, FramesArriveInOrderInBatchesThatLetOtherWorkIn) {
    const std::size_t count = 100 * az::receive_batch_limit;
    std::size_t sent = 0;
    while (sent < count / 2) {
        send_text(push, std::to_string(sent++));
    }
    collector frames(pull, count);
    frames.arm();
    std::vector<std::size_t> seen;
    std::function<void()> feed = [&] {
        seen.push_back(frames.frames.size());
        send_text(push, std::to_string(sent++));
        if (sent < count) {
            boost::asio::post(io_context, feed);
        }
    };
    boost::asio::post(io_context, feed);
    ASSERT_TRUE(run_until(io_context, [&] { return frames.done(); }));
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(frames.frames[i], std::to_string(i));
    }
    EXPECT_EQ(seen.at(0), az::receive_batch_limit);
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
// consumed it, the frames behind it must still reach the pending receive.
TEST_F(ReceiveTest, NoFrameIsStrandedByACallThatConsumesTheSignal) {
    pending(pull, "pending");
    send({"one"});
    EXPECT_TRUE(logged(1));
    send({"while none was pending"});
    io_context.poll();
    boost::asio::post(io_context, [&] { pull.async_receive(log.note("posted")); });
    EXPECT_TRUE(logged(2));
    // libzmq handles commands during a send only some time after it last did, hence the pause.
    // Over tcp and ipc, its I/O thread signals again after a bind or connect; inproc does not.
    const std::vector<std::pair<std::string, std::function<void(az::socket&)>>> calls = {
        {"bind", [](az::socket& _s) { _s.bind("inproc://another"); }},
        {"connect", [](az::socket& _s) { _s.connect("inproc://nobody"); }},
        {"receive",
         [](az::socket& _s) {
             az::message frame;
             _s.receive(frame, 0);
         }},
        {"send", [](az::socket& _s) { std::this_thread::sleep_for(20ms), send_text(_s, "back"); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        // Only a PAIR both receives and sends; other calls are watched on a plain pipeline.
        az::socket near(io_context, name == "send" ? ZMQ_PAIR : ZMQ_PULL);
        near.bind("inproc://near-" + name);
        az::socket far(io_context, name == "send" ? ZMQ_PAIR : ZMQ_PUSH);
        far.connect("inproc://near-" + name);
        collector frames(near, name == "receive" ? 2 : 3);
        frames.arm();
        io_context.poll();
        for (const char* text : {"one", "two", "three"}) {
            send_text(far, text);
        }
        ASSERT_TRUE(signalled(near, 5000));
        call(near);
        EXPECT_TRUE(run_until(io_context, [&] { return frames.done(); }));
        EXPECT_EQ(frames.frames.back(), "three");
        near.close();
        io_context.poll();
    }
    EXPECT_EQ(log.lines, (lines{"pending 'one'", "posted 'while none was pending'"}));
}

TEST_F(ReceiveTest, IdleSocketsHandleTheirPeersCommands) {
    const auto guard = boost::asio::make_work_guard(io_context);
    az::pub_socket pub(io_context);
    pub.bind("inproc://idle");
    az::sub_socket sub(io_context);
    // Connecting and leaving hand the publisher commands; nothing is ever published.
    for (const auto& change : std::vector<std::function<void()>>{
             [&] { sub.connect("inproc://idle"); }, [&] { sub.close(); }}) {
        change();
        ASSERT_TRUE(signalled(pub, 5000));
        EXPECT_TRUE(run_until(io_context, [&] { return !signalled(pub); }));
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
            "out of turn zmq: " + std::string(zmq_strerror(EFSM))}));
}

// A PUB cannot receive: every attempt fails the same way, and is retried only after a pause.
TEST_F(ReceiveTest, LastingReceiveErrorDoesNotSpin) {
    az::pub_socket pub(io_context);
    int calls = 0;
    std::function<void()> arm = [&] {
        pub.async_receive([&](const boost::system::error_code& _error, az::message&, std::size_t) {
            EXPECT_EQ(_error, az::make_error_code(ENOTSUP));
            ++calls;
            arm();
        });
    };
    arm();
    io_context.run_for(1s);
    EXPECT_GE(calls, 1);
    EXPECT_LE(calls, 2 * (1s / az::receive_error_pause) + 2);
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
