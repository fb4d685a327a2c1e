#include "ip_test.hpp"

#include <core/tcp/manager.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kelm::test {
namespace {

using asio_tcp = boost::asio::ip::tcp;

// Lowers the soft descriptor limit a little above what is open, and holds spare
// descriptors up to it until released.
class DescriptorLimit : public ip_test {
protected:
    ~DescriptorLimit() override {
        release_all();
        setrlimit(RLIMIT_NOFILE, &m_saved);
    }

    void exhaust() {
        int highest = 0;
        for (int descriptor = 0; descriptor < 1024; ++descriptor) {
            if (fcntl(descriptor, F_GETFD) != -1) {
                highest = descriptor;
            }
        }
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(highest) + 16;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        int spare;
        while ((spare = dup(0)) != -1) {
            m_spare.push_back(spare);
        }
        ASSERT_EQ(errno, EMFILE);
    }

    void release_one() {
        close(m_spare.back());
        m_spare.pop_back();
    }

    void release_all() {
        while (!m_spare.empty()) {
            release_one();
        }
    }

    // Long enough for a few attempts to accept.
    void run_a_while() {
        io().restart();
        io().run_for(std::chrono::milliseconds(350));
    }

    rlimit m_saved = [] {
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        return saved;
    }();
    std::vector<int> m_spare;
};

TEST_F(DescriptorLimit, AcceptingPausesWhileDescriptorsRunOutAndLogsOncePerShortage) {
    core::tcp::acceptor::ptr acceptor;
    const auto port = local_port(
        socket_opened_by([&] { acceptor = m_loop->get_tcp().listen(core::ip_protocol::v4, 0); }));
    std::vector<core::tcp::socket::ptr> accepted;
    acceptor->set_callback(
        [&](core::tcp::socket::ptr _socket) { accepted.push_back(std::move(_socket)); });
    const asio_tcp::endpoint server(boost::asio::ip::make_address("127.0.0.1"), port);
    // A first connection runs every path once while descriptors are plenty: the
    // sanitizers need a pipe to check a type the first time they see it.
    asio_tcp::socket warm_up(io());
    warm_up.connect(server);
    ASSERT_TRUE(run_until([&] { return accepted.size() == 1; }));
    accepted.clear();
    // Opened before the limit bites: connecting needs no further descriptor.
    asio_tcp::socket first(io(), asio_tcp::v4());
    asio_tcp::socket second(io(), asio_tcp::v4());

    exhaust();
    first.connect(server);
    run_a_while();
    EXPECT_TRUE(accepted.empty());
    ASSERT_EQ(error_lines().size(), 1u);
    EXPECT_NE(error_lines()[0].find("Too many open files"), std::string::npos);

    // The connection takes the one freed descriptor, so the next one finds none again.
    release_one();
    ASSERT_TRUE(run_until([&] { return accepted.size() == 1; }));
    second.connect(server);
    run_a_while();
    EXPECT_EQ(accepted.size(), 1u);
    EXPECT_EQ(error_lines().size(), 2u);

    release_all();
    ASSERT_TRUE(run_until([&] { return accepted.size() == 2; }));
    EXPECT_EQ(accepted[0]->get_remote_endpoint(), first.local_endpoint());
    EXPECT_EQ(accepted[1]->get_remote_endpoint(), second.local_endpoint());
}

}  // namespace
}  // namespace kelm::test
