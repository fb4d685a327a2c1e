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

// The next frame, or the error when none came within the patience.
inline std::string receive_text(socket& from) {
    from.set_option(ZMQ_RCVTIMEO, static_cast<int>(kelm::test::patience.count() * 1000));
    message frame;
    boost::system::error_code error;
    from.receive(frame, 0, error);
    return error ? error.message() : std::string(frame.string_view());
}

// Collects frames through async_receive, re-arming from each handler until `wanted` arrived.
struct collector {
    collector(socket& _source, std::size_t _wanted) : source(_source), wanted(_wanted) {}

    void arm() {
        source.async_receive(
            [this](const boost::system::error_code& error, message& frame, std::size_t bytes) {
                EXPECT_EQ(bytes, frame.size());
                if (!error) {
                    frames.emplace_back(frame.string_view());
                }
                if (!error && !done()) {
                    arm();
                }
            });
    }

    bool done() const { return frames.size() >= wanted; }

    socket& source;
    std::size_t wanted;
    std::vector<std::string> frames;
};

// "0", "1", ... up to `count`.
inline std::vector<std::string> numbers(std::size_t count) {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < count; ++i) {
        texts.push_back(std::to_string(i));
    }
    return texts;
}

}  // namespace kelm::libs::asio_zmq::test
