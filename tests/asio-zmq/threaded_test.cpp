#include "test_support.hpp"

#include <boost/asio/post.hpp>

namespace az = kelm::libs::asio_zmq;
using namespace az::test;

// Frames pushed and replies sent from another thread reach this one, while handlers run here
// and there; the other thread's run ends once its pending receive is cancelled there.
TEST(ThreadedReceive, FramesAndRepliesFromAnotherThreadAreAllDelivered) {
    boost::asio::io_context io_context;
    boost::asio::io_context other_context;
    az::pull_socket pull(io_context);
    pull.bind("tcp://127.0.0.1:*");
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
    const auto texts = numbers(20000);
    boost::asio::post(other_context, [&, endpoint = pull.endpoint()] {
        az::push_socket push(other_context);
        push.connect(endpoint);
        for (const auto& text : texts) {
            send_text(push, text);
        }
    });
    collector received{pull, texts.size()};
    received.arm();
    az::req_socket req(io_context);
    req.connect(rep.endpoint());
    const kelm::test::background other([&] { other_context.run(); }, [&] { other_context.stop(); });
    ASSERT_TRUE(run_until(io_context, [&] { return received.done(); }));
    EXPECT_EQ(received.frames, texts);
    for (std::size_t i = 0; i < 1000; ++i) {
        send_text(req, texts[i]);
        ASSERT_EQ(receive_text(req), "re:" + texts[i]);
    }
    boost::asio::post(other_context, [&] { rep.cancel(); });
    EXPECT_TRUE(other.returns());
}
