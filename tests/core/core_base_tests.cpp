// This suite links kelm::libs::core_base: the runtime without its HTTP and Redis clients.
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace core = kelm::libs::core;

namespace {

// What the exception of each factory says, or "no exception".
std::string refusal(void (*_create)(core::events_loop&)) {
    const core::logger logger{"core-base-test", "main"};
    const auto runtime = core::core::create(logger);
    const auto loop = runtime->create_events_loop("main");
    try {
        _create(*loop);
        return "no exception";
    } catch (const core::exception& error) {
        return error.get_string_error().substr(0, error.get_string_error().find(" ("));
    }
}

}  // namespace

TEST(CoreBase, FactoriesOfTheClientsNotLinkedThrowAndNameThem) {
    EXPECT_EQ(refusal([](core::events_loop& _loop) {
                  _loop.create_http_client("http://127.0.0.1:1", std::chrono::seconds{1});
              }),
              "this program is linked without the HTTP client");
    EXPECT_EQ(refusal([](core::events_loop& _loop) {
                  _loop.create_http_client("http://127.0.0.1:1", std::chrono::seconds{1}, {}, 2);
              }),
              "this program is linked without the HTTP client");
    EXPECT_EQ(refusal([](core::events_loop& _loop) { _loop.create_redis_context("::1", 1, 0); }),
              "this program is linked without the Redis client");
}
