#pragma once

#include <core/tcp/socket.hpp>

#include <functional>
#include <memory>

namespace kelm::libs::core::tcp {

// Listens from creation on; hands every accepted connection to the callback, which owns
// it from then on. Accepted sockets may outlive the acceptor.
class acceptor {
public:
    using ptr = std::unique_ptr<acceptor>;
    using callback = std::function<void(socket::ptr)>;

    virtual ~acceptor() = default;

    // The first call starts accepting; clients that connected earlier wait in the
    // listen queue and are accepted in order.
    virtual void set_callback(callback _callback) = 0;
};

}  // namespace kelm::libs::core::tcp
