#include <asio_zmq/context_service.hpp>
#include <asio_zmq/error.hpp>
#include <asio_zmq/socket.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <string>
#include <utility>

namespace az = kelm::libs::asio_zmq;
using az::test::receive_text;
using az::test::send_text;

namespace {

class SocketTest : public ::testing::Test {
protected:
    boost::asio::io_context io_context;
};

// Subscriptions travel to the publisher on their own; a frame published before the publisher saw
// them is dropped. Publishing probes until one arrives gives a real signal that they are in force.
void await_subscription(az::socket& publisher, az::socket& subscriber, const std::string& probe) {
    for (int attempt = 0; attempt < 2000; ++attempt) {
        send_text(publisher, probe);
        zmq_pollitem_t item{subscriber.native_handle(), 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, 10) == 1) {
            return;
        }
    }
    FAIL() << "subscription never reached the publisher";
}

std::string next_non_probe(az::socket& subscriber, const std::string& probe) {
    std::string text;
    do {
        text = receive_text(subscriber);
    } while (text == probe);
    return text;
}

}  // namespace

TEST_F(SocketTest, UnknownTypeIsRefused) {
    try {
        az::socket refused(io_context, 99);
        FAIL() << "a socket of type 99 was made";
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(error.code(), az::make_error_code(EINVAL));
    }
}

TEST_F(SocketTest, WildcardBindReportsTheChosenPort) {
    az::pull_socket pull(io_context);
    EXPECT_EQ(pull.endpoint(), "");
    pull.bind("tcp://127.0.0.1:*");
    const std::string bound = pull.endpoint();
    ASSERT_EQ(bound.rfind("tcp://127.0.0.1:", 0), 0u) << bound;
    EXPECT_NE(bound, "tcp://127.0.0.1:*");
    EXPECT_NE(bound, "tcp://127.0.0.1:0");

    az::push_socket push(io_context);
    push.connect(bound);
    send_text(push, "over the chosen port");
    EXPECT_EQ(receive_text(pull), "over the chosen port");
}

TEST_F(SocketTest, BindToAnAddressInUseFailsInBothForms) {
    az::pub_socket first(io_context);
    first.bind("tcp://127.0.0.1:*");
    const std::string taken = first.endpoint();

    az::pull_socket second(io_context);
    boost::system::error_code error;
    second.bind(taken, error);
    EXPECT_EQ(error.value(), EADDRINUSE);
    EXPECT_EQ(&error.category(), &az::zmq_category());
    EXPECT_EQ(error.message(), "Address already in use");

    try {
        second.bind(taken);
        FAIL() << "second bind to " << taken << " succeeded";
    } catch (const boost::system::system_error& thrown) {
        EXPECT_EQ(thrown.code().message(), "Address already in use");
        EXPECT_NE(std::string(thrown.what()).find(taken), std::string::npos) << thrown.what();
    }
    second.bind("tcp://127.0.0.1:*", error);
    EXPECT_FALSE(error) << "a failed bind must leave the socket usable";
}

TEST_F(SocketTest, MalformedOrUnknownEndpointsFailInBothForms) {
    az::push_socket push(io_context);
    boost::system::error_code error;
    push.connect("tcp://no-port-here", error);
    EXPECT_EQ(error, az::make_error_code(EINVAL));
    push.bind("carrier-pigeon://loft", error);
    EXPECT_EQ(error, az::make_error_code(EPROTONOSUPPORT));

    EXPECT_THROW(push.connect("tcp://no-port-here"), boost::system::system_error);
    EXPECT_THROW(push.bind("carrier-pigeon://loft"), boost::system::system_error);
}

TEST_F(SocketTest, SendHandsTheContentToZeroMq) {
    az::pull_socket pull(io_context);
    pull.bind("inproc://send");
    az::push_socket push(io_context);
    push.connect("inproc://send");

    az::message frame(std::string("twelve bytes"));
    EXPECT_EQ(push.send(frame, 0), 12u);
    EXPECT_EQ(frame.size(), 0u);
    EXPECT_EQ(receive_text(pull), "twelve bytes");
}

TEST_F(SocketTest, SendThatCannotProceedKeepsTheFrame) {
    az::push_socket push(io_context);
    push.bind("inproc://nobody-listens");
    az::message frame(std::string("kept"));

    boost::system::error_code error;
    EXPECT_EQ(push.send(frame, ZMQ_DONTWAIT, error), 0u);
    EXPECT_EQ(error.value(), EAGAIN);
    EXPECT_EQ(frame.string_view(), "kept");

    try {
        push.send(frame, ZMQ_DONTWAIT);
        FAIL() << "send without a peer succeeded";
    } catch (const boost::system::system_error& thrown) {
        EXPECT_EQ(thrown.code().value(), EAGAIN);
    }
    EXPECT_EQ(frame.string_view(), "kept");
}

TEST_F(SocketTest, ReceiveWithNothingWaitingReportsEagain) {
    az::pull_socket pull(io_context);
    pull.bind("inproc://empty");
    az::message frame(std::string("untouched"));

    boost::system::error_code error;
    EXPECT_EQ(pull.receive(frame, ZMQ_DONTWAIT, error), 0u);
    EXPECT_EQ(error, boost::system::errc::resource_unavailable_try_again);
    EXPECT_THROW(pull.receive(frame, ZMQ_DONTWAIT), boost::system::system_error);
}

