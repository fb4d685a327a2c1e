#pragma once

#include <zmq.h>

#include <boost/asio/buffer.hpp>
#include <cstddef>
#include <string_view>

namespace kelm::libs::asio_zmq {

// One ZeroMQ frame. It owns its zmq_msg_t; moving hands the content over, nothing here copies it
// except the constructors that take foreign bytes.
class message {
public:
    message() noexcept;
    // Uninitialised content of the given size, to be filled through data(). Throws std::bad_alloc.
    explicit message(std::size_t size);
    explicit message(boost::asio::const_buffer content);
    explicit message(std::string_view content);

    message(message&& other) noexcept;
    message& operator=(message&& other) noexcept;
    message(const message&) = delete;
    message& operator=(const message&) = delete;
    ~message();

    void* data() noexcept;
    const void* data() const noexcept;
    std::size_t size() const noexcept;
    std::string_view string_view() const noexcept;
    boost::asio::const_buffer buffer() const noexcept;

    // ZeroMQ's "more" mark of a received frame: further frames of the same message follow.
    bool more() const noexcept;

    zmq_msg_t* native_handle() noexcept { return &m_message; }

private:
    zmq_msg_t m_message;
};

}  // namespace kelm::libs::asio_zmq
