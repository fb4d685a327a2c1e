#include "broker_process.hpp"

#include <fnmatch.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using test_support::broker_process;
using test_support::read_file;

namespace {

struct failed_start {
    std::vector<std::string> arguments;
    int status;
    // The error line, with * for any text (fnmatch).
    std::string line;
};

}  // namespace

// Every failed start logs the starting line, then one error line, which also ends standard
// error, cut to a sane length, and exits with a status that tells usage, configuration and
// other failures apart. It never tells systemd it is ready.
TEST(BrokerStartup, FailuresAreLoggedAndEndWithTheirStatus) {
    const test_support::temporary_directory directory;
    const std::string usage = " -c config_file";
    const std::string missing = directory.path() + "/absent.json";
    const std::string fifo = directory.path() + "/fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string invalid = "/src/config.cpp:* Config file is invalid: ";
    const std::string unparsable = "std::exception::what(): Cannot parse json: ";
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
        {{"-c", missing}, EX_CONFIG, unparsable + "cannot open " + missing + ": No such file*"},
        {{"-c", file("{\"system\": ")}, EX_CONFIG, unparsable + "*"},
        {{"-c", file(R"({"input_address": "tcp://127.0.0.1:1"})")},
         EX_CONFIG,
         invalid + "Can not find object <object>: system, path: system.input_address\nCan not "
                   "find object <object>: system, path: system.output_address"},
        {{"-c", endpoints(taken, "7")}, EX_CONFIG, invalid + "Can not find field <string>: *"},
        // TCP, since a second ipc bind takes the path over instead of failing.
        {{"-c", endpoints(taken, '"' + taken + '"')}, EXIT_FAILURE, "*Address already in use*"},
        {{"-c", endpoints(taken, "\"nowhere\"")},
         EX_CONFIG,
         invalid + "Not an endpoint to bind: system.output_address: not of the form "
                   "transport://address"},
        {{"-c", endpoints(taken, "\"tcp://127.0.0.1:99999\"")},
         EX_CONFIG,
         invalid + "Not an endpoint to bind: system.output_address: tcp port is not a number*"},
        {{"-c", endpoints(taken, "\"ipc:///o\", \"max_message_size\": -1")},
         EX_CONFIG,
         invalid + "Field must not be negative: system.max_message_size"},
        {{"-c", endpoints(taken, "\"ipc:///o\", \"input_high_water_mark\": \"many\"")},
         EX_CONFIG,
         invalid + "Can not find field <int>: system.input_high_water_mark"},
        // Not read at all: they would block the start, or be read without end.
        {{"-c", fifo}, EX_CONFIG, unparsable + fifo + ": not a regular file"},
        {{"-c", "/dev/zero"}, EX_CONFIG, unparsable + "/dev/zero: not a regular file"},
        {{"-c", directory.path()},
         EX_CONFIG,
         unparsable + directory.path() + ": not a regular file"},
        {{"-c", file(std::string((1 << 20) + 1, ' '))},
         EX_CONFIG,
         unparsable + "*: larger than 1 MiB"},
        {{"-c", file(std::string(100000, '['))}, EX_CONFIG, unparsable + "*"},
        // A host that does not resolve fails the bind, quoting the whole endpoint.
        {{"-c", endpoints(taken, "\"tcp://" + std::string(100000, 'h') + ":1\"")},
         EXIT_FAILURE,
         "*hhhhhhhh*"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line.substr(0, 200));
        broker_process broker(row.arguments);
        EXPECT_EQ(broker.wait(), row.status);
        const auto lines = broker.syslog();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].priority, LOG_INFO);
        EXPECT_EQ(lines[0].text, "Starting quorvane");
        EXPECT_EQ(lines[1].priority, LOG_ERR);
        EXPECT_EQ(::fnmatch(row.line.c_str(), lines[1].text.c_str(), 0), 0) << lines[1].text;
        const std::string error = broker.standard_error();
        EXPECT_NE(error.find(lines[1].text.substr(0, 1000)), std::string::npos) << error;
        EXPECT_LT(error.size(), 2000u);
        EXPECT_EQ(broker.notifications(), "");
    }
}

TEST(BrokerStartup, InstallKeepsAnEditedConfigurationAndTheUnitWaitsForReadiness) {
    const test_support::temporary_directory directory;
    const std::string install = "DESTDIR=" + directory.path() +
                                " cmake --install " QUORVANE_BUILD_DIR
                                " --component broker >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0);
    const std::string config = directory.path() + QUORVANE_CONFIG_FILE;
    ASSERT_NE(read_file(config).find("input_address"), std::string::npos);
    std::ofstream(config) << "{\"edited\": true}";
    ASSERT_EQ(std::system(install.c_str()), 0);
    EXPECT_EQ(read_file(config), "{\"edited\": true}");
    const std::string unit = read_file(directory.path() + QUORVANE_UNIT_FILE);
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nLimitNOFILE=65536\n"), std::string::npos) << unit;
}
