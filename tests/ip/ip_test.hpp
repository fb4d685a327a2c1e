#pragma once

#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

namespace kelm::test {

namespace core = kelm::libs::core;

// One events loop; peers in the tests are plain Boost.Asio sockets on the same io_context
// or POSIX calls, so everything runs on the test's thread.
class ip_test : public ::testing::Test {
protected:
    ip_test() { test_support::clear_syslog_lines(); }

    boost::asio::io_context& io() { return m_loop->get_io_context(); }

    template <class Condition>
    bool run_until(Condition&& _condition, std::chrono::milliseconds _limit = patience) {
        return kelm::test::run_until(io(), _condition, _limit);
    }

    // Runs until no operation is pending; false when one still was at the limit.
    bool run_until_idle() {
        io().restart();
        io().run_for(patience);
        return io().stopped();
    }

    static std::vector<std::string> error_lines() {
        std::vector<std::string> texts;
        for (const auto& line : test_support::syslog_lines()) {
            if (line.priority == 3) {
                texts.push_back(line.text);
            }
        }
        return texts;
    }

    // The socket descriptor that the call opened: the interfaces do not expose it, and a
    // port bound as 0 is only known from it.
    template <class Make>
    static int socket_opened_by(Make&& _make) {
        const auto before = open_sockets();
        _make();
        for (const int descriptor : open_sockets()) {
            if (before.count(descriptor) == 0) {
                return descriptor;
            }
        }
        ADD_FAILURE() << "no socket was opened";
        return -1;
    }

    static unsigned short local_port(int _descriptor) {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        getsockname(_descriptor, reinterpret_cast<sockaddr*>(&address), &size);
        // Both families keep the port at the same offset.
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }

    core::logger m_logger{"ip-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");

private:
    static std::set<int> open_sockets() {
        std::set<int> sockets;
        for (int descriptor = 0; descriptor < 1024; ++descriptor) {
            struct stat status {};
            if (fstat(descriptor, &status) == 0 && S_ISSOCK(status.st_mode)) {
                sockets.insert(descriptor);
            }
        }
        return sockets;
    }
};

}  // namespace kelm::test
