#include <asio_zmq/context_service.hpp>

#include <asio_zmq/error.hpp>

#include <zmq.h>

#include <boost/system/system_error.hpp>
#include <cerrno>

namespace kelm::libs::asio_zmq {

boost::asio::execution_context::id context_service::id;

context_service::context_service(boost::asio::execution_context& owner)
    : boost::asio::execution_context::service(owner), m_context(zmq_ctx_new()) {
    if (m_context == nullptr) {
        throw boost::system::system_error(last_error(), "zmq_ctx_new");
    }
}

context_service::~context_service() {
    // A signal interrupts the wait for lingering sockets; the context must still end.
    while (zmq_ctx_term(m_context) != 0 && zmq_errno() == EINTR) {
    }
}

// The sockets belong to their owners, who close them before the io_context goes.
void context_service::shutdown() {}

}  // namespace kelm::libs::asio_zmq
