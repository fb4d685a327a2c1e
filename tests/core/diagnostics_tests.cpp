#include <core/exception.hpp>
#include <core/get_config_file_name.hpp>
#include <core/logger.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>
#include <core/timestamp.hpp>
#include <core/version.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <list>
#include <stdexcept>
#include <string>
#include <vector>

namespace core = kelm::libs::core;

namespace {

std::string in_tree(const std::string& _relative) {
    return std::string(core::constants::source_directory) + _relative;
}

}  // namespace

TEST(SourceLocation, NamesThePlaceAndShortensFileAndFunction) {
    const auto here = KELM_SOURCE_LOCATION();
    EXPECT_EQ(here.line(), __LINE__ - 1);
    EXPECT_EQ(here.short_file(), "/tests/core/diagnostics_tests.cpp");
    EXPECT_NE(here.function().find("TestBody"), boost::string_view::npos);
    EXPECT_EQ(std::string(__FILE__).rfind(std::string(core::constants::source_directory), 0), 0u);
    EXPECT_NE(core::constants::source_directory.back(), '/');

    // Only the length of the tree root counts, not its text.
    const std::string other_root(core::constants::source_directory.size(), 'x');
    for (const auto& [path, expected] : std::vector<std::pair<std::string, std::string>>{
             {in_tree("/src/main.cpp"), "/src/main.cpp"},
             {other_root + "/a.cpp", "/a.cpp"},
             {"/a", ""}}) {
        EXPECT_EQ(core::source_location::remove_directory_prefix(path), expected) << path;
    }
    for (const auto& [function, expected] : std::vector<std::pair<std::string, std::string>>{
             {"void kelm::libs::core::periodic_timer_impl::restart_impl()",
              "kelm::libs::core::periodic_timer_impl::restart_impl"},
             {"kelm::a::f(int)::<lambda()>", "kelm::a::f"},
             {"int kelm::a::kelm::g(char)", "kelm::g"},
             {"int main(int, char**)", "int main(int, char**)"}}) {
        EXPECT_EQ(core::source_location(7, "f.cpp", function).short_function(), expected);
    }
}

TEST(Timestamp, TextIsUtcWithMillisecondsWhateverTheZone) {
    // A zone far from UTC, so a local-time conversion shows.
    ASSERT_EQ(::setenv("TZ", "QRV-5:45", 1), 0);
    ::tzset();
    const std::time_t instant = 1709622249;
    std::tm local{};
    ::localtime_r(&instant, &local);
    ASSERT_EQ(local.tm_min, 49) << "the zone did not take effect";
    for (const auto& [milliseconds, expected] : std::vector<std::pair<std::int64_t, std::string>>{
             {1709622249042, "2024-03-05 07:04:09.042"},
             {1709622249005, "2024-03-05 07:04:09.005"},
             {0, "1970-01-01 00:00:00.000"},
             {-1, "1969-12-31 23:59:59.999"}}) {
        EXPECT_EQ(core::timestamp(milliseconds).to_string(), expected);
    }
    ::unsetenv("TZ");
    ::tzset();
}

TEST(Exceptions, DescribeThemselvesWithTheirPlace) {
    // A location keeps views: the path must outlive it.
    const std::string file = in_tree("/libs/x.cpp");
    const core::source_location here(131, file, "f");
    EXPECT_STREQ(core::exception("boom", here).what(), "/libs/x.cpp:131 boom");
    EXPECT_STREQ(core::check_failed_exception("c != NULL", here).what(),
                 "/libs/x.cpp:131 check failed: c != NULL");
    EXPECT_STREQ(core::located_exception(here).what(), "/libs/x.cpp:131");

    const auto describe = [](auto&& _throw) {
        try {
            _throw();
        } catch (...) {
            return core::exception_to_string();
        }
        return std::string("nothing thrown");
    };
    EXPECT_EQ(describe([&] { throw core::exception("e", here); }), "/libs/x.cpp:131 e");
    EXPECT_EQ(describe([] { throw std::runtime_error("x"); }), "std::exception::what(): x");
    EXPECT_EQ(describe([] { throw 5; }), "Unknown exception");
    EXPECT_EQ(core::exception_to_string(), "Unknown exception");
}

TEST(ScopeGuard, RunsOnceOnDestructionUnlessDismissed) {
    int calls = 0;
    {
        core::scope_guard guard = core::make_scope_guard([&] { ++calls; });
        core::scope_guard moved = std::move(guard);
        EXPECT_EQ(calls, 0);
    }
    EXPECT_EQ(calls, 1);
    core::detail::scope_guard_impl<std::function<void()>>([&] { ++calls; }).dismiss();
    EXPECT_EQ(calls, 1);
}

// The rows run in order in one process: a call right after a usage error must start afresh.
TEST(CommandLine, TakesTheLastCOrExplainsTheUsage) {
    const std::string not_defined =
        "The configuration file is not defined! Usage: ./q -c config_file";
    const std::string usage = "Usage: ./q -c config_file";
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"./q", "-c", "a.json"}, "a.json"},
        {{"./q", "-c", "a.json", "-cb.json"}, "b.json"},
        {{"./q", "extra", "-c", "a.json", "more"}, "a.json"},
        {{"./q", "-c", ""}, not_defined},
        {{"./q", "-xy", "-c", "a.json"}, usage},
        {{"./q", "-c"}, usage},
        {{"./q", "first", "-c", "after.json"}, "after.json"},
        {{}, "The configuration file is not defined! Usage:  -c config_file"},
    };
    // Every argument vector stays alive: getopt may keep pointers into an earlier one.
    std::list<std::vector<std::string>> kept;
    ::testing::internal::CaptureStderr();
    for (const auto& [arguments, expected] : rows) {
        std::vector<char*> argv;
        for (auto& argument : kept.emplace_back(arguments)) {
            argv.push_back(&argument[0]);
        }
        argv.push_back(nullptr);
        std::string answer;
        try {
            answer = core::get_config_file_name(static_cast<int>(arguments.size()), argv.data());
        } catch (const core::exception& e) {
            EXPECT_EQ(e.get_source_location().short_file(),
                      "/libs/cpp-libraries/core/src/include/core/get_config_file_name.hpp");
            answer = e.get_string_error();
        }
        EXPECT_EQ(answer, expected) << ::testing::PrintToString(arguments);
    }
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(diagnostics.find("invalid option"), std::string::npos);
    EXPECT_NE(diagnostics.find("requires an argument"), std::string::npos);
}
