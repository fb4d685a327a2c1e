#include <asio_zmq/error.hpp>
#include <asio_zmq/socket.hpp>

#include "wait.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace az = kelm::libs::asio_zmq;
using kelm::test::run_until;

namespace {

int notification_fd(const az::socket& _socket) {
    int fd = -1;
    std::size_t size = sizeof fd;
    zmq_getsockopt(_socket.native_handle(), ZMQ_FD, &fd, &size);
    return fd;
}

// libzmq has news for the socket that no call has handled yet.
bool signalled(const az::socket& _socket, int _timeout_ms = 0) {
    pollfd descriptor{notification_fd(_socket), POLLIN, 0};
    return ::poll(&descriptor, 1, _timeout_ms) == 1;
}

// User plus system CPU time of this process, from /proc.
std::chrono::milliseconds cpu_time() {
    std::ifstream stat("/proc/self/stat");
    std::string field;
    long ticks = 0;
    for (int index = 1; index <= 15 && stat >> field; ++index) {
        if (index >= 14) {
            ticks += std::stol(field);
        }
    }
    return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

class Hardening : public ::testing::Test {
protected:
    boost::asio::io_context io_context;
    // Idle sockets do not keep run() going; this does, for run_until.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{
        io_context.get_executor()};
};

}  // namespace

TEST_F(Hardening, IdlePublisherHandlesItsSubscribersCommands) {
    az::pub_socket pub(io_context);
    pub.bind("inproc://idle");
    az::sub_socket sub(io_context);
    sub.connect("inproc://idle");
    // Connecting and leaving hands the publisher commands; nothing is ever published.
    ASSERT_TRUE(signalled(pub, 5000));
    EXPECT_TRUE(run_until(io_context, [&] { return !signalled(pub); }));
    sub.close();
    ASSERT_TRUE(signalled(pub, 5000));
    EXPECT_TRUE(run_until(io_context, [&] { return !signalled(pub); }));
}

TEST_F(Hardening, CallsThatHandleCommandsStrandNoFrames) {
    const std::vector<std::pair<std::string, std::function<void(az::socket&)>>> calls = {
        // Over tcp and ipc, libzmq's I/O thread signals the socket again later; inproc does not.
        {"bind", [](az::socket& _s) { _s.bind("inproc://strand-another"); }},
        {"connect", [](az::socket& _s) { _s.connect("inproc://strand-nobody"); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        az::pull_socket pull(io_context);
        pull.bind("inproc://strand-" + name);
        az::push_socket push(io_context);
        push.connect("inproc://strand-" + name);
        std::vector<std::string> received;
        std::function<void()> arm = [&] {
            pull.async_receive(
                [&](const boost::system::error_code& _error, az::message& _frame, std::size_t) {
                    if (!_error) {
                        received.emplace_back(_frame.string_view());
                        arm();
                    }
                });
        };
        arm();
        io_context.poll();
        for (const char* text : {"one", "two", "three"}) {
            az::message frame{std::string_view(text)};
            push.send(frame);
        }
        // The frames' signal is there; the call consumes it before the loop sees it.
        ASSERT_TRUE(signalled(pull, 5000));
        call(pull);
        EXPECT_TRUE(run_until(io_context, [&] { return received.size() == 3; }))
            << received.size() << " of 3 frames";
        pull.close();
        io_context.poll();
    }
}

TEST_F(Hardening, LastingReceiveErrorDoesNotSpin) {
    // A PUB cannot receive: every attempt fails the same way.
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
    const auto before = cpu_time();
    constexpr auto span = std::chrono::seconds(1);
    io_context.run_for(span);
    const auto used = cpu_time() - before;
    std::cout << "handler runs in " << span.count() << " s: " << calls
              << ", CPU time: " << used.count() << " ms\n";
    EXPECT_GE(calls, 1);
    EXPECT_LE(calls, 2 * (span / az::receive_error_pause) + 2);
    EXPECT_LT(used, std::chrono::milliseconds(span) / 4);
}

TEST(HardeningLifetime, UnsentFrameToAnAbsentPeerDoesNotHoldUpTheExit) {
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        {
            boost::asio::io_context io_context;
            az::push_socket push(io_context);
            push.connect("tcp://127.0.0.1:1");
            az::message frame{std::string_view("never delivered")};
            push.send(frame, ZMQ_DONTWAIT);
        }
        ::_exit(0);
    }
    int status = -1;
    const bool ended =
        kelm::test::eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; });
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended) << "the io_context's destruction waited for the unsent frame";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
