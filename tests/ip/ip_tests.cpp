#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/scope_guard.hpp>
#include <core/tcp/manager.hpp>

#include <gtest/gtest.h>

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace core = kelm::libs::core;
using asio_tcp = boost::asio::ip::tcp;
using asio_udp = boost::asio::ip::udp;
using strings = std::vector<std::string>;

const auto loopback = boost::asio::ip::make_address("127.0.0.1");

// What the callback test drives: a connection's data, an acceptor's clients, a UDP socket's
// datagrams.
enum class kind { tcp_data, tcp_accept, udp };

// One events loop; peers are plain Asio sockets on its io_context, so everything runs on
// the test's thread.
class Ip : public ::testing::TestWithParam<kind> {
protected:
    Ip() { test_support::clear_syslog_lines(); }

    boost::asio::io_context& io() { return m_loop->get_io_context(); }

    template <class Condition>
    bool run_until(Condition&& _condition) {
        return kelm::test::run_until(io(), _condition);
    }

    // True when no operation was pending any more before the time was up.
    bool run_for(std::chrono::milliseconds _time = kelm::test::patience) {
        io().restart();
        io().run_for(_time);
        return io().stopped();
    }

    // The lines logged so far, each as its priority and text without the place that logged it.
    static strings logged() {
        strings texts;
        for (const auto& line : test_support::syslog_lines()) {
            texts.push_back(std::to_string(line.priority) + " " +
                            line.text.substr(line.text.rfind(": ") + 2));
        }
        return texts;
    }

    template <class Socket>
    unsigned short free_port() {
        return Socket(io(), {loopback, 0}).local_endpoint().port();
    }

    void connect() {
        asio_tcp::acceptor listener(io(), {loopback, 0});
        m_socket = m_loop->get_tcp().connect("127.0.0.1", listener.local_endpoint().port());
        m_peer = listener.accept();
    }

    void listen() {
        m_port = free_port<asio_tcp::acceptor>();
        m_acceptor = m_loop->get_tcp().listen(core::ip_protocol::v4, m_port);
        m_acceptor->set_callback(
            [this](core::tcp::socket::ptr _socket) { m_accepted.push_back(std::move(_socket)); });
    }

    void record(core::udp::socket::ptr _socket) {
        m_udp = std::move(_socket);
        m_udp->set_receive_callback(
            [this](const auto& _from, const auto& _local, const auto& _data) {
                m_datagrams.emplace_back(_from, _local, std::string(_data));
            });
    }

    // An empty function clears the callback.
    void set_callback(std::function<void()> _callback) {
        const auto call = [_callback](auto&&...) { _callback(); };
        if (GetParam() == kind::tcp_data) {
            m_socket->set_receive_callback(_callback ? core::tcp::socket::receive_callback(call)
                                                     : nullptr);
        } else if (GetParam() == kind::tcp_accept) {
            m_acceptor->set_callback(_callback ? core::tcp::acceptor::callback(call) : nullptr);
        } else {
            m_udp->set_receive_callback(_callback ? core::udp::socket::callback(call) : nullptr);
        }
    }

    // Makes one callback due.
    void fire() {
        if (GetParam() == kind::tcp_data) {
            boost::asio::write(m_peer, boost::asio::buffer("a", 1));
        } else if (GetParam() == kind::tcp_accept) {
            m_clients.emplace_back(io()).connect({loopback, m_port});
        } else {
            m_udp->send_to("127.0.0.1", m_udp_port, "a");
        }
    }

