#pragma once

namespace kelm::libs::asio_zmq::detail {

// Owns one libzmq socket.
class native_socket {
public:
    // Throws boost::system::system_error when libzmq refuses the type.
    native_socket(void* context, int type);
    native_socket(const native_socket&) = delete;
    native_socket& operator=(const native_socket&) = delete;
    ~native_socket() { close(); }

    void close() noexcept;
    void* get() const noexcept { return m_handle; }
    // The descriptor that libzmq signals when the socket's state may have changed (ZMQ_FD).
    int notification_fd() const;

private:
    void* m_handle;
};

}  // namespace kelm::libs::asio_zmq::detail
