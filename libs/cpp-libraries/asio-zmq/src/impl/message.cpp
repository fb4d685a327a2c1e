#include <asio_zmq/message.hpp>

#include <cstring>
#include <new>

namespace kelm::libs::asio_zmq {

message::message() noexcept {
    zmq_msg_init(&m_message);
}

message::message(std::size_t size) {
    if (zmq_msg_init_size(&m_message, size) != 0) {
        throw std::bad_alloc();
    }
}

message::message(boost::asio::const_buffer content) : message(content.size()) {
    if (content.size() != 0) {
        std::memcpy(data(), content.data(), content.size());
    }
}

message::message(std::string_view content) : message(boost::asio::buffer(content)) {}

message::message(message&& other) noexcept {
    zmq_msg_init(&m_message);
    zmq_msg_move(&m_message, &other.m_message);
}

message& message::operator=(message&& other) noexcept {
    if (this != &other) {
        zmq_msg_move(&m_message, &other.m_message);
    }
    return *this;
}

message::~message() {
    zmq_msg_close(&m_message);
}

void* message::data() noexcept {
    return zmq_msg_data(&m_message);
}

// libzmq has no const accessor for the content; reading it does not change the message.
const void* message::data() const noexcept {
    return zmq_msg_data(const_cast<zmq_msg_t*>(&m_message));
}

std::size_t message::size() const noexcept {
    return zmq_msg_size(&m_message);
}

std::string_view message::string_view() const noexcept {
    return std::string_view(static_cast<const char*>(data()), size());
}

boost::asio::const_buffer message::buffer() const noexcept {
    return boost::asio::const_buffer(data(), size());
}

bool message::more() const noexcept {
    return zmq_msg_more(&m_message) != 0;
}

}  // namespace kelm::libs::asio_zmq
