#include <core/exception.hpp>
#include <core/get_config_file_name.hpp>
#include <core/logger.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>
#include <core/timestamp.hpp>
#include <core/version.hpp>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace core = kelm::libs::core;

namespace {

std::string in_tree(const std::string& _relative) {
    return std::string(core::constants::source_directory) + _relative;
}

core::source_location location_with_function(const char* _function) {
    return core::source_location(7, "file.cpp", _function);
}

}  // namespace

TEST(SourceLocation, DefaultsToUnknownPlace) {
    const core::source_location location;
    EXPECT_EQ(location.line(), 0);
    EXPECT_EQ(location.file(), "unknown file");
    EXPECT_EQ(location.function(), "unknown function");
}

TEST(SourceLocation, MacroNamesThisPlace) {
    const auto location = KELM_SOURCE_LOCATION();
    EXPECT_EQ(location.line(), __LINE__ - 1);
    EXPECT_EQ(location.short_file(), "/tests/core/diagnostics_tests.cpp");
    EXPECT_NE(location.function().find("TestBody"), boost::string_view::npos);
}

TEST(SourceLocation, RemoveDirectoryPrefixDropsOnlyTheTreeRootsLength) {
    const std::string path = in_tree("/src/main.cpp");
    EXPECT_EQ(core::source_location::remove_directory_prefix(path), "/src/main.cpp");
    // The prefix is not compared, only its length counts.
    const std::string other(core::constants::source_directory.size(), 'x');
    EXPECT_EQ(core::source_location::remove_directory_prefix(other + "/a.cpp"), "/a.cpp");
    EXPECT_TRUE(core::source_location::remove_directory_prefix("/a").empty());
    EXPECT_TRUE(core::source_location::remove_directory_prefix("").empty());
}

TEST(SourceLocation, ShortFunctionKeepsTheQualifiedName) {
    EXPECT_EQ(location_with_function("void kelm::libs::core::periodic_timer_impl::restart_impl()")
                  .short_function(),
              "kelm::libs::core::periodic_timer_impl::restart_impl");
    EXPECT_EQ(location_with_function("kelm::a::f(int)::<lambda()>").short_function(), "kelm::a::f");
    EXPECT_EQ(location_with_function("int kelm::a::kelm::g(char)").short_function(), "kelm::g");
}

TEST(SourceLocation, ShortFunctionKeepsSignaturesOutsideTheNamespace) {
    EXPECT_EQ(location_with_function("unknown function").short_function(), "unknown function");
    EXPECT_EQ(location_with_function("int main(int, char**)").short_function(),
              "int main(int, char**)");
    EXPECT_EQ(location_with_function("void f(kelm::x)").short_function(), "void f(kelm::x)");
}

TEST(Timestamp, TextIsUtcWithMilliseconds) {
    EXPECT_EQ(core::timestamp(1709622249042).to_string(), "2024-03-05 07:04:09.042");
    EXPECT_EQ(core::timestamp(1709622249005).to_string(), "2024-03-05 07:04:09.005");
    EXPECT_EQ(core::timestamp(0).to_string(), "1970-01-01 00:00:00.000");
    EXPECT_EQ(core::timestamp(-1).to_string(), "1969-12-31 23:59:59.999");
}

TEST(Timestamp, NowFollowsTheRealtimeClock) {
    const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const auto now = core::timestamp::now().milliseconds();
    EXPECT_GE(now, before);
    EXPECT_LT(now - before, 60000);
}

TEST(Exceptions, DescribeThemselvesWithPlace) {
    // A location keeps views: the path must outlive it.
    const std::string file = in_tree("/libs/x.cpp");
    const core::source_location here(131, file, "f");
    EXPECT_STREQ(core::exception("boom", here).what(), "/libs/x.cpp:131 boom");
    EXPECT_STREQ(core::check_failed_exception("curl_handle != NULL", here).what(),
                 "/libs/x.cpp:131 check failed: curl_handle != NULL");
    EXPECT_EQ(core::check_failed_exception("c", here).get_string_error(), "check failed: c");
    EXPECT_STREQ(core::located_exception(here).what(), "/libs/x.cpp:131");
}

