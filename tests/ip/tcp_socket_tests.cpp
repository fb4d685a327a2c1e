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

// A connection made through the manager, whose far end is a plain Asio socket.
class TcpSocket : public ip_test {
protected:
    TcpSocket() { connect(); }

    void connect() {
        asio_tcp::acceptor listener(io(), {boost::asio::ip::make_address("127.0.0.1"), 0});
        m_socket = m_loop->get_tcp().connect("127.0.0.1", listener.local_endpoint().port());
        m_peer = listener.accept();
    }

    // Records what the callbacks see, one entry per call.
    void record_callbacks() {
        m_socket->set_receive_callback(
            [this](boost::string_view _data) { m_events.push_back("data " + std::string(_data)); });
        m_socket->set_close_callback([this] { m_events.push_back("close"); });
    }

    // Sends until the kernel takes less than asked, within a bound; true when it did.
    bool fill_send_buffer() {
        const std::string block(1 << 20, 'x');
        for (int attempt = 0; attempt < 256; ++attempt) {
            const auto taken = m_socket->send_some(block);
            m_sent += taken;
            if (taken < block.size()) {
                return true;
            }
        }
        return false;
    }

    void reset_peer() {
        m_peer.set_option(asio_tcp::socket::linger(true, 0));
        m_peer.close();
    }

    asio_tcp::socket m_peer{io()};
    core::tcp::socket::ptr m_socket;
    std::vector<std::string> m_events;
    std::size_t m_sent = 0;
};

TEST_F(TcpSocket, LargeWriteArrivesInSeveralChunksOfAtMost64KiB) {
    std::string sent(100000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>(i * 7);
    }
    std::string received;
    std::vector<std::size_t> chunks;
    m_socket->set_receive_callback([&](boost::string_view _data) {
        chunks.push_back(_data.size());
        received.append(_data.data(), _data.size());
    });
    boost::asio::async_write(m_peer, boost::asio::buffer(sent), [](auto&&...) {});
    ASSERT_TRUE(run_until([&] { return received.size() == sent.size(); }));
    EXPECT_EQ(received, sent);
    EXPECT_GE(chunks.size(), 2u);
    for (const auto chunk : chunks) {
        EXPECT_LE(chunk, 65536u);
    }
}

TEST_F(TcpSocket, PeerCloseAfterDataGivesTheDataThenOneCloseAndStopsReading) {
    record_callbacks();
    boost::asio::write(m_peer, boost::asio::buffer("hello", 5));
    m_peer.close();
    EXPECT_TRUE(run_until_idle());
    EXPECT_EQ(m_events, (std::vector<std::string>{"data hello", "close"}));
    EXPECT_TRUE(error_lines().empty());
}

TEST_F(TcpSocket, PeerCloseWithoutCloseCallbackLogsNothing) {
    m_socket->set_receive_callback([this](boost::string_view) { m_events.push_back("data"); });
    m_peer.close();
    EXPECT_TRUE(run_until_idle());
    EXPECT_TRUE(m_events.empty());
    EXPECT_TRUE(test_support::syslog_lines().empty());
}

TEST_F(TcpSocket, ResetIsLoggedWithoutCloseAndLaterSendsThrowUnlessEmpty) {
    record_callbacks();
    reset_peer();
    ASSERT_TRUE(run_until([] { return !error_lines().empty(); }));
    EXPECT_TRUE(run_until_idle());
    EXPECT_TRUE(m_events.empty());
    ASSERT_EQ(error_lines().size(), 1u);
    EXPECT_NE(error_lines()[0].find("/tcp/socket_impl.cpp:"), std::string::npos);
    EXPECT_NE(error_lines()[0].find("Connection reset by peer"), std::string::npos);
    EXPECT_THROW(m_socket->send_some("late"), boost::system::system_error);
    EXPECT_EQ(m_socket->send_some({}), 0u);
}

TEST_F(TcpSocket, FullSendBufferGivesOneCanSendCallbackOnceThePeerReads) {
    ASSERT_TRUE(fill_send_buffer());
    int can_send = 0;
    m_socket->set_can_send_callback([&] { ++can_send; });
    m_socket->notify_that_send_is_possible();
    m_socket->notify_that_send_is_possible();
    EXPECT_FALSE(run_until([&] { return can_send > 0; }, std::chrono::milliseconds(100)));

    std::vector<char> sink(m_sent);
    bool drained = false;
    boost::asio::async_read(m_peer, boost::asio::buffer(sink), [&](auto&&...) { drained = true; });
    ASSERT_TRUE(run_until([&] { return drained; }));
    EXPECT_EQ(can_send, 1);
}

// The object is gone when the callback returns; nothing may touch it or call again.
TEST_F(TcpSocket, DestroyingTheSocketInsideItsCallbacksIsSafe) {
    for (const bool in_close : {false, true}) {
        SCOPED_TRACE(in_close ? "close callback" : "receive callback");
        connect();
        int calls = 0;
        m_socket->set_receive_callback([&](boost::string_view) {
            ++calls;
            if (!in_close) {
                m_socket.reset();
            }
        });
        m_socket->set_close_callback([&] {
            ++calls;
            m_socket.reset();
        });
        boost::asio::write(m_peer, boost::asio::buffer("a", 1));
        if (in_close) {
            m_peer.shutdown(asio_tcp::socket::shutdown_send);
        }
        ASSERT_TRUE(run_until([&] { return !m_socket; }));
        if (!in_close) {
            boost::asio::write(m_peer, boost::asio::buffer("b", 1));
        }
        EXPECT_TRUE(run_until_idle());
        EXPECT_EQ(calls, in_close ? 2 : 1);
    }
}

// Each callback installs its successor and still uses its own state afterwards.
TEST_F(TcpSocket, CallbacksThatReplaceThemselvesKeepTheirStateUntilTheyReturn) {
    auto state = std::make_shared<std::string>("first");
    m_socket->set_receive_callback([this, state](boost::string_view) {
        m_socket->set_receive_callback([this](boost::string_view) { m_events.push_back("next"); });
        m_events.push_back(*state);
    });
    state.reset();
    boost::asio::write(m_peer, boost::asio::buffer("a", 1));
    ASSERT_TRUE(run_until([this] { return m_events.size() == 1; }));
    boost::asio::write(m_peer, boost::asio::buffer("b", 1));
    ASSERT_TRUE(run_until([this] { return m_events.size() == 2; }));
    EXPECT_EQ(m_events, (std::vector<std::string>{"first", "next"}));
}

}  // namespace
}  // namespace kelm::test