TEST_F(SocketTest, MultiFrameMessageCarriesMoreMarks) {
    az::pull_socket pull(io_context);
    pull.bind("inproc://parts");
    az::push_socket push(io_context);
    push.connect("inproc://parts");
    send_text(push, "one", ZMQ_SNDMORE);
    send_text(push, "", ZMQ_SNDMORE);
    send_text(push, "three");

    az::message frame;
    EXPECT_EQ(pull.receive(frame), 3u);
    EXPECT_TRUE(frame.more());
    EXPECT_EQ(pull.receive(frame), 0u);
    EXPECT_TRUE(frame.more());
    EXPECT_EQ(frame.size(), 0u);
    EXPECT_EQ(pull.receive(frame), 5u);
    EXPECT_FALSE(frame.more());
    EXPECT_EQ(frame.string_view(), "three");
}

TEST_F(SocketTest, SubscriptionsFilterByPrefix) {
    az::pub_socket pub(io_context);
    pub.bind("inproc://news");
    az::sub_socket sub(io_context);
    sub.subscribe("weather");
    sub.subscribe("sport");
    sub.unsubscribe("weather");
    sub.connect("inproc://news");

    await_subscription(pub, sub, "sport-probe");
    send_text(pub, "weather: rain");
    send_text(pub, "sport: 2-1");
    EXPECT_EQ(next_non_probe(sub, "sport-probe"), "sport: 2-1");
}

TEST_F(SocketTest, OptionErrorsAreThrown) {
    az::push_socket push(io_context);
    push.set_option(ZMQ_LINGER, 0);
    EXPECT_THROW(push.set_option(-5, 1), boost::system::system_error);
    EXPECT_THROW(push.subscribe("only for SUB"), boost::system::system_error);
    EXPECT_THROW(push.unsubscribe("only for SUB"), boost::system::system_error);
}

TEST_F(SocketTest, ClosedSocketReportsBadDescriptor) {
    az::push_socket push(io_context);
    push.close();
    push.close();
    push.cancel();
    EXPECT_FALSE(push.is_open());
    EXPECT_EQ(push.native_handle(), nullptr);

    boost::system::error_code error;
    push.bind("inproc://closed", error);
    EXPECT_EQ(error, boost::asio::error::bad_descriptor);
    push.connect("inproc://closed", error);
    EXPECT_EQ(error, boost::asio::error::bad_descriptor);
    az::message frame(std::string("kept"));
    EXPECT_EQ(push.send(frame, 0, error), 0u);
    EXPECT_EQ(error, boost::asio::error::bad_descriptor);
    EXPECT_EQ(frame.string_view(), "kept");
    push.receive(frame, 0, error);
    EXPECT_EQ(error, boost::asio::error::bad_descriptor);

    EXPECT_THROW(push.bind("inproc://closed"), boost::system::system_error);
    EXPECT_THROW(push.send(frame), boost::system::system_error);
    EXPECT_THROW(push.receive(frame), boost::system::system_error);
    EXPECT_THROW(push.endpoint(), boost::system::system_error);
    EXPECT_THROW(push.set_option(ZMQ_LINGER, 0), boost::system::system_error);
    EXPECT_THROW(push.subscribe("x"), boost::system::system_error);
}

TEST_F(SocketTest, MovingTransfersTheSocket) {
    az::pull_socket source(io_context);
    void* const handle = source.native_handle();
    source.bind("inproc://moved");

    az::socket moved(std::move(source));
    EXPECT_FALSE(source.is_open());
    EXPECT_EQ(moved.native_handle(), handle);

    az::socket assigned(io_context, ZMQ_PULL);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.native_handle(), handle);
    EXPECT_FALSE(moved.is_open());

    boost::system::error_code error;
    moved.bind("inproc://other", error);
    EXPECT_EQ(error, boost::asio::error::bad_descriptor);

    az::push_socket push(io_context);
    push.connect("inproc://moved");
    send_text(push, "still bound");
    EXPECT_EQ(receive_text(assigned), "still bound");
}

TEST_F(SocketTest, SocketsOfOneIoContextShareTheirZeroMqContext) {
    boost::asio::io_context other;
    az::push_socket here(io_context);
    az::push_socket there(other);
    auto& context = boost::asio::use_service<az::context_service>(io_context);
    EXPECT_NE(context.native_handle(), nullptr);
    EXPECT_EQ(&boost::asio::use_service<az::context_service>(io_context), &context);
    EXPECT_NE(boost::asio::use_service<az::context_service>(other).native_handle(),
              context.native_handle());
}

TEST_F(SocketTest, PublisherResumesAsSoonAsItsSubscriberCatchesUp) {
    az::pub_socket publisher(io_context);
    az::sub_socket subscriber(io_context);
    publisher.set_option(ZMQ_SNDHWM, 4);
    subscriber.set_option(ZMQ_RCVHWM, 4);
    publisher.bind("inproc://resume");
    subscriber.subscribe("");
    subscriber.connect("inproc://resume");
    await_subscription(publisher, subscriber, "probe");
    for (int i = 0; i < 100; ++i) {
        send_text(publisher, "overflow");
    }
    az::message frame;
    boost::system::error_code error;
    while (!error) {
        subscriber.receive(frame, ZMQ_DONTWAIT, error);
    }
    // The subscriber told the publisher that its queue has room again. Left to itself,
    // libzmq would look at that news only a millisecond or so later, dropping every
    // frame published meanwhile.
    for (int i = 0; i < 128; ++i) {
        send_text(publisher, "after");
    }
    subscriber.receive(frame, ZMQ_DONTWAIT, error);
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(frame.string_view(), "after");
}
