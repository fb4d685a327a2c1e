#include "wait.hpp"

#include <asio_zmq/error.hpp>
#include <asio_zmq/socket.hpp>

#include <boost/asio/error.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <gtest/gtest.h>
#include <poll.h>

#include <stdexcept>

namespace az = kelm::libs::asio_zmq;
using kelm::test::run_until;
using lines = std::vector<std::string>;
using namespace std::chrono_literals;

// Both forms of the call fail: the one reporting through an error_code with the error, and the
// one that throws.
#define EXPECT_FAILS_WITH(expected, call, ...)                        \
    do {                                                              \
        boost::system::error_code error_;                             \
        call(__VA_ARGS__, error_);                                    \
        EXPECT_EQ(error_, expected);                                  \
        EXPECT_THROW(call(__VA_ARGS__), boost::system::system_error); \
    } while (false)

namespace {

void send_text(az::socket& _to, const std::string& _text, int _flags = 0) {
    az::message frame(_text);
    _to.send(frame, _flags);
}

// The next frame; throws when none came within the patience.
std::string receive_text(az::socket& _from) {
    _from.set_option(ZMQ_RCVTIMEO, static_cast<int>(kelm::test::patience.count() * 1000));
    az::message frame;
    _from.receive(frame);
    return std::string(frame.string_view());
}

template <typename Value>
Value option(const az::socket& _socket, int _name) {
    Value value{};
    std::size_t size = sizeof value;
    zmq_getsockopt(_socket.native_handle(), _name, &value, &size);
    return value;
}

// libzmq has news for the socket that no call has handled yet.
bool signalled(const az::socket& _socket, int _timeout_ms = 0) {
    pollfd descriptor{option<int>(_socket, ZMQ_FD), POLLIN, 0};
    return ::poll(&descriptor, 1, _timeout_ms) == 1;
}

// "0", "1", ... up to `_count`.
lines numbers(std::size_t _count) {
    lines texts;
    for (std::size_t i = 0; i < _count; ++i) {
        texts.push_back(std::to_string(i));
    }
    return texts;
}

// Collects frames through async_receive, re-arming from each handler until `wanted` arrived.
struct collector {
    void arm() {
        source.async_receive(
            [this](const boost::system::error_code& error, az::message& frame, std::size_t bytes) {
                EXPECT_EQ(bytes, frame.size());
                if (!error) {
                    frames.emplace_back(frame.string_view());
                }
                if (!error && !done()) {
                    arm();
                }
            });
    }

    bool done() const { return frames.size() >= wanted; }

    az::socket& source;
    std::size_t wanted;
    lines frames{};
};

class AsioZmq : public ::testing::Test {
protected:
    AsioZmq() {
        pull.bind("inproc://pipeline");
        push.connect("inproc://pipeline");
    }

    // A receive handler that logs what it was called with: "name 'frame'" ("'frame'+" when more
    // frames follow) or "name: error".
    auto note(const std::string& _name) {
        return
            [this, _name](const boost::system::error_code& error, az::message& frame, std::size_t) {
                const std::string text(frame.string_view());
                log.push_back(_name + (error ? ": " + error.message()
                                             : " '" + text + (frame.more() ? "'+" : "'")));
            };
    }

    // Runs what is ready, within a bound: a broken watch may keep posting handlers for good.
    void settle() {
        io_context.restart();
        io_context.run_for(20ms);
    }

    bool logged(std::size_t _count) {
        return run_until(io_context, [&] { return log.size() >= _count; });
    }

    // Runs handlers until the io_context runs out of work, which shows that nothing, not even a
    // wait on libzmq's descriptor, is left.
    bool drains() {
        io_context.restart();
        io_context.run_for(kelm::test::patience);
        return io_context.stopped();
    }

    boost::asio::io_context io_context;
    az::pull_socket pull{io_context};
    az::push_socket push{io_context};
    az::message frame{std::string("kept")};
    lines log;
};

}  // namespace

