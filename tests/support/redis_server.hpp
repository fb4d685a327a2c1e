#pragma once

#include "child_process.hpp"
#include "wait.hpp"

#include <hiredis/hiredis.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace test_support {

// An empty redis-server on a loopback port, keeping nothing on disk, ready once constructed.
// Destroying it ends the server at once, as a crash would.
class redis_server {
public:
    explicit redis_server(int _port)
        : m_process({"redis-server", "--port", std::to_string(_port), "--bind", "127.0.0.1",
                     "--save", "", "--logfile", "/dev/null"}) {
        const auto accepts = [_port] {
            const std::unique_ptr<redisContext, decltype(&redisFree)> context(
                redisConnect("127.0.0.1", _port), redisFree);
            return context && context->err == 0;
        };
        if (!kelm::test::eventually(accepts)) {
            throw std::runtime_error("redis-server does not start");
        }
    }

private:
    kelm::test::child_process m_process;
};

}  // namespace test_support
