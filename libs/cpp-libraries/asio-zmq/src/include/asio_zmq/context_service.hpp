#pragma once

#include <boost/asio/execution_context.hpp>

namespace kelm::libs::asio_zmq {

// The ZeroMQ context of one io_context, made when the first socket is created on it.
//
// One context per io_context rather than per process: its lifetime is then a plain, visible one
// (it ends with the io_context, after the sockets made on it), and independent loops do not share
// libzmq's I/O threads or inproc names. Sockets on the same io_context can talk over inproc://.
//
// Destroying the io_context terminates the context, which waits until every socket made on it is
// closed and has flushed what it still holds for connected peers (ZeroMQ's linger, infinite
// unless ZMQ_LINGER is set): close all sockets before destroying their io_context.
class context_service final : public boost::asio::execution_context::service {
public:
    static boost::asio::execution_context::id id;

    // Throws boost::system::system_error when libzmq cannot make a context.
    explicit context_service(boost::asio::execution_context& owner);
    ~context_service() override;

    void* native_handle() const noexcept { return m_context; }

private:
    void shutdown() override;

    void* m_context;
};

}  // namespace kelm::libs::asio_zmq
