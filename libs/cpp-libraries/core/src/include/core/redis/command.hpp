#pragma once

#include <core/async_operation_handle.hpp>
#include <core/redis/reply.hpp>

#include <memory>
#include <string>

namespace kelm::libs::core::redis {

// One Redis command, built word by word by a context and then run on the client's
// blocking connection (execute) or its asynchronous one (execute_async). Nothing is
// sent before that; each execution sends the command once. A command must not
// outlive the context that made it.
class command {
public:
    using ptr = std::unique_ptr<command>;

    virtual ~command() = default;

    // Appends a word (binary-safe); returns this command for chaining.
    virtual command& add_argument(std::string _arg) = 0;
    // Waits at most 1.5 s for the reply, on the calling thread. Throws when the server
    // answers with an error, so the reply is never ERROR; when no reply comes in time
    // or the connection fails, after which the next command opens a new connection;
    // and, sending nothing, for a command without words and for the commands that
    // reply more than once (as execute_async does).
    virtual reply execute() = 0;
    // The reply, ERROR replies included, is delivered on the loop; a command that
    // never got its answer (connection lost) delivers NIL. Restarting the handle
    // sends the command again. Throws, sending nothing, for a command without words
    // and for the commands that reply more than once (SUBSCRIBE, PSUBSCRIBE,
    // UNSUBSCRIBE, PUNSUBSCRIBE, MONITOR, in any case).
    virtual async_operation_handle<reply>::ptr execute_async() = 0;
};

}  // namespace kelm::libs::core::redis
