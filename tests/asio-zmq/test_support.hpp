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

// The completions of one receive handler.
struct completion_record {
    auto handler() {
        return [this](const boost::system::error_code& _error, message& _frame, std::size_t) {
            ++calls;
            error = _error;
            frame = std::string(_frame.string_view());
        };
    }

    ::testing::AssertionResult once(const boost::system::error_code& _error,
                                    const std::string& _frame = "") const {
        if (calls == 1 && error == _error && frame == _frame) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << calls << " calls, " << error << " '" << frame << "'";
    }

    int calls = 0;
    boost::system::error_code error;
    std::string frame;
};

// Collects frames through async_receive, re-arming from each handler until `wanted` arrived.
class collector {
public:
    collector(socket& source, std::size_t wanted) : m_source(source), m_wanted(wanted) {}

    void arm() {
        m_source.async_receive(
            [this](const boost::system::error_code& error, message& frame, std::size_t bytes) {
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
            });
    }

    bool done() const { return frames.size() >= m_wanted; }

    std::vector<std::string> frames;
    std::vector<bool> more_marks;
    boost::system::error_code first_error;

private:
    socket& m_source;
    std::size_t m_wanted;
};

// Answers every request with "re:" and the request, until a receive fails.
inline void serve(socket& rep) {
    rep.async_receive([&rep](const boost::system::error_code& error, message& frame, std::size_t) {
        if (!error) {
            send_text(rep, "re:" + std::string(frame.string_view()));
            serve(rep);
        }
    });
}

// Sends request number `completed` and, on the right reply, counts it and sends the next.
inline void request(socket& req, int& completed, int rounds) {
    send_text(req, std::to_string(completed));
    req.async_receive([&req, &completed, rounds](const boost::system::error_code& error,
                                                 message& frame, std::size_t) {
        if (!error && frame.string_view() == "re:" + std::to_string(completed) &&
            ++completed < rounds) {
            request(req, completed, rounds);
        }
    });
}

}  // namespace kelm::libs::asio_zmq::test