TEST(Exceptions, DefaultLocationHasLineZero) {
    // "unknown file" loses as many characters as the tree root has: normally all.
    const std::string file(core::source_location::remove_directory_prefix("unknown file"));
    EXPECT_EQ(core::exception("t", core::source_location()).what(), file + ":0 t");
}

TEST(Exceptions, ToStringCoversEveryKind) {
    const std::string file = in_tree("/a.cpp");
    auto describe = [](auto&& _throw) {
        try {
            _throw();
        } catch (...) {
            return core::exception_to_string();
        }
        return std::string("nothing thrown");
    };
    EXPECT_EQ(describe([&] { throw core::exception("e", core::source_location(3, file, "f")); }),
              "/a.cpp:3 e");
    EXPECT_EQ(describe([] { throw std::runtime_error("x"); }), "std::exception::what(): x");
    EXPECT_EQ(describe([] { throw 5; }), "Unknown exception");
    EXPECT_EQ(core::exception_to_string(), "Unknown exception");
}

TEST(ScopeGuard, RunsOnceOnDestructionUnlessDismissed) {
    int calls = 0;
    {
        core::scope_guard guard = core::make_scope_guard([&] { ++calls; });
        EXPECT_EQ(calls, 0);
        core::scope_guard moved = std::move(guard);
    }
    EXPECT_EQ(calls, 1);
    {
        core::detail::scope_guard_impl<std::function<void()>> guard([&] { ++calls; });
        guard.dismiss();
    }
    EXPECT_EQ(calls, 1);
}

TEST(Version, SourceDirectoryIsTheTreeRoot) {
    ASSERT_FALSE(core::constants::source_directory.empty());
    EXPECT_NE(core::constants::source_directory.back(), '/');
    EXPECT_EQ(std::string(__FILE__).rfind(std::string(core::constants::source_directory), 0), 0u);
}

class CommandLine : public ::testing::Test {
protected:
    std::string parse(std::vector<std::string> _arguments) {
        m_storage = std::move(_arguments);
        std::vector<char*> argv;
        for (auto& a : m_storage) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        return core::get_config_file_name(static_cast<int>(m_storage.size()), argv.data());
    }

    std::string failure(std::vector<std::string> _arguments) {
        try {
            parse(std::move(_arguments));
        } catch (const core::exception& e) {
            EXPECT_EQ(e.get_source_location().short_file(),
                      "/libs/cpp-libraries/core/src/include/core/get_config_file_name.hpp");
            return e.get_string_error();
        }
        return "no exception";
    }

private:
    std::vector<std::string> m_storage;
};

TEST_F(CommandLine, ReturnsThePathOfTheLastC) {
    EXPECT_EQ(parse({"./q", "-c", "a.json"}), "a.json");
    EXPECT_EQ(parse({"./q", "-c", "a.json", "-c", "b.json"}), "b.json");
    EXPECT_EQ(parse({"./q", "-cjoined.json"}), "joined.json");
    EXPECT_EQ(parse({"./q", "extra", "-c", "a.json", "more"}), "a.json");
}

TEST_F(CommandLine, RejectsMissingOrEmptyPath) {
    const std::string not_defined =
        "The configuration file is not defined! Usage: ./q -c config_file";
    EXPECT_EQ(failure({"./q"}), not_defined);
    EXPECT_EQ(failure({"./q", "-c", ""}), not_defined);
    EXPECT_EQ(failure({"./q", "plain"}), not_defined);
}

TEST_F(CommandLine, RejectsUnknownOptionsAndCWithoutArgument) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(failure({"./q", "-x", "-c", "a.json"}), "Usage: ./q -c config_file");
    EXPECT_EQ(failure({"./q", "-c"}), "Usage: ./q -c config_file");
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(diagnostics.find("invalid option"), std::string::npos);
    EXPECT_NE(diagnostics.find("requires an argument"), std::string::npos);
}

TEST_F(CommandLine, SurvivesAMissingProgramName) {
    EXPECT_EQ(failure({}), "The configuration file is not defined! Usage:  -c config_file");
}