    core::logger m_logger{"ip-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
    asio_tcp::socket m_peer{io()};
    core::tcp::socket::ptr m_socket;
    unsigned short m_port = 0;
    core::tcp::acceptor::ptr m_acceptor;
    std::vector<asio_tcp::socket> m_clients;
    std::vector<core::tcp::socket::ptr> m_accepted;
    const unsigned short m_udp_port = free_port<asio_udp::socket>();
    core::udp::socket::ptr m_udp = m_loop->create_udp_socket(core::ip_protocol::v4, m_udp_port);
    std::vector<std::tuple<asio_udp::endpoint, boost::asio::ip::address_v4, std::string>>
        m_datagrams;
    strings m_events;
};

INSTANTIATE_TEST_SUITE_P(Kinds, Ip, ::testing::Values(kind::tcp_data, kind::tcp_accept, kind::udp));

// A callback that replaces or clears itself keeps its state until it returns; one that was
// cleared is not called again, the next call raising std::bad_function_call instead. Calls go
// on after a callback threw. One that destroys its object stops it: a second call, due before
// the first ran, never comes.
TEST_P(Ip, CallbacksMayReplaceOrClearThemselvesThrowOrDestroyTheirObject) {
    connect();
    listen();
    auto state = std::make_shared<std::string>("first");
    set_callback([this, state] {
        set_callback([this] {
            m_events.push_back("throws");
            throw std::runtime_error("callback failed");
        });
        m_events.push_back(*state);
    });
    state.reset();
    fire();
    ASSERT_TRUE(run_until([&] { return m_events.size() == 1; }));
    fire();
    EXPECT_THROW(run_until([&] { return m_events.size() == 2; }), std::runtime_error);
    state = std::make_shared<std::string>("cleared");
    set_callback([this, state] {
        set_callback(nullptr);
        m_events.push_back(*state);
    });
    state.reset();
    fire();
    ASSERT_TRUE(run_until([&] { return m_events.size() == 3; }));
    fire();
    EXPECT_THROW(run_until([] { return false; }), std::bad_function_call);
    fire();
    fire();
    set_callback([this] {
        m_events.push_back("last");
        m_socket.reset();
        m_acceptor.reset();
        m_udp.reset();
    });
    EXPECT_TRUE(run_for());
    EXPECT_EQ(m_events, (strings{"first", "throws", "cleared", "last"}));
}

// The data in reads of at most 64 KiB, then one close; nothing is logged and no read is left
// pending.
TEST_F(Ip, PeerWritesThenClosesGivesTheDataThenOneClose) {
    connect();
    std::string sent(100000, '\0');
    std::iota(sent.begin(), sent.end(), '\0');
    std::string received;
    m_socket->set_receive_callback([&](boost::string_view _data) {
        EXPECT_LE(_data.size(), 65536u);
        received.append(_data.data(), _data.size());
    });
    m_socket->set_close_callback([&] { received += "|close"; });
    boost::asio::async_write(m_peer, boost::asio::buffer(sent),
                             [this](auto&&...) { m_peer.close(); });
    EXPECT_TRUE(run_for());
    EXPECT_EQ(received, sent + "|close");
    EXPECT_EQ(logged(), strings{});
}

// A full send buffer takes nothing, rather than failing or blocking, and one can-send callback
// comes once the peer reads, and one more for each later request. A reset is logged, without a
// close, and later sends fail.
TEST_F(Ip, FullSendBufferWaitsForThePeerAndResetIsLoggedWithoutClose) {
    connect();
    const std::string block(1 << 20, 'x');
    std::size_t sent = 0;
    for (std::size_t taken = 1; taken != 0 && sent < (256u << 20);) {
        sent += taken = m_socket->send_some(block);
    }
    m_socket->set_can_send_callback([this] { m_events.push_back("can send"); });
    m_socket->notify_that_send_is_possible();
    m_socket->notify_that_send_is_possible();
    EXPECT_FALSE(run_for(std::chrono::milliseconds(100)));
    std::vector<char> sink(sent);
    boost::asio::read(m_peer, boost::asio::buffer(sink));
    EXPECT_TRUE(run_for());
    // The wait that completed no longer counts as in progress.
    m_socket->notify_that_send_is_possible();
    EXPECT_TRUE(run_for());
    m_socket->set_receive_callback([this](boost::string_view) { m_events.push_back("data"); });
    m_socket->set_close_callback([this] { m_events.push_back("close"); });
    m_peer.set_option(asio_tcp::socket::linger(true, 0));
    m_peer.close();
    EXPECT_TRUE(run_for());
    EXPECT_EQ(m_events, (strings{"can send", "can send"}));
    EXPECT_EQ(logged(), strings{"3 Connection reset by peer"});
    EXPECT_THROW(m_socket->send_some("late"), boost::system::system_error);
    EXPECT_EQ(m_socket->send_some({}), 0u);
}

// Native IPv6 traffic has no IPv4 packet information; mapped IPv4 traffic has. A socket bound
// to an interface's address knows it without, one bound to another local address does not.
// What the socket sends to itself comes from its own port. Only a connected UDP socket hears of
// a refused send, which makes its next read fail: that read is logged, and datagrams that follow
// still arrive. Both ways of reading, with the local address of each datagram and without, fail
// alike.
TEST_F(Ip, UdpSocketReportsSenderLocalAddressAndDataAndLogsAFailedReadAndGoesOn) {
    boost::system::error_code no_ipv6;
    asio_udp::socket(io(), asio_udp::v6()).bind({boost::asio::ip::make_address("::1"), 0}, no_ipv6);
    for (const auto& [bound, peer_address, sender_address, local_address] :
         std::vector<std::array<const char*, 4>>{
             {"", "127.0.0.1", "127.0.0.1", "127.0.0.1"},
             {"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"},
             {"127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.2"},
             {"::1", "::1", "::1", "0.0.0.0"},
             {"::", "127.0.0.1", "::ffff:127.0.0.1", "127.0.0.1"}}) {
        SCOPED_TRACE(bound);
        if (no_ipv6 && *bound == ':') {
            continue;
        }
        test_support::clear_syslog_lines();
        const auto port = free_port<asio_udp::socket>();
        m_datagrams.clear();
        // The socket takes the lowest free descriptor; the interface does not expose it.
        const int descriptor = dup(0);
        close(descriptor);
        record(*bound ? m_loop->create_udp_socket(bound, port)
                      : m_loop->create_udp_socket(core::ip_protocol::v4, port));
        const auto peer = boost::asio::ip::make_address(peer_address);
        asio_udp::socket other(io(), {peer, 0});
        other.send_to(boost::asio::buffer("one", 3), {peer, port});
        m_udp->send_to(sender_address, port, "");
        m_udp->send_to(sender_address, port, "self");
        EXPECT_THROW(m_udp->send_to("localhost", port, "lost"), boost::system::system_error);
        EXPECT_THROW(m_udp->send_to(sender_address, port, std::string(70000, 'x')),
                     boost::system::system_error);
        ASSERT_TRUE(run_until([this] { return m_datagrams.size() == 3; }));
        const auto local = boost::asio::ip::make_address_v4(local_address);
        const auto sender = boost::asio::ip::make_address(sender_address);
        EXPECT_EQ(m_datagrams,
                  (decltype(m_datagrams){{{sender, other.local_endpoint().port()}, local, "one"},
                                         {{sender, port}, local, ""},
                                         {{sender, port}, local, "self"}}));
        if (*bound != ':') {
            const asio_udp::endpoint closed(sender, free_port<asio_udp::socket>());
            ASSERT_EQ(::connect(descriptor, closed.data(), closed.size()), 0);
            m_udp->send_to(sender_address, closed.port(), "refused");
            ASSERT_TRUE(run_until([] { return !logged().empty(); }));
            sockaddr unspecified{AF_UNSPEC, {}};
            ASSERT_EQ(::connect(descriptor, &unspecified, sizeof unspecified), 0);
            m_udp->send_to(sender_address, port, "after");
            ASSERT_TRUE(run_until([this] { return m_datagrams.size() == 4; }));
            EXPECT_EQ(std::get<2>(m_datagrams[3]), "after");
        }
        EXPECT_EQ(logged(), *bound == ':' ? strings{} : strings{"3 Connection refused"});
    }
}

// Lowers the soft descriptor limit to the lowest free descriptor, so that accepting runs out
// of descriptors until the limit is raised. Closing the server side first leaves the
// connections in TIME_WAIT on the port.
TEST_F(Ip, AcceptorHoldsItsPortAcceptsInOrderPausesWhileDescriptorsRunOutAndFreesItsPort) {
    listen();
    EXPECT_THROW(m_loop->get_tcp().listen("127.0.0.1", m_port), boost::system::system_error);
    // A first connection runs every path once while descriptors are plenty: the
    // sanitizers need a pipe to check a type the first time they see it.
    m_clients.emplace_back(io()).connect({loopback, m_port});
    // Opened before the limit bites: connecting needs no further descriptor.
    m_clients.emplace_back(io(), asio_tcp::v4());
    m_clients.emplace_back(io(), asio_tcp::v4());
    ASSERT_TRUE(run_until([&] { return m_accepted.size() == 1; }));
    const int lowest = dup(0);
    close(lowest);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit saved = limit;
    const auto restore = core::make_scope_guard([&] { setrlimit(RLIMIT_NOFILE, &saved); });
    limit.rlim_cur = lowest;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    for (std::size_t i = 1; i < 3; ++i) {
        m_clients[i].connect({loopback, m_port});
        run_for(std::chrono::milliseconds(350));
        EXPECT_EQ(m_accepted.size(), i);
        EXPECT_EQ(logged(), strings(i, "3 Too many open files"));
        // The first time the connection takes the one descriptor more, so the next finds none.
        limit.rlim_cur = i == 1 ? lowest + 1 : saved.rlim_cur;
        setrlimit(RLIMIT_NOFILE, &limit);
        ASSERT_TRUE(run_until([&] { return m_accepted.size() == i + 1; }));
    }
    m_acceptor.reset();
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m_accepted[i]->get_remote_endpoint(), m_clients[i].local_endpoint());
    }
    m_accepted.clear();
    m_clients.clear();
    EXPECT_NO_THROW(m_acceptor = m_loop->get_tcp().listen(core::ip_protocol::v4, m_port));
}

}  // namespace
