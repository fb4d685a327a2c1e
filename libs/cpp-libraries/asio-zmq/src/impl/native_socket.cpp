#include "native_socket.hpp"

#include <asio_zmq/error.hpp>

#include <zmq.h>

#include <boost/system/system_error.hpp>
#include <cstddef>

namespace kelm::libs::asio_zmq::detail {

native_socket::native_socket(void* context, int type) : m_handle(zmq_socket(context, type)) {
    if (m_handle == nullptr) {
        throw boost::system::system_error(last_error(), "zmq_socket");
    }
}

void native_socket::close() noexcept {
    if (m_handle != nullptr) {
        zmq_close(m_handle);
        m_handle = nullptr;
    }
}

int native_socket::notification_fd() const {
    int fd = -1;
    std::size_t size = sizeof fd;
    if (zmq_getsockopt(m_handle, ZMQ_FD, &fd, &size) != 0) {
        throw boost::system::system_error(last_error(), "ZMQ_FD");
    }
    return fd;
}

}  // namespace kelm::libs::asio_zmq::detail
