#include "test_support.hpp"

#include <asio_zmq/error.hpp>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <cstring>

namespace az = kelm::libs::asio_zmq;
using namespace az::test;

// Both forms of the call fail with the error: the one reporting through an error_code, and the
// one that throws.
#define EXPECT_FAILS_WITH(expected, call, ...)                 \
    do {                                                       \
        boost::system::error_code error_;                      \
        call(__VA_ARGS__, error_);                             \
        EXPECT_EQ(error_, expected);                           \
        try {                                                  \
            call(__VA_ARGS__);                                 \
            ADD_FAILURE() << #call " threw nothing";           \
        } catch (const boost::system::system_error& thrown_) { \
            EXPECT_EQ(thrown_.code(), expected);               \
        }                                                      \
    } while (false)

namespace {

template <typename Value>
Value option(const az::socket& _socket, int _name) {
    Value value{};
    std::size_t size = sizeof value;
    zmq_getsockopt(_socket.native_handle(), _name, &value, &size);
    return value;
}

class SocketTest : public ::testing::Test {
protected:
    boost::asio::io_context io_context;
    az::pull_socket pull{io_context};
    az::push_socket push{io_context};
    az::message frame{std::string("kept")};
};

}  // namespace

// errno values keep their usual meaning; libzmq's own codes mean nothing outside ZeroMQ.
TEST(ErrorCategory, ErrnoValuesMatchTheSystemsAndZeroMqCodesStayApart) {
    EXPECT_EQ(az::make_error_code(EADDRINUSE).message(), std::strerror(EADDRINUSE));
    EXPECT_EQ(az::make_error_code(EAGAIN), boost::system::errc::resource_unavailable_try_again);
    EXPECT_EQ(az::make_error_code(ETERM).message(), zmq_strerror(ETERM));
    EXPECT_EQ(az::make_error_code(ETERM).default_error_condition().category(), az::zmq_category());
    ASSERT_EQ(zmq_socket(nullptr, ZMQ_PUSH), nullptr);
    EXPECT_EQ(az::last_error(), az::make_error_code(EFAULT));
}

TEST(Message, CopiesForeignBytesAndMovesItsOwn) {
    std::string text = "a frame long enough to be stored outside the message itself";
    az::message copy(boost::asio::buffer(text));
    text[0] = 'X';
    EXPECT_EQ(copy.string_view(), "a frame long enough to be stored outside the message itself");
    const void* content = copy.data();
    az::message moved(std::move(copy));
    az::message assigned(std::string("old content that must be released by the assignment"));
    assigned = std::move(moved);
    EXPECT_EQ(assigned.data(), content);
    EXPECT_EQ(assigned.size(), text.size());
    EXPECT_EQ(copy.size() + moved.size(), 0u);
}

TEST_F(SocketTest, SendsOverAWildcardPortAndReportsFailuresInBothForms) {
    EXPECT_EQ(pull.endpoint(), "");
    pull.bind("tcp://127.0.0.1:*");
    const std::string bound = pull.endpoint();
    EXPECT_EQ(bound.find_first_not_of("0123456789", 16), std::string::npos) << bound;
    push.connect(bound);
    az::message twelve(std::string("twelve bytes"));
    EXPECT_EQ(push.send(twelve, 0), 12u);
    EXPECT_EQ(twelve.size(), 0u);
    EXPECT_EQ(receive_text(pull), "twelve bytes");

    EXPECT_THROW(az::socket(io_context, 99), boost::system::system_error);
    EXPECT_FAILS_WITH(az::make_error_code(EADDRINUSE), push.bind, bound);
    EXPECT_FAILS_WITH(az::make_error_code(EPROTONOSUPPORT), push.connect, "pigeon://loft");
    az::push_socket unconnected(io_context);
    EXPECT_FAILS_WITH(az::make_error_code(EAGAIN), unconnected.send, frame, ZMQ_DONTWAIT);
    EXPECT_EQ(frame.string_view(), "kept");
    EXPECT_FAILS_WITH(az::make_error_code(EAGAIN), pull.receive, frame, ZMQ_DONTWAIT);
    EXPECT_THROW(push.set_option(-5, 1), boost::system::system_error);
    // A frame for an absent peer must not hold up the io_context's end for good.
    EXPECT_EQ(option<int>(push, ZMQ_LINGER), az::default_linger.count());
    push.set_option(ZMQ_MAXMSGSIZE, std::int64_t{1} << 40);
    EXPECT_EQ(option<std::int64_t>(push, ZMQ_MAXMSGSIZE), std::int64_t{1} << 40);
    EXPECT_THROW(push.subscribe("only for SUB"), boost::system::system_error);
    EXPECT_THROW(push.unsubscribe("only for SUB"), boost::system::system_error);
}

TEST_F(SocketTest, ClosedOrMovedFromSocketReportsBadDescriptor) {
    void* const handle = pull.native_handle();
    pull.bind("inproc://moved");
    az::socket constructed(std::move(pull));
    az::socket moved(io_context, ZMQ_PULL);
    moved = std::move(constructed);
    EXPECT_EQ(moved.native_handle(), handle);
    push.connect("inproc://moved");
    send_text(push, "still bound");
    EXPECT_EQ(receive_text(moved), "still bound");
    push.close();
    push.close();
    push.cancel();
    EXPECT_EQ(push.native_handle(), nullptr);
    for (az::socket* gone : std::initializer_list<az::socket*>{&push, &pull, &constructed}) {
        const boost::system::error_code bad = boost::asio::error::bad_descriptor;
        EXPECT_FALSE(gone->is_open());
        EXPECT_FAILS_WITH(bad, gone->bind, "inproc://x");
        EXPECT_FAILS_WITH(bad, gone->connect, "inproc://x");
        EXPECT_FAILS_WITH(bad, gone->send, frame, 0);
        EXPECT_EQ(frame.string_view(), "kept");
        EXPECT_FAILS_WITH(bad, gone->receive, frame, 0);
        EXPECT_THROW(gone->endpoint(), boost::system::system_error);
        EXPECT_THROW(gone->set_option(ZMQ_LINGER, 0), boost::system::system_error);
        EXPECT_THROW(gone->subscribe("x"), boost::system::system_error);
    }
}

TEST_F(SocketTest, PublisherResumesAtOnceWhenItsSubscriberHasRoomAgain) {
    az::pub_socket publisher(io_context);
    az::sub_socket subscriber(io_context);
    publisher.set_option(ZMQ_SNDHWM, 4);
    subscriber.set_option(ZMQ_RCVHWM, 4);
    publisher.bind("inproc://news");
    subscriber.subscribe("s");
    subscriber.connect("inproc://news");
    boost::system::error_code empty;
    const auto drain = [&] {
        for (empty = {}; !empty;) {
            subscriber.receive(frame, ZMQ_DONTWAIT, empty);
        }
    };
    // The subscription travels on its own: publish until a frame arrives.
    ASSERT_TRUE(kelm::test::eventually([&] {
        send_text(publisher, "s: probe");
        subscriber.receive(frame, ZMQ_DONTWAIT, empty);
        return !empty;
    }));
    for (int i = 0; i < 100; ++i) {
        send_text(publisher, "s: overflow");
    }
    drain();
    // The subscriber told the publisher that its queue has room again. Left to itself, libzmq
    // would look at that news only a millisecond or so later, dropping every frame meanwhile.
    for (int i = 0; i < 128; ++i) {
        send_text(publisher, "s: after");
    }
    subscriber.receive(frame, ZMQ_DONTWAIT, empty);
    EXPECT_FALSE(empty) << empty.message();
    EXPECT_EQ(frame.string_view(), "s: after");
}