TEST_F(AsioZmq, SocketsWorkOverAWildcardPortAndReportFailuresInBothForms) {
    az::socket moved(io_context, ZMQ_PULL);
    moved = std::move(pull);
    moved.bind("tcp://127.0.0.1:*");
    const std::string bound = moved.endpoint();
    EXPECT_EQ(bound.find_first_not_of("0123456789", 16), std::string::npos) << bound;
    push.connect(bound);
    // A message holds its own copy of foreign bytes, and hands it on when moved.
    std::string text = "a frame long enough to be stored outside the message itself";
    az::message copy(boost::asio::buffer(text));
    text[0] = 'X';
    az::message sent(std::move(copy));
    EXPECT_EQ(copy.size(), 0u);
    EXPECT_EQ(push.send(sent, 0), text.size());
    EXPECT_EQ(sent.size(), 0u);
    EXPECT_EQ(receive_text(moved), "a frame long enough to be stored outside the message itself");
    // A frame for an absent peer must not hold up the io_context's end for good.
    EXPECT_EQ(option<int>(push, ZMQ_LINGER), az::default_linger.count());
    push.set_option(ZMQ_MAXMSGSIZE, std::int64_t{1} << 40);
    EXPECT_EQ(option<std::int64_t>(push, ZMQ_MAXMSGSIZE), std::int64_t{1} << 40);

    // errno values keep their usual meaning; libzmq's own codes mean nothing outside ZeroMQ.
    EXPECT_EQ(az::make_error_code(EAGAIN), boost::system::errc::resource_unavailable_try_again);
    EXPECT_EQ(az::make_error_code(ETERM).default_error_condition().category(), az::zmq_category());
    EXPECT_THROW(az::socket(io_context, 99), boost::system::system_error);
    EXPECT_FAILS_WITH(az::make_error_code(EADDRINUSE), push.bind, bound);
    EXPECT_FAILS_WITH(az::make_error_code(EPROTONOSUPPORT), push.connect, "pigeon://loft");
    EXPECT_FAILS_WITH(az::make_error_code(EAGAIN), az::push_socket(io_context).send, frame,
                      ZMQ_DONTWAIT);
    push.close();
    push.cancel();
    for (az::socket* gone : std::initializer_list<az::socket*>{&push, &pull}) {
        const boost::system::error_code bad = boost::asio::error::bad_descriptor;
        EXPECT_FALSE(gone->is_open());
        EXPECT_FAILS_WITH(bad, gone->bind, "inproc://x");
        EXPECT_FAILS_WITH(bad, gone->send, frame, 0);
        EXPECT_FAILS_WITH(bad, gone->receive, frame, 0);
    }
    EXPECT_EQ(frame.string_view(), "kept");
}

// An idle publisher handles the commands of subscribers that come and go; a busy one resumes at
// once when its subscriber has room again. Subscriptions reach it in order: once a frame of the
// last one arrives, the prefix taken back before it is gone.
TEST_F(AsioZmq, PublisherHandlesItsSubscribersCommandsIdleOrBusy) {
    const auto guard = boost::asio::make_work_guard(io_context);
    az::pub_socket publisher(io_context);
    az::sub_socket subscriber(io_context);
    publisher.set_option(ZMQ_SNDHWM, 4);
    subscriber.set_option(ZMQ_RCVHWM, 4);
    publisher.bind("inproc://news");
    const auto handled = [&] { return !signalled(publisher); };
    subscriber.connect("inproc://news");
    ASSERT_TRUE(signalled(publisher, 5000));
    EXPECT_TRUE(run_until(io_context, handled));
    subscriber.subscribe("a");
    subscriber.unsubscribe("a");
    subscriber.subscribe("s");
    boost::system::error_code empty;
    // The subscription travels on its own: publish until a frame arrives.
    ASSERT_TRUE(kelm::test::eventually([&] {
        send_text(publisher, "a: taken back");
        send_text(publisher, "s: probe");
        subscriber.receive(frame, ZMQ_DONTWAIT, empty);
        return !empty;
    }));
    EXPECT_EQ(frame.string_view(), "s: probe");
    for (int i = 0; i < 100; ++i) {
        send_text(publisher, "s: overflow");
    }
    while (!empty) {
        subscriber.receive(frame, ZMQ_DONTWAIT, empty);
    }
    // The subscriber told the publisher that its queue has room again. Left to itself, libzmq
    // would look at that news only a millisecond or so later, dropping every frame meanwhile.
    for (int i = 0; i < 128; ++i) {
        send_text(publisher, "s: after");
    }
    EXPECT_EQ(receive_text(subscriber), "s: after");
    subscriber.close();
    ASSERT_TRUE(signalled(publisher, 5000));
    EXPECT_TRUE(run_until(io_context, handled));
}

