#include <config.hpp>
#include <core/exception.hpp>

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

namespace {

std::string failure(const std::string& _document) {
    std::istringstream stream(_document);
    try {
        kelm::config configuration(stream);
    } catch (const kelm::libs::core::exception& e) {
        EXPECT_EQ(e.get_source_location().short_file(), "/src/config.cpp");
        return e.get_string_error();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

}  // namespace

TEST(BrokerConfig, ReadsBothEndpointsIgnoringCommentsAndUnknownMembers) {
    std::istringstream stream(R"({
        // where producers push
        "system": { "input_address": "tcp://127.0.0.1:1", "extra": [1, {"a": 2}],
                    "output_address": "ipc:///tmp/out" },
        "other": { "input_address": "ignored" }
    })");
    const kelm::config configuration(stream);
    EXPECT_EQ(configuration.system.input_address, "tcp://127.0.0.1:1");
    EXPECT_EQ(configuration.system.output_address, "ipc:///tmp/out");
}

TEST(BrokerConfig, EmptyStringsAreRefused) {
    std::istringstream stream(R"({"system": {"input_address": "", "output_address": ""}})");
    EXPECT_THROW(kelm::config{stream}, kelm::libs::core::exception);
}

TEST(BrokerConfig, NamesEveryMissingEndpoint) {
    EXPECT_EQ(failure(R"({"system": {"input_address": "a", "output_address": 5}})"),
              "Config file is invalid: Can not find field <string>: system.output_address");
    EXPECT_EQ(failure(R"({"system": {"output_address": "b"}})"),
              "Config file is invalid: Can not find field <string>: system.input_address");
    EXPECT_EQ(failure(R"({"system": {}})"),
              "Config file is invalid: Can not find field <string>: system.input_address\n"
              "Can not find field <string>: system.output_address");
}

TEST(BrokerConfig, SystemMustBeAnObject) {
    const std::string both =
        "Config file is invalid: Can not find object <object>: system, path: system.input_address\n"
        "Can not find object <object>: system, path: system.output_address";
    EXPECT_EQ(failure(R"({"input_address": "a", "output_address": "b"})"), both);
    EXPECT_EQ(failure(R"({"system": 1})"), both);
}

TEST(BrokerConfig, UnparsableDocumentsAreJsonErrors) {
    EXPECT_EQ(failure("").rfind("Cannot parse json: ", 0), 0u);
    EXPECT_EQ(failure("{\"system\": ").rfind("Cannot parse json: ", 0), 0u);
}
