#include "ip_test.hpp"

#include <boost/asio/ip/udp.hpp>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace kelm::test {
namespace {

using asio_udp = boost::asio::ip::udp;

// Sender, local address and text of one datagram.
using datagram = std::tuple<asio_udp::endpoint, boost::asio::ip::address_v4, std::string>;

// Peers are plain Asio sockets bound to an ephemeral loopback port.
class UdpSocket : public ip_test {
protected:
    void create(std::function<core::udp::socket::ptr()> _make) {
        m_descriptor = socket_opened_by([&] { m_socket = _make(); });
        m_port = local_port(m_descriptor);
    }

    asio_udp::socket peer(const char* _address = "127.0.0.1") {
        return asio_udp::socket(io(), {boost::asio::ip::make_address(_address), 0});
    }

    void record() {
        m_socket->set_receive_callback(
            [this](const auto& _sender, const auto& _local, const boost::string_view& _data) {
                m_received.push_back({_sender, _local, std::string(_data)});
            });
    }

    asio_udp::endpoint here(const char* _address = "127.0.0.1") const {
        return {boost::asio::ip::make_address(_address), m_port};
    }

    core::udp::socket::ptr m_socket;
    int m_descriptor = -1;
    unsigned short m_port = 0;
    std::vector<datagram> m_received;
};

const auto loopback = boost::asio::ip::make_address_v4("127.0.0.1");

TEST_F(UdpSocket, WildcardSocketReportsEachSenderAndTheLoopbackAsLocalAddress) {
    create([this] { return m_loop->create_udp_socket(core::ip_protocol::v4, 0); });
    auto first = peer();
    auto second = peer();
    first.send_to(boost::asio::buffer("one", 3), here());
    second.send_to(boost::asio::buffer("", 0), here());
    first.send_to(boost::asio::buffer("three", 5), here());
    record();
    ASSERT_TRUE(run_until([this] { return m_received.size() == 3; }));
    EXPECT_EQ(m_received, (std::vector<datagram>{{first.local_endpoint(), loopback, "one"},
                                                 {second.local_endpoint(), loopback, ""},
                                                 {first.local_endpoint(), loopback, "three"}}));
    EXPECT_TRUE(error_lines().empty());
}

// Native IPv6 traffic has no IPv4 packet information; mapped IPv4 traffic has.
TEST_F(UdpSocket, IPv6SocketReportsItsRealSenders) {
    boost::system::error_code no_ipv6;
    asio_udp::socket probe(io());
    probe.open(asio_udp::v6(), no_ipv6);
    if (!no_ipv6) {
        probe.bind({boost::asio::ip::make_address("::1"), 0}, no_ipv6);
    }
    if (no_ipv6) {
        GTEST_SKIP() << "this host has no IPv6 loopback";
    }
    probe.close();
    struct row {
        const char* bound;
        const char* peer;
        const char* sent_to;
        const char* sender;
        const char* local;
    };
    for (const auto& r : {row{"::1", "::1", "::1", "::1", "0.0.0.0"},
                          row{"::", "127.0.0.1", "127.0.0.1", "::ffff:127.0.0.1", "127.0.0.1"}}) {
        SCOPED_TRACE(std::string(r.bound) + " from " + r.peer);
        m_received.clear();
        create([&] { return m_loop->create_udp_socket(r.bound, 0); });
        record();
        auto sender = peer(r.peer);
        sender.send_to(boost::asio::buffer("six", 3), here(r.sent_to));
        ASSERT_TRUE(run_until([this] { return m_received.size() == 1; }));
        const asio_udp::endpoint from(boost::asio::ip::make_address(r.sender),
                                      sender.local_endpoint().port());
        EXPECT_EQ(m_received[0],
                  (datagram{from, boost::asio::ip::make_address_v4(r.local), "six"}));
    }
}

TEST_F(UdpSocket, SendsToNumericAddressesOnlyAndThrowsBeforeSending) {
    create([this] { return m_loop->create_udp_socket("127.0.0.1", 0); });
    auto receiver = peer();
    const auto port = receiver.local_endpoint().port();
    EXPECT_THROW(m_socket->send_to("localhost", port, "lost"), boost::system::system_error);
    m_socket->send_to("127.0.0.1", port, "sent");
    char text[8];
    asio_udp::endpoint from;
    const auto size = receiver.receive_from(boost::asio::buffer(text), from);
    EXPECT_EQ(std::string(text, size), "sent");
    EXPECT_EQ(from, here());
}

// Both datagrams are queued before receiving starts, so they would be read together.
TEST_F(UdpSocket, DestroyingTheSocketInsideItsCallbackStopsDelivery) {
    create([this] { return m_loop->create_udp_socket(core::ip_protocol::v4, 0); });
    auto sender = peer();
    sender.send_to(boost::asio::buffer("a", 1), here());
    sender.send_to(boost::asio::buffer("b", 1), here());
    int calls = 0;
    m_socket->set_receive_callback([&](const auto&, const auto&, const auto&) {
        ++calls;
        m_socket.reset();
    });
    EXPECT_TRUE(run_until_idle());
    EXPECT_EQ(calls, 1);
}

TEST_F(UdpSocket, CallbackThatReplacesItselfKeepsItsStateUntilItReturns) {
    create([this] { return m_loop->create_udp_socket(core::ip_protocol::v4, 0); });
    auto state = std::make_shared<std::string>("first");
    std::vector<std::string> calls;
    m_socket->set_receive_callback([&, state](const auto&, const auto&, const auto&) {
        m_socket->set_receive_callback(
            [&](const auto&, const auto&, const auto&) { calls.push_back("next"); });
        calls.push_back(*state);
    });
    state.reset();
    auto sender = peer();
    sender.send_to(boost::asio::buffer("a", 1), here());
    sender.send_to(boost::asio::buffer("b", 1), here());
    ASSERT_TRUE(run_until([&] { return calls.size() == 2; }));
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "next"}));
}

// A refused earlier send makes the next read fail; that read is logged, not delivered,
// and datagrams that follow still arrive.
TEST_F(UdpSocket, FailedReadIsLoggedAndReceivingGoesOn) {
    const auto free_port = [this] { return peer().local_endpoint().port(); };
    // Bound to a port of its own choosing: disconnecting gives up an ephemeral one.
    create([&] { return m_loop->create_udp_socket("127.0.0.1", free_port()); });
    record();
    // Only a connected UDP socket is told of the refusal.
    const auto closed_port = free_port();
    sockaddr_in closed{};
    closed.sin_family = AF_INET;
    closed.sin_port = htons(closed_port);
    closed.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(m_descriptor, reinterpret_cast<sockaddr*>(&closed), sizeof closed), 0);
    m_socket->send_to("127.0.0.1", closed_port, "refused");
    ASSERT_TRUE(run_until([] { return !error_lines().empty(); }));
    EXPECT_NE(error_lines()[0].find("Connection refused"), std::string::npos);
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ASSERT_EQ(::connect(m_descriptor, &unspecified, sizeof unspecified), 0);

    auto sender = peer();
    sender.send_to(boost::asio::buffer("after", 5), here());
    ASSERT_TRUE(run_until([this] { return m_received.size() == 1; }));
    EXPECT_EQ(std::get<2>(m_received[0]), "after");
    EXPECT_EQ(error_lines().size(), 1u);
}

}  // namespace
}  // namespace kelm::test
