// This suite links kelm::libs::core_base: the runtime without its HTTP and Redis clients.
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>

namespace core = kelm::libs::core;

namespace {

struct missing_part {
    const char* name;
    std::function<void(core::events_loop&)> create;
    const char* message;
};

void PrintTo(const missing_part& _part, std::ostream* _os) {
    *_os << _part.name;
}

class CoreBase : public ::testing::TestWithParam<missing_part> {
protected:
    core::logger m_logger{"core-base-test", "main"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main");
};

std::string mapped_files() {
    std::ifstream maps("/proc/self/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str();
}

}  // namespace

TEST_P(CoreBase, FactoryOfAPartNotLinkedThrowsAndNamesIt) {
    try {
        GetParam().create(*m_loop);
        FAIL() << "no exception";
    } catch (const core::exception& error) {
        EXPECT_NE(error.get_string_error().find(GetParam().message), std::string::npos)
            << error.get_string_error();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parts, CoreBase,
    ::testing::Values(missing_part{"Http",
                                   [](core::events_loop& _loop) {
                                       _loop.create_http_client("http://127.0.0.1:1",
                                                                std::chrono::seconds{1});
                                   },
                                   "linked without the HTTP client"},
                      missing_part{"HttpWithLimits",
                                   [](core::events_loop& _loop) {
                                       _loop.create_http_client("http://127.0.0.1:1",
                                                                std::chrono::seconds{1}, {}, 2);
                                   },
                                   "linked without the HTTP client"},
                      missing_part{"Redis",
                                   [](core::events_loop& _loop) {
                                       _loop.create_redis_context("127.0.0.1", 1, 0);
                                   },
                                   "linked without the Redis client"}),
    [](const auto& _info) { return std::string(_info.param.name); });

TEST(CoreBaseProgram, MapsNeitherLibcurlNorHiredis) {
    const auto maps = mapped_files();
    ASSERT_NE(maps.find("libzmq"), std::string::npos) << maps;
    EXPECT_EQ(maps.find("libcurl"), std::string::npos) << maps;
    EXPECT_EQ(maps.find("libhiredis"), std::string::npos) << maps;
}