// One completion hands a whole batch to successive handlers, then lets other work in. Handlers
// run from the io_context, one after the other and frame by frame, also for frames that came while
// none was pending and the idle watch consumed their signal. A receive started before a handler
// throws goes on once the io_context runs again.
TEST_F(AsioZmq, HandlersRunOneAfterTheOtherFrameByFrameInBatchesThatLetOtherWorkIn) {
    const auto texts = numbers(10 * az::receive_batch_limit);
    for (const auto& text : texts) {
        send_text(push, text);
    }
    collector frames{pull, texts.size()};
    frames.arm();
    std::size_t seen = 0;
    boost::asio::post(io_context, [&] { seen = frames.frames.size(); });
    ASSERT_TRUE(run_until(io_context, [&] { return frames.done(); }));
    EXPECT_EQ(frames.frames, texts);
    EXPECT_EQ(seen, az::receive_batch_limit);
    send_text(push, "head", ZMQ_SNDMORE);
    send_text(push, "", ZMQ_SNDMORE);
    for (const char* text : {"tail", "", "throws", "after the throw"}) {
        send_text(push, text);
    }
    settle();
    std::function<void(int)> arm = [&](int _left) {
        pull.async_receive([&, _left](const boost::system::error_code& error, az::message& frame,
                                      std::size_t bytes) {
            log.push_back("begin");
            if (_left > 1) {
                arm(_left - 1);
            }
            if (frame.string_view() == "throws") {
                throw std::runtime_error("handler failed");
            }
            note("end")(error, frame, bytes);
        });
    };
    arm(6);
    EXPECT_TRUE(log.empty());
    EXPECT_THROW(logged(11), std::runtime_error);
    EXPECT_TRUE(logged(11));
    EXPECT_EQ(log, (lines{"begin", "end 'head'+", "begin", "end ''+", "begin", "end 'tail'",
                          "begin", "end ''", "begin", "begin", "end 'after the throw'"}));
}

