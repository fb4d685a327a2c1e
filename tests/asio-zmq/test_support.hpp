#pragma once

#include <asio_zmq/message.hpp>
#include <asio_zmq/socket.hpp>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kelm::libs::asio_zmq::test {

// Runs handlers until done() holds, the io_context runs out of work, or the time is up.
inline bool run_until(boost::asio::io_context& io_context, const std::function<bool()>& done,
                      std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    io_context.restart();
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (io_context.run_one_for(std::chrono::milliseconds(100)) == 0 && io_context.stopped()) {
            break;
        }
    }
    return done();
}

inline void send_text(socket& to, const std::string& text, int flags = 0) {
    message frame(text);
    to.send(frame, flags);
}

inline std::string receive_text(socket& from) {
    message frame;
    from.receive(frame);
    return std::string(frame.string_view());
}

// Collects frames through async_receive, re-arming from each handler until `wanted` arrived.
class collector {
public:
    collector(socket& source, std::size_t wanted) : m_source(source), m_wanted(wanted) {}

    void arm() {
        m_source.async_receive([this](const boost::system::error_code& error, message& frame,
                                      std::size_t bytes) { on_frame(error, frame, bytes); });
    }

    bool done() const { return frames.size() >= m_wanted; }

    std::vector<std::string> frames;
    std::vector<bool> more_marks;
    boost::system::error_code first_error;

private:
    void on_frame(const boost::system::error_code& error, message& frame, std::size_t bytes) {
        if (error) {
            first_error = error;
            return;
        }
        EXPECT_EQ(bytes, frame.size());
        frames.emplace_back(frame.string_view());
        more_marks.push_back(frame.more());
        if (!done()) {
            arm();
        }
    }

    socket& m_source;
    std::size_t m_wanted;
};

}  // namespace kelm::libs::asio_zmq::test
