#include "broker_process.hpp"

#include <sysexits.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <string>

using test_support::broker_process;
using test_support::temporary_directory;

namespace {

// Runs a start that must fail and checks the shape every failed start shares: the
// starting line, then one error line, the same text on standard error, and the status.
std::string failed_start(const std::vector<std::string>& _arguments, int _status) {
    broker_process broker(_arguments);
    EXPECT_EQ(broker.wait(), _status);
    const auto lines = broker.syslog();
    if (lines.size() != 2u) {
        ADD_FAILURE() << "expected 2 system-log lines, got " << lines.size();
        return {};
    }
    EXPECT_EQ(lines[0].priority, LOG_INFO);
    EXPECT_EQ(lines[0].text, "Starting quorvane");
    EXPECT_EQ(lines[1].priority, LOG_ERR);
    const std::string error = broker.standard_error();
    EXPECT_EQ(error.substr(error.size() - lines[1].text.size() - 1), lines[1].text + "\n");
    return lines[1].text;
}

bool ends_with(const std::string& _text, const std::string& _end) {
    return _text.size() >= _end.size() &&
           _text.compare(_text.size() - _end.size(), _end.size(), _end) == 0;
}

const std::string location_prefix =
    "/libs/cpp-libraries/core/src/include/core/get_config_file_name.hpp:";

}  // namespace

TEST(BrokerStartup, NoArgumentsIsAUsageError) {
    const auto line = failed_start({}, EX_USAGE);
    EXPECT_EQ(line.rfind(location_prefix, 0), 0u) << line;
    EXPECT_TRUE(ends_with(line, " The configuration file is not defined! Usage: " +
                                    broker_process::binary() + " -c config_file"))
        << line;
}

TEST(BrokerStartup, UnknownOptionIsAUsageErrorAfterGetoptsDiagnostic) {
    const auto line = failed_start({"-x"}, EX_USAGE);
    EXPECT_TRUE(ends_with(line, " Usage: " + broker_process::binary() + " -c config_file")) << line;
}

TEST(BrokerStartup, OptionWithoutArgumentIsAUsageError) {
    broker_process broker({"-c"});
    EXPECT_EQ(broker.wait(), EX_USAGE);
    EXPECT_NE(broker.standard_error().find("requires an argument"), std::string::npos);
}

TEST(BrokerStartup, MissingFileNamesFileAndReason) {
    temporary_directory directory;
    const std::string file_name = directory.path() + "/absent.json";
    EXPECT_EQ(failed_start({"-c", file_name}, EX_CONFIG),
              "std::exception::what(): Cannot parse json: cannot open " + file_name +
                  ": No such file or directory");
}

TEST(BrokerStartup, InvalidJsonIsAConfigurationError) {
    temporary_directory directory;
    const auto line =
        failed_start({"-c", directory.write_file("bad.json", "{\"system\": ")}, EX_CONFIG);
    EXPECT_EQ(line.rfind("std::exception::what(): Cannot parse json: ", 0), 0u) << line;
}

TEST(BrokerStartup, MissingEndpointsAreNamed) {
    temporary_directory directory;
    const auto file = directory.write_file("c.json", R"({"input_address": "tcp://127.0.0.1:1"})");
    EXPECT_TRUE(ends_with(
        failed_start({"-c", file}, EX_CONFIG),
        " Config file is invalid: Can not find object <object>: system, path: "
        "system.input_address\nCan not find object <object>: system, path: system.output_address"));

    const auto number = directory.write_file(
        "n.json", R"({"system": {"input_address": "tcp://127.0.0.1:1", "output_address": 7}})");
    const auto line = failed_start({"-c", number}, EX_CONFIG);
    EXPECT_EQ(line.rfind("/src/config.cpp:", 0), 0u) << line;
    EXPECT_TRUE(ends_with(
        line, " Config file is invalid: Can not find field <string>: system.output_address"));
}