// ZMQ_FD signals changes only once, and any libzmq call may consume the signal: whatever
// consumed it, the frames behind it must still reach the pending receive.
TEST_F(AsioZmq, NoFrameIsStrandedByACallThatConsumesTheSignal) {
    // libzmq handles commands during a send only some time after it last did, hence the pause.
    // Over tcp and ipc, its I/O thread signals again after a bind or connect; inproc does not.
    const std::vector<std::pair<std::string, std::function<void(az::socket&)>>> calls = {
        {"bind", [](az::socket& _s) { _s.bind("inproc://another"); }},
        {"connect", [](az::socket& _s) { _s.connect("inproc://nobody"); }},
        {"receive", [](az::socket& _s) { receive_text(_s); }},
        {"send",
         [](az::socket& _s) {
             std::this_thread::sleep_for(20ms);
             send_text(_s, "back");
         }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        // Only a PAIR both receives and sends; other calls are watched on a plain pipeline.
        az::socket near(io_context, name == "send" ? ZMQ_PAIR : ZMQ_PULL);
        near.bind("inproc://near-" + name);
        az::socket far(io_context, name == "send" ? ZMQ_PAIR : ZMQ_PUSH);
        far.connect("inproc://near-" + name);
        collector frames{near, name == "receive" ? 2u : 3u};
        frames.arm();
        settle();
        for (const char* text : {"one", "two", "three"}) {
            send_text(far, text);
        }
        ASSERT_TRUE(signalled(near, 5000));
        call(near);
        ASSERT_TRUE(run_until(io_context, [&] { return frames.done(); }));
        EXPECT_EQ(frames.frames.back(), "three");
        near.close();
        settle();
    }
}

// A pending receive completes once, posted, and leaves nothing behind, not even a wait on the
// descriptor; receives on sockets that are gone fail the same way.
TEST_F(AsioZmq, EveryReceiveCompletesOnceWhateverEndsIt) {
    pull.async_receive(note("cancelled"));
    settle();
    pull.cancel();
    EXPECT_TRUE(drains());
    pull.async_receive(note("after cancel"));
    pull.async_receive(note("second"));
    EXPECT_EQ(log.size(), 1u);
    EXPECT_TRUE(logged(2));
    for (const char* text : {"for the one after cancel", "last words", "never read", "unread"}) {
        send_text(push, text);
    }
    EXPECT_TRUE(logged(3));
    // A handler may take back the receive it started; the frames behind it wait.
    pull.async_receive(
        [&](const boost::system::error_code& error, az::message& frame, std::size_t bytes) {
            note("takes back")(error, frame, bytes);
            pull.async_receive(note("taken back"));
            pull.cancel();
        });
    EXPECT_TRUE(logged(5));
    // The socket is destroyed by its own handler, with a receive pending.
    auto owned = std::make_unique<az::socket>(std::move(pull));
    owned->async_receive(
        [&](const boost::system::error_code& error, az::message& frame, std::size_t bytes) {
            note("last")(error, frame, bytes);
            owned->async_receive(note("rearmed"));
            owned.reset();
        });
    pull.async_receive(note("moved from"));
    push.close();
    push.async_receive(note("on a closed socket"));
    EXPECT_TRUE(drains());
    EXPECT_EQ(log,
              (lines{"cancelled: Operation canceled", "second: Operation already in progress",
                     "after cancel 'for the one after cancel'", "takes back 'last words'",
                     "taken back: Operation canceled", "last 'never read'",
                     "moved from: Bad file descriptor", "on a closed socket: Bad file descriptor",
                     "rearmed: Operation canceled"}));
}

// A receive before the socket's turn, on a REQ before its request or on a REP before its reply,
// waits for the send that gives the socket its turn, however much later that comes: here each
// send is posted from the handler.
TEST_F(AsioZmq, ReceivesOutOfTurnWaitForTheSendThatGivesThemTheirTurn) {
    az::rep_socket rep(io_context);
    az::req_socket req(io_context);
    rep.bind("inproc://rhythm");
    req.connect("inproc://rhythm");
    std::function<void(az::socket&, std::string)> take_turns = [&](az::socket& _socket,
                                                                   std::string _name) {
        _socket.async_receive([&, _name](const boost::system::error_code& error, az::message& frame,
                                         std::size_t bytes) {
            note(_name)(error, frame, bytes);
            take_turns(_socket, _name);
            if (log.size() < 10) {
                boost::asio::post(io_context, [&, text = _name + std::to_string(log.size())] {
                    send_text(_socket, text);
                });
            }
        });
    };
    take_turns(rep, "rep");
    take_turns(req, "req");
    settle();
    EXPECT_TRUE(log.empty());
    send_text(req, "go");
    ASSERT_TRUE(logged(10));
    settle();
    EXPECT_EQ(log, (lines{"rep 'go'", "req 'rep1'", "rep 'req2'", "req 'rep3'", "rep 'req4'",
                          "req 'rep5'", "rep 'req6'", "req 'rep7'", "rep 'req8'", "req 'rep9'"}));
}

// A PUB cannot receive: every attempt fails the same way, and is retried only after a pause.
TEST_F(AsioZmq, LastingReceiveErrorIsHandledAFewTimesWithoutSpinning) {
    az::pub_socket pub(io_context);
    std::function<void()> arm = [&] {
        pub.async_receive(
            [&](const boost::system::error_code& error, az::message& frame, std::size_t bytes) {
                note("pub")(error, frame, bytes);
                arm();
            });
    };
    arm();
    io_context.run_for(1s);
    EXPECT_GE(log.size(), 3u);
    EXPECT_LE(log.size(), 2 * (1s / az::receive_error_pause) + 2);
    EXPECT_EQ(log, lines(log.size(), "pub: " + std::string(zmq_strerror(ENOTSUP))));
}

// Requests sent from this thread reach handlers on another one, and the replies come back; the
// other thread's run ends once its pending receive is cancelled there.
TEST_F(AsioZmq, RequestsServedOnAnotherThreadAreAllAnswered) {
    boost::asio::io_context other_context;
    az::rep_socket rep(other_context);
    rep.bind("tcp://127.0.0.1:*");
    std::function<void()> serve = [&] {
        rep.async_receive(
            [&](const boost::system::error_code& error, az::message& frame, std::size_t) {
                if (!error) {
                    send_text(rep, "re:" + std::string(frame.string_view()));
                    serve();
                }
            });
    };
    serve();
    az::req_socket req(io_context);
    req.connect(rep.endpoint());
    const kelm::test::background other([&] { other_context.run(); }, [&] { other_context.stop(); });
    for (const auto& text : numbers(1000)) {
        send_text(req, text);
        ASSERT_EQ(receive_text(req), "re:" + text);
    }
    boost::asio::post(other_context, [&] { rep.cancel(); });
    EXPECT_TRUE(other.returns());
}
