#pragma once

#include "wait.hpp"

#include <asio_zmq/message.hpp>
#include <asio_zmq/socket.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelm::libs::asio_zmq::test {

using kelm::test::run_until;

inline void send_text(socket& to, const std::string& text, int flags = 0) {
    message frame(text);
    to.send(frame, flags);
}

// The next frame, or "<timeout>" when none came within the patience.
inline std::string receive_text(socket& from) {
    zmq_pollitem_t item{from.native_handle(), 0, ZMQ_POLLIN, 0};
    message frame;
    boost::system::error_code error;
    if (zmq_poll(&item, 1, kelm::test::patience.count() * 1000) != 1) {
        return "<timeout>";
    }
    from.receive(frame, ZMQ_DONTWAIT, error);
    return error ? error.message() : std::string(frame.string_view());
}

// Runs handlers until the io_context runs out of work, which shows that nothing, not even a
// wait on libzmq's descriptor, is left; false when work is still there after the patience.
inline bool drains(boost::asio::io_context& io_context) {
    io_context.restart();
    io_context.run_for(kelm::test::patience);
    return io_context.stopped();
}

// What receive handlers were called with, one line each: "name 'frame'" ("'frame'+" when more
// frames follow) or "name category: error".
class completion_log {
public:
    auto note(const std::string& name) {
        return [this, name](const boost::system::error_code& error, message& frame, std::size_t) {
            lines.push_back(
                name + " " +
                (error ? std::string(error.category().name()) + ": " + error.message()
                       : "'" + std::string(frame.string_view()) + "'" + (frame.more() ? "+" : "")));
        };
    }

    std::vector<std::string> lines;
};

// Collects frames through async_receive, re-arming from each handler until `wanted` arrived.
class collector {
public:
    collector(socket& source, std::size_t wanted) : m_source(source), m_wanted(wanted) {}

    void arm() {
        m_source.async_receive(
            [this](const boost::system::error_code& error, message& frame, std::size_t bytes) {
                if (error) {
                    return;
                }
                EXPECT_EQ(bytes, frame.size());
                frames.emplace_back(frame.string_view());
                if (!done()) {
                    arm();
                }
            });
    }

    bool done() const { return frames.size() >= m_wanted; }

    std::vector<std::string> frames;

private:
    socket& m_source;
    std::size_t m_wanted;
};

}  // namespace kelm::libs::asio_zmq::test
