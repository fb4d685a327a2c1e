#include "test_support.hpp"

#include <boost/asio/post.hpp>

namespace az = kelm::libs::asio_zmq;
using namespace az::test;

// Runs the io_context on a thread of its own.
kelm::test::background in_background(boost::asio::io_context& _io_context) {
    return {[&_io_context] { _io_context.run(); }, [&_io_context] { _io_context.stop(); }};
}

TEST(ThreadedReceive, FramesPushedFromAnotherThreadWhileHandlersRunAreAllDelivered) {
    constexpr std::size_t count = 20000;
    boost::asio::io_context io_context;
    az::pull_socket pull(io_context);
    pull.bind("tcp://127.0.0.1:*");
    collector received(pull, count);
    received.arm();
    boost::asio::io_context producer_context;
    boost::asio::post(producer_context, [&producer_context, endpoint = pull.endpoint()] {
        az::push_socket push(producer_context);
        push.connect(endpoint);
        for (std::size_t i = 0; i < count; ++i) {
            send_text(push, std::to_string(i));
        }
    });
    const auto producer = in_background(producer_context);
    ASSERT_TRUE(run_until(io_context, [&] { return received.done(); }));
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(received.frames[i], std::to_string(i));
    }
}

TEST(ThreadedReceive, RepliesFromAnotherThreadReachTheRequester) {
    boost::asio::io_context replier_context;
    az::rep_socket rep(replier_context);
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
    const auto replier = in_background(replier_context);
    boost::asio::io_context io_context;
    az::req_socket req(io_context);
    req.connect(rep.endpoint());
    for (int i = 0; i < 1000; ++i) {
        send_text(req, std::to_string(i));
        ASSERT_EQ(receive_text(req), "re:" + std::to_string(i));
    }
    // The replier's run ends once its pending receive is cancelled on its own thread.
    boost::asio::post(replier_context, [&] { rep.cancel(); });
    EXPECT_TRUE(replier.returns());
}
