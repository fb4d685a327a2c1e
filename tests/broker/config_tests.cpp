#include <config.hpp>
#include <core/exception.hpp>

#include <gtest/gtest.h>

#include <sys/un.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// "input | output | limits[ | metrics address = host port]", or the reason the document was
// refused.
std::string endpoints(const std::string& _document) {
    std::istringstream stream(_document);
    try {
        const auto& system = kelm::config(stream).system;
        std::ostringstream read;
        read << system.input_address << " | " << system.output_address << " | "
             << system.max_message_size << " " << system.max_subscription_size << " "
             << system.input_high_water_mark << " " << system.output_high_water_mark << " "
             << system.heartbeat_interval_ms << " " << system.heartbeat_timeout_ms;
        if (!system.metrics_address.empty()) {
            read << " | " << system.metrics_address << " = " << system.metrics_host << " "
                 << system.metrics_port;
        }
        if (system.curve) {
            read << " | curve " << system.curve->secret_key_file << " " << system.curve->producers
                 << " " << system.curve->subscribers;
        }
        return read.str();
    } catch (const kelm::libs::core::exception& e) {
        return e.get_string_error();
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace

TEST(BrokerConfig, ReadsEndpointsAndLimitsOrNamesEveryFault) {
    const std::string invalid = "Config file is invalid: ";
    const std::string field = "Can not find field <string>: system.";
    const std::string object = "Can not find object <object>: system, path: system.";
    const std::string unbindable = "Not an endpoint to bind: system.";
    // The longest path a Unix socket address holds is taken, one a byte longer refused.
    const std::string longest = "/" + std::string(sizeof(sockaddr_un::sun_path) - 2, 'p');
    // A document with the endpoints ipc:///i and ipc:///o and more members of "system".
    const auto ipc = [](const std::string& _members) {
        return R"({"system": {"input_address": "ipc:///i", "output_address": "ipc:///o", )" +
               _members + "}}";
    };
    const std::string ipc_read = "ipc:///i | ipc:///o | 16777216 4096 1000 1000 0 0";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {R"({ // where producers push
            "system": {"input_address": "tcp://127.0.0.1:1", "extra": [1, {"a": 2}],
                       "output_address": "ipc:///tmp/out"},
            "other": {"input_address": "ignored"}})",
         "tcp://127.0.0.1:1 | ipc:///tmp/out | 16777216 4096 1000 1000 0 0"},
        {R"({"system": {"input_address": "ipc:///i", "output_address": "tcp://h:*",
             "max_message_size": 1, "max_subscription_size": 2, "input_high_water_mark": 3,
             "output_high_water_mark": 0, "heartbeat_interval_ms": 5, "heartbeat_timeout_ms": 6}})",
         "ipc:///i | tcp://h:* | 1 2 3 0 5 6"},
        {ipc(R"("metrics_address": "[::1]:9571")"), ipc_read + " | [::1]:9571 = ::1 9571"},
        {ipc(R"("metrics_address": "0.0.0.0:0")"), ipc_read + " | 0.0.0.0:0 = 0.0.0.0 0"},
        {ipc(R"("curve": {"secret_key_file": "b.secret", "producers": "/p", "subscribers": "/s"})"),
         ipc_read + " | curve b.secret /p /s"},
        {ipc(R"("curve": {"secret_key_file": "", "subscribers": 1})"),
         invalid + "Field must not be empty: system.curve.secret_key_file\n" + field +
             "curve.producers\n" + field + "curve.subscribers"},
        {ipc(R"("curve": "keys")"),
         invalid +
             "Can not find object <object>: system.curve, path: system.curve.secret_key_file\n" +
             "Can not find object <object>: system.curve, path: system.curve.producers\n" +
             "Can not find object <object>: system.curve, path: system.curve.subscribers"},
        {R"({"system": {"input_address": "tcp://a:5570x", "output_address": "udp://b:1",
             "max_message_size": -1, "input_high_water_mark": "many"}})",
         invalid + unbindable + "input_address: tcp port is not a number from 0 to 65535 or *\n" +
             unbindable + "output_address: unsupported transport, tcp or ipc expected\n" +
             "Field must not be negative: system.max_message_size\n" +
             "Can not find field <int>: system.input_high_water_mark"},
        {ipc(R"("metrics_address": 9571)"), invalid + field + "metrics_address"},
        {R"({"system": {"input_address": "ipc://)" + longest + R"(", "output_address": "ipc://)" +
             longest + R"(p"}})",
         invalid + unbindable + "output_address: ipc path longer than 107 bytes"},
        {R"({"system": {"input_address": "", "output_address": "ipc:///o"}})",
         invalid + unbindable + "input_address: not of the form transport://address"},
        {R"({"system": {"input_address": "ipc:///i", "output_address": ""}})",
         invalid + unbindable + "output_address: not of the form transport://address"},
        {R"({"system": {"input_address": "a", "output_address": 5}})",
         invalid + field + "output_address"},
        {R"({"system": {"output_address": "b"}})", invalid + field + "input_address"},
        {R"({"input_address": "a", "output_address": "b"})",
         invalid + object + "input_address\n" + object + "output_address"},
    };
    for (const auto& [document, expected] : rows) {
        EXPECT_EQ(endpoints(document), expected) << document;
    }
    const std::string port = "the port is not a number from 0 to 65535";
    const std::string host = "the host is not an IPv4 address or an IPv6 address in brackets";
    for (const auto& [address, fault] : std::vector<std::pair<std::string, std::string>>{
             {"127.0.0.1:65536", port},
             {"[::1]:95x", port},
             {"127.0.0.1", "not of the form host:port"},
             {"::1:9571", host},
             {"[127.0.0.1]:9571", host},
             {"localhost:9571", host}}) {
        EXPECT_EQ(endpoints(ipc(R"("metrics_address": ")" + address + '"')),
                  invalid + "Not an address to listen on: system.metrics_address: " + fault);
    }
    for (const std::string unparsable : {"", "{\"system\": "}) {
        EXPECT_EQ(endpoints(unparsable).rfind("Cannot parse json: ", 0), 0u) << unparsable;
    }
}

TEST(BrokerConfig, TellsEndpointsReachableFromTheNetwork) {
    for (const std::string local : {"tcp://127.0.0.1:5570", "tcp://127.1.2.3:5570",
                                    "tcp://[::1]:5570", "ipc:///run/quorvane/input"}) {
        EXPECT_FALSE(kelm::reachable_from_network(local)) << local;
    }
    for (const std::string remote :
         {"tcp://0.0.0.0:5570", "tcp://[::]:5570", "tcp://192.168.1.2:5570", "tcp://[fe80::1]:5570",
          "tcp://eth0:5570"}) {
        EXPECT_TRUE(kelm::reachable_from_network(remote)) << remote;
    }
}
