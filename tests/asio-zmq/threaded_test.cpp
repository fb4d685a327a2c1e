#include <asio_zmq/socket.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace az = kelm::libs::asio_zmq;
using az::test::collector;
using az::test::run_until;
using az::test::send_text;

namespace {

// Joins on every exit path so a failing assertion cannot leave a running thread behind.
class joining_thread {
public:
    template <typename Function>
    explicit joining_thread(Function&& function) : m_thread(std::forward<Function>(function)) {}
    joining_thread(const joining_thread&) = delete;
    joining_thread& operator=(const joining_thread&) = delete;
    ~joining_thread() { m_thread.join(); }

private:
    std::thread m_thread;
};

}  // namespace

TEST(ThreadedReceive, FramesPushedFromAnotherThreadWhileHandlersRunAreAllDelivered) {
    constexpr std::size_t count = 20000;
    boost::asio::io_context io_context;
    az::pull_socket pull(io_context);
    pull.bind("tcp://127.0.0.1:*");
    const std::string endpoint = pull.endpoint();

    collector received(pull, count);
    received.arm();
    joining_thread producer([&endpoint] {
        boost::asio::io_context producer_context;
        az::push_socket push(producer_context);
        push.connect(endpoint);
        for (std::size_t i = 0; i < count; ++i) {
            send_text(push, std::to_string(i));
        }
    });

    ASSERT_TRUE(run_until(
        io_context, [&] { return received.done(); }, std::chrono::seconds(60)));
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(received.frames[i], std::to_string(i));
    }
}

TEST(ThreadedReceive, RequestReplyWithEachEndOnItsOwnThread) {
    constexpr int rounds = 1000;
    boost::asio::io_context replier_context;
    az::rep_socket rep(replier_context);
    rep.bind("tcp://127.0.0.1:*");
    const std::string endpoint = rep.endpoint();

    std::function<void()> serve = [&] {
        rep.async_receive(
            [&](const boost::system::error_code& error, az::message& frame, std::size_t) {
                if (error) {
                    return;
                }
                send_text(rep, "re:" + std::string(frame.string_view()));
                serve();
            });
    };
    serve();
    std::promise<void> replier_done;
    joining_thread replier([&] {
        replier_context.run();
        replier_done.set_value();
    });

    boost::asio::io_context io_context;
    az::req_socket req(io_context);
    req.connect(endpoint);
    int completed = 0;
    bool failed = false;
    std::function<void()> request = [&] {
        send_text(req, std::to_string(completed));
        req.async_receive(
            [&](const boost::system::error_code& error, az::message& frame, std::size_t) {
                if (error || frame.string_view() != "re:" + std::to_string(completed)) {
                    failed = true;
                    return;
                }
                if (++completed < rounds) {
                    request();
                }
            });
    };
    request();
    const bool finished = run_until(
        io_context, [&] { return completed == rounds || failed; }, std::chrono::seconds(60));

    // The replier's loop ends when its pending receive is cancelled on its own thread.
    boost::asio::post(replier_context, [&] { rep.cancel(); });
    replier_done.get_future().wait();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(failed);
    EXPECT_EQ(completed, rounds);
}
