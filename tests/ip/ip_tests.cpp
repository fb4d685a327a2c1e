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

#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace core = kelm::libs::core;
using asio_tcp = boost::asio::ip::tcp;
using asio_udp = boost::asio::ip::udp;
using strings = std::vector<std::string>;

const auto loopback = boost::asio::ip::make_address("127.0.0.1");

// One events loop; peers are plain Asio sockets on its io_context, so everything runs on
// the test's thread.
class Ip : public ::testing::Test {
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

    static strings error_lines() {
        strings texts;
        for (const auto& line : test_support::syslog_lines()) {
            if (line.priority == 3) {
                texts.push_back(line.text);
            }
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

    asio_tcp::socket& connect_client() {
        m_clients.emplace_back(io()).connect({loopback, m_port});
        return m_clients.back();
    }

    void record_udp() {
        m_udp->set_receive_callback(
            [this](const auto& _from, const auto& _local, const auto& _data) {
                m_datagrams.emplace_back(_from, _local, std::string(_data));
            });
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
    core::udp::socket::ptr m_udp;
    std::vector<std::tuple<asio_udp::endpoint, boost::asio::ip::address_v4, std::string>>
        m_datagrams;
    strings m_events;
};

// What the callback tests drive: a connection's data, an acceptor's clients, a UDP
// socket's datagrams; each fire() makes one callback due.
enum class kind { tcp_data, tcp_accept, udp };

class Callbacks : public Ip, public ::testing::WithParamInterface<kind> {
protected:
    Callbacks() {
        connect();
        listen();
        m_udp = m_loop->create_udp_socket(core::ip_protocol::v4, m_udp_port);
    }

    void set_callback(std::function<void()> _callback) {
        if (GetParam() == kind::tcp_data) {
            m_socket->set_receive_callback([_callback](boost::string_view) { _callback(); });
        } else if (GetParam() == kind::tcp_accept) {
            m_acceptor->set_callback([_callback](core::tcp::socket::ptr) { _callback(); });
        } else {
            m_udp->set_receive_callback(
                [_callback](const auto&, const auto&, const auto&) { _callback(); });
        }
    }

    void fire() {
        if (GetParam() == kind::tcp_data) {
            boost::asio::write(m_peer, boost::asio::buffer("a", 1));
        } else if (GetParam() == kind::tcp_accept) {
            connect_client();
        } else {
            asio_udp::socket(io(), {loopback, 0})
                .send_to(boost::asio::buffer("a", 1), {loopback, m_udp_port});
        }
    }

    const unsigned short m_udp_port = free_port<asio_udp::socket>();
};

INSTANTIATE_TEST_SUITE_P(Ip, Callbacks,
                         ::testing::Values(kind::tcp_data, kind::tcp_accept, kind::udp));

// Both calls are due before the first runs: nothing may touch the object or call again.
TEST_P(Callbacks, DestroyingTheObjectInsideItsCallbackStopsIt) {
    fire();
    fire();
    int calls = 0;
    set_callback([&] {
        ++calls;
        m_socket.reset();
        m_acceptor.reset();
        m_udp.reset();
    });
    EXPECT_TRUE(run_for());
    EXPECT_EQ(calls, 1);
}

TEST_P(Callbacks, CallbackThatReplacesItselfKeepsItsStateUntilItReturns) {
    auto state = std::make_shared<std::string>("first");
    set_callback([this, state] {
        set_callback([this] { m_events.push_back("next"); });
        m_events.push_back(*state);
    });
    state.reset();
    for (std::size_t calls = 1; calls <= 2; ++calls) {
        fire();
        ASSERT_TRUE(run_until([&] { return m_events.size() == calls; }));
    }
    EXPECT_EQ(m_events, (strings{"first", "next"}));
}

TEST_F(Ip, LargeWriteArrivesInSeveralChunksOfAtMost64KiB) {
    connect();
    std::string sent(100000, '\0');
    std::iota(sent.begin(), sent.end(), '\0');
    std::string received;
    m_socket->set_receive_callback([&](boost::string_view _data) {
        EXPECT_LE(_data.size(), 65536u);
        received.append(_data.data(), _data.size());
    });
    boost::asio::async_write(m_peer, boost::asio::buffer(sent), [](auto&&...) {});
    ASSERT_TRUE(run_until([&] { return received.size() == sent.size(); }));
    EXPECT_EQ(received, sent);
}

// The data, then one close, which may destroy the socket; nothing logged.
TEST_F(Ip, PeerCloseAfterDataGivesTheDataThenOneCloseAndStopsReading) {
    for (const bool close_callback : {false, true}) {
        SCOPED_TRACE(close_callback);
        connect();
        m_events.clear();
        m_socket->set_receive_callback(
            [this](boost::string_view _data) { m_events.push_back(std::string(_data)); });
        if (close_callback) {
            m_socket->set_close_callback([this] {
                m_events.push_back("close");
                m_socket.reset();
            });
        }
        boost::asio::write(m_peer, boost::asio::buffer("hello", 5));
        m_peer.close();
        EXPECT_TRUE(run_for());
        EXPECT_EQ(m_events, (close_callback ? strings{"hello", "close"} : strings{"hello"}));
        EXPECT_TRUE(test_support::syslog_lines().empty());
    }
}

TEST_F(Ip, ResetIsLoggedWithoutCloseAndLaterSendsThrowUnlessEmpty) {
    connect();
    m_socket->set_receive_callback([this](boost::string_view) { m_events.push_back("data"); });
    m_socket->set_close_callback([this] { m_events.push_back("close"); });
    m_peer.set_option(asio_tcp::socket::linger(true, 0));
    m_peer.close();
    EXPECT_TRUE(run_for());
    EXPECT_TRUE(m_events.empty());
    ASSERT_EQ(error_lines().size(), 1u);
    EXPECT_NE(error_lines()[0].find("Connection reset by peer"), std::string::npos);
    EXPECT_THROW(m_socket->send_some("late"), boost::system::system_error);
    EXPECT_EQ(m_socket->send_some({}), 0u);
}

TEST_F(Ip, FullSendBufferGivesOneCanSendCallbackOnceThePeerReads) {
    connect();
    const std::string block(1 << 20, 'x');
    std::size_t sent = 0;
    for (std::size_t taken = block.size(); taken == block.size() && sent < (256u << 20);) {
        sent += taken = m_socket->send_some(block);
    }
    int can_send = 0;
    m_socket->set_can_send_callback([&] { ++can_send; });
    m_socket->notify_that_send_is_possible();
    m_socket->notify_that_send_is_possible();
    EXPECT_FALSE(run_for(std::chrono::milliseconds(100)));
    std::vector<char> sink(sent);
    boost::asio::read(m_peer, boost::asio::buffer(sink));
    EXPECT_TRUE(run_for());
    EXPECT_EQ(can_send, 1);
}

// Closing the server side first leaves the connections in TIME_WAIT on the port.
TEST_F(Ip, AcceptorHoldsItsPortAcceptsInOrderAndFreesThePortAtOnce) {
    listen();
    EXPECT_THROW(m_loop->get_tcp().listen("127.0.0.1", m_port), boost::system::system_error);
    for (int i = 0; i < 3; ++i) {
        connect_client();
    }
    ASSERT_TRUE(run_until([this] { return m_accepted.size() == 3; }));
    m_acceptor.reset();
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m_accepted[i]->get_remote_endpoint(), m_clients[i].local_endpoint());
    }
    EXPECT_EQ(m_accepted[0]->send_some("kept"), 4u);
    m_accepted.clear();
    std::string received;
    boost::system::error_code end;
    boost::asio::read(m_clients[0], boost::asio::dynamic_buffer(received), end);
    EXPECT_EQ(received, "kept");
    EXPECT_EQ(end, boost::asio::error::eof);
    m_clients.clear();
    EXPECT_NO_THROW(m_acceptor = m_loop->get_tcp().listen(core::ip_protocol::v4, m_port));
}

// Native IPv6 traffic has no IPv4 packet information; mapped IPv4 traffic has.
TEST_F(Ip, UdpSocketReportsSenderLocalAddressAndDataAndSendsToNumericAddressesOnly) {
    boost::system::error_code no_ipv6;
    asio_udp::socket(io(), asio_udp::v6()).bind({boost::asio::ip::make_address("::1"), 0}, no_ipv6);
    for (const auto& [bound, peer_address, sender_address, local_address] :
         std::vector<std::array<const char*, 4>>{
             {"", "127.0.0.1", "127.0.0.1", "127.0.0.1"},
             {"::1", "::1", "::1", "0.0.0.0"},
             {"::", "127.0.0.1", "::ffff:127.0.0.1", "127.0.0.1"}}) {
        SCOPED_TRACE(bound);
        if (no_ipv6 && *bound == ':') {
            continue;
        }
        const auto port = free_port<asio_udp::socket>();
        m_udp = *bound ? m_loop->create_udp_socket(bound, port)
                       : m_loop->create_udp_socket(core::ip_protocol::v4, port);
        const auto peer = boost::asio::ip::make_address(peer_address);
        asio_udp::socket first(io(), {peer, 0});
        asio_udp::socket second(io(), {peer, 0});
        first.send_to(boost::asio::buffer("one", 3), {peer, port});
        second.send_to(boost::asio::buffer("", 0), {peer, port});
        first.send_to(boost::asio::buffer("three", 5), {peer, port});
        m_datagrams.clear();
        record_udp();
        ASSERT_TRUE(run_until([this] { return m_datagrams.size() == 3; }));
        const auto local = boost::asio::ip::make_address_v4(local_address);
        const auto sender = boost::asio::ip::make_address(sender_address);
        const asio_udp::endpoint from_first(sender, first.local_endpoint().port());
        EXPECT_EQ(m_datagrams,
                  (decltype(m_datagrams){{from_first, local, "one"},
                                         {{sender, second.local_endpoint().port()}, local, ""},
                                         {from_first, local, "three"}}));

        EXPECT_THROW(m_udp->send_to("localhost", from_first.port(), "lost"),
                     boost::system::system_error);
        m_udp->send_to(sender_address, from_first.port(), "back");
        ASSERT_TRUE(kelm::test::eventually([&] { return first.available() > 0; }));
        char text[8];
        asio_udp::endpoint from;
        EXPECT_EQ(std::string(text, first.receive_from(boost::asio::buffer(text), from)), "back");
        EXPECT_EQ(from.port(), port);
    }
    EXPECT_TRUE(error_lines().empty());
}

// Only a connected UDP socket hears of a refused send, which makes its next read fail:
// that read is logged, and datagrams that follow still arrive.
TEST_F(Ip, FailedUdpReadIsLoggedAndReceivingGoesOn) {
    const auto port = free_port<asio_udp::socket>();
    // The socket takes the lowest free descriptor; the interface does not expose it.
    const int descriptor = dup(0);
    close(descriptor);
    m_udp = m_loop->create_udp_socket("127.0.0.1", port);
    record_udp();
    const asio_udp::endpoint closed(loopback, free_port<asio_udp::socket>());
    ASSERT_EQ(::connect(descriptor, closed.data(), closed.size()), 0);
    m_udp->send_to("127.0.0.1", closed.port(), "refused");
    ASSERT_TRUE(run_until([] { return !error_lines().empty(); }));
    EXPECT_NE(error_lines()[0].find("Connection refused"), std::string::npos);
    sockaddr unspecified{AF_UNSPEC, {}};
    ASSERT_EQ(::connect(descriptor, &unspecified, sizeof unspecified), 0);
    asio_udp::socket(io(), {loopback, 0})
        .send_to(boost::asio::buffer("after", 5), {loopback, port});
    ASSERT_TRUE(run_until([this] { return m_datagrams.size() == 1; }));
    EXPECT_EQ(std::get<2>(m_datagrams[0]), "after");
    EXPECT_EQ(error_lines().size(), 1u);
}

// Lowers the soft descriptor limit and takes every descriptor left under it, so that
// accepting runs out of descriptors until some are given back.
TEST_F(Ip, AcceptingPausesWhileDescriptorsRunOutAndLogsOncePerShortage) {
    listen();
    // A first connection runs every path once while descriptors are plenty: the
    // sanitizers need a pipe to check a type the first time they see it.
    connect_client();
    ASSERT_TRUE(run_until([&] { return m_accepted.size() == 1; }));
    // Opened before the limit bites: connecting needs no further descriptor.
    asio_tcp::socket first(io(), asio_tcp::v4());
    asio_tcp::socket second(io(), asio_tcp::v4());
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered{64, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> spare;
    const auto restore = core::make_scope_guard([&] {
        for (const int descriptor : spare) {
            close(descriptor);
        }
        setrlimit(RLIMIT_NOFILE, &saved);
    });
    for (int descriptor; (descriptor = dup(0)) != -1;) {
        spare.push_back(descriptor);
    }
    ASSERT_GT(spare.size(), 1u);

    first.connect({loopback, m_port});
    run_for(std::chrono::milliseconds(350));
    EXPECT_EQ(m_accepted.size(), 1u);
    ASSERT_EQ(error_lines().size(), 1u);
    EXPECT_NE(error_lines()[0].find("Too many open files"), std::string::npos);
    // The connection takes the one freed descriptor, so the next one finds none again.
    close(spare.back());
    spare.pop_back();
    EXPECT_TRUE(run_until([&] { return m_accepted.size() == 2; }));
    second.connect({loopback, m_port});
    run_for(std::chrono::milliseconds(350));
    EXPECT_EQ(m_accepted.size(), 2u);
    EXPECT_EQ(error_lines().size(), 2u);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(run_until([&] { return m_accepted.size() == 3; }));
    EXPECT_EQ(m_accepted[1]->get_remote_endpoint(), first.local_endpoint());
    EXPECT_EQ(m_accepted[2]->get_remote_endpoint(), second.local_endpoint());
}

}  // namespace
