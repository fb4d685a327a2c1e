#include "ip_test.hpp"

#include <core/tcp/manager.hpp>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <memory>
#include <string>
#include <vector>

namespace kelm::test {
namespace {

using asio_tcp = boost::asio::ip::tcp;

// An acceptor made by listen(v4, 0), so on an ephemeral port of every IPv4 interface;
// clients are plain Asio sockets connecting to the loopback.
class TcpAcceptor : public ip_test {
protected:
    TcpAcceptor() {
        m_port = local_port(socket_opened_by(
            [this] { m_acceptor = m_loop->get_tcp().listen(core::ip_protocol::v4, 0); }));
    }

    asio_tcp::socket connect_client() {
        asio_tcp::socket client(io());
        client.connect({boost::asio::ip::make_address("127.0.0.1"), m_port});
        return client;
    }

    void keep_accepted() {
        m_acceptor->set_callback(
            [this](core::tcp::socket::ptr _socket) { m_accepted.push_back(std::move(_socket)); });
    }

    unsigned short m_port = 0;
    core::tcp::acceptor::ptr m_acceptor;
    std::vector<core::tcp::socket::ptr> m_accepted;
};

TEST_F(TcpAcceptor, PortIsTakenWhileTheAcceptorLivesAndFreeAtOnceAfter) {
    EXPECT_THROW(m_loop->get_tcp().listen("127.0.0.1", m_port), boost::system::system_error);
    // Closing the server side first leaves the connection in TIME_WAIT on this port.
    keep_accepted();
    auto client = connect_client();
    ASSERT_TRUE(run_until([this] { return m_accepted.size() == 1; }));
    m_accepted.clear();
    char byte;
    boost::system::error_code end;
    client.read_some(boost::asio::buffer(&byte, 1), end);
    EXPECT_EQ(end, boost::asio::error::eof);
    client.close();
    m_acceptor.reset();
    EXPECT_NO_THROW(m_acceptor = m_loop->get_tcp().listen(core::ip_protocol::v4, m_port));
}

TEST_F(TcpAcceptor, ClientsThatConnectedBeforeTheCallbackAreAcceptedInOrder) {
    std::vector<asio_tcp::socket> clients;
    ASSERT_NE(m_port, 0);
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connect_client());
    }
    keep_accepted();
    ASSERT_TRUE(run_until([&] { return m_accepted.size() == clients.size(); }));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        EXPECT_EQ(m_accepted[i]->get_remote_endpoint(), clients[i].local_endpoint());
    }
}

TEST_F(TcpAcceptor, DroppedSocketClosesItsConnectionAndAcceptingGoesOn) {
    int calls = 0;
    m_acceptor->set_callback([&](core::tcp::socket::ptr _socket) {
        if (++calls > 1) {
            m_accepted.push_back(std::move(_socket));
        }
    });
    auto dropped = connect_client();
    char byte;
    boost::system::error_code end;
    bool closed = false;
    dropped.async_read_some(boost::asio::buffer(&byte, 1), [&](auto _error, std::size_t) {
        end = _error;
        closed = true;
    });
    ASSERT_TRUE(run_until([&] { return closed; }));
    EXPECT_EQ(end, boost::asio::error::eof);
    auto kept = connect_client();
    ASSERT_TRUE(run_until([this] { return m_accepted.size() == 1; }));
    EXPECT_EQ(m_accepted[0]->get_remote_endpoint(), kept.local_endpoint());
}

TEST_F(TcpAcceptor, DestroyingTheAcceptorInsideItsCallbackKeepsTheSocketAndStops) {
    auto first = connect_client();
    auto second = connect_client();
    m_acceptor->set_callback([this](core::tcp::socket::ptr _socket) {
        m_accepted.push_back(std::move(_socket));
        m_acceptor.reset();
    });
    EXPECT_TRUE(run_until_idle());
    ASSERT_EQ(m_accepted.size(), 1u);
    EXPECT_EQ(m_accepted[0]->send_some("kept"), 4u);
    char text[4];
    boost::asio::read(first, boost::asio::buffer(text));
    EXPECT_EQ(std::string(text, 4), "kept");
}

TEST_F(TcpAcceptor, CallbackThatReplacesItselfKeepsItsStateUntilItReturns) {
    auto state = std::make_shared<std::string>("first");
    std::vector<std::string> calls;
    m_acceptor->set_callback([&, state](core::tcp::socket::ptr) {
        m_acceptor->set_callback([&](core::tcp::socket::ptr) { calls.push_back("next"); });
        calls.push_back(*state);
    });
    state.reset();
    auto first = connect_client();
    auto second = connect_client();
    ASSERT_TRUE(run_until([&] { return calls.size() == 2; }));
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "next"}));
}

}  // namespace
}  // namespace kelm::test
