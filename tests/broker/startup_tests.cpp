#include "broker_process.hpp"

#include <fnmatch.h>
#include <sysexits.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

using test_support::broker_process;

namespace {

struct failed_start {
    std::vector<std::string> arguments;
    int status;
    // The error line, with * for any text (fnmatch).
    std::string line;
};

}  // namespace

// Every failed start logs the starting line, then one error line, which also ends standard
// error, and exits with a status that tells usage, configuration and other failures apart.
TEST(BrokerStartup, FailuresAreLoggedAndEndWithTheirStatus) {
    const test_support::temporary_directory directory;
    const std::string usage = " -c config_file";
    const std::string missing = directory.path() + "/absent.json";
    const std::string taken = kelm::test::free_endpoint();
    int files = 0;
    const auto file = [&](const std::string& _content) {
        return directory.write_file(std::to_string(++files) + ".json", _content);
    };
    const auto endpoints = [&](const std::string& _input, const std::string& _output) {
        return file(R"({"system": {"input_address": ")" + _input + R"(", "output_address": )" +
                    _output + "}}");
    };
    const std::vector<failed_start> rows = {
        {{},
         EX_USAGE,
         "/libs/cpp-libraries/core/src/include/core/get_config_file_name.hpp:* The configuration "
         "file is not defined! Usage: " +
             broker_process::binary() + usage},
        {{"-x"}, EX_USAGE, "*.hpp:* Usage: " + broker_process::binary() + usage},
        {{"-c"}, EX_USAGE, "*.hpp:* Usage: " + broker_process::binary() + usage},
        {{"-c", missing},
         EX_CONFIG,
         "std::exception::what(): Cannot parse json: cannot open " + missing +
             ": No such file or directory"},
        {{"-c", file("{\"system\": ")}, EX_CONFIG, "std::exception::what(): Cannot parse json: *"},
        {{"-c", file(R"({"input_address": "tcp://127.0.0.1:1"})")},
         EX_CONFIG,
         "/src/config.cpp:* Config file is invalid: Can not find object <object>: system, path: "
         "system.input_address\nCan not find object <object>: system, path: "
         "system.output_address"},
        {{"-c", endpoints("tcp://127.0.0.1:1", "7")},
         EX_CONFIG,
         "/src/config.cpp:* Config file is invalid: Can not find field <string>: "
         "system.output_address"},
        // TCP, since a second ipc bind takes the path over instead of failing.
        {{"-c", endpoints(taken, '"' + taken + '"')}, EXIT_FAILURE, "*Address already in use*"},
        {{"-c", endpoints(taken, "\"nowhere\"")},
         EX_CONFIG,
         "/src/config.cpp:* Config file is invalid: Not an endpoint to bind: "
         "system.output_address: not of the form transport://address"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        broker_process broker(row.arguments);
        EXPECT_EQ(broker.wait(), row.status);
        const auto lines = broker.syslog();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].priority, LOG_INFO);
        EXPECT_EQ(lines[0].text, "Starting quorvane");
        EXPECT_EQ(lines[1].priority, LOG_ERR);
        EXPECT_EQ(::fnmatch(row.line.c_str(), lines[1].text.c_str(), 0), 0) << lines[1].text;
        const std::string error = broker.standard_error();
        EXPECT_EQ(error.substr(error.size() - std::min(error.size(), lines[1].text.size() + 1)),
                  lines[1].text + "\n")
            << error;
    }
}
