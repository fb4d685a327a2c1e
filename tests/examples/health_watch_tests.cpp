#include "child_process.hpp"
#include "http_server.hpp"
#include "push_sub.hpp"
#include "redis_server.hpp"
#include "temporary_directory.hpp"
#include "wait.hpp"

#include <hiredis/hiredis.h>

#include <gtest/gtest.h>

#include <sysexits.h>

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {

using kelm::test::child_process;
using test_support::read_file;

int free_port() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::address_v4::loopback(), 0});
    return probe.local_endpoint().port();
}

// A hash as Redis holds it now, empty when the key is absent.
std::map<std::string, std::string> hash(int _port, const std::string& _key) {
    const std::unique_ptr<redisContext, decltype(&redisFree)> context(
        redisConnect("127.0.0.1", _port), redisFree);
    // The service writes to the database its configuration names.
    freeReplyObject(redisCommand(context.get(), "SELECT 3"));
    const std::unique_ptr<redisReply, decltype(&freeReplyObject)> reply(
        static_cast<redisReply*>(redisCommand(context.get(), "HGETALL %s", _key.c_str())),
        freeReplyObject);
    std::map<std::string, std::string> result;
    for (std::size_t i = 0; reply && i + 1 < reply->elements; i += 2) {
        result[reply->element[i]->str] = reply->element[i + 1]->str;
    }
    return result;
}

// A broker, a redis-server and an HTTP server on loopback, and a consumer of everything the
// broker publishes.
class HealthWatch : public ::testing::Test {
protected:
    HealthWatch() {
        const auto config = m_directory.write_file(
            "broker.json", R"({"system": {"input_address": ")" + m_input +
                               R"(", "output_address": ")" + m_output + R"("}})");
        m_broker.emplace(std::vector<std::string>{QUORVANE_BINARY, "-c", config});
        m_peers.emplace(m_input, m_output);
        if (!m_peers->await_forwarding()) {
            throw std::runtime_error("the broker does not start");
        }
        start_redis();
    }

    // An empty server, on the same port each time.
    void start_redis() { m_redis.emplace(m_redis_port); }

    // The service's configuration, with members replaced or added as `"name": value`.
    std::string configuration(const std::string& _urls, const std::string& _more = "") const {
        return R"({"health_watch": {"urls": )" + _urls + R"(, "period_ms": 100,
            "redis": {"host": "127.0.0.1", "port": )" +
               std::to_string(m_redis_port) + R"(, "db": 3},
            "broker_input": ")" +
               m_input + "\"" + _more + "}}";
    }

    child_process start(const std::string& _configuration) {
        return child_process(
            {HEALTH_WATCH_BINARY, "-c", m_directory.write_file("watch.json", _configuration)},
            {{}, {}, {}, m_directory.path + "/stderr"});
    }

    // What the broker published next, skipping the lines of other programs' loggers; nothing
    // once the time is up.
    std::string next() {
        while (const auto message = m_peers->receive()) {
            if (message->rfind("#health", 0) == 0 || message->rfind("&health-watch:", 0) == 0) {
                return *message;
            }
        }
        return {};
    }

    // Reads what the broker publishes until each pattern has matched _times messages, or for
    // `patience` at most.
    bool seen(const std::vector<std::regex>& _patterns, int _times) {
        std::vector<int> matches(_patterns.size(), 0);
        const auto done = [&] {
            return std::all_of(matches.begin(), matches.end(),
                               [&](int _n) { return _n >= _times; });
        };
        // Messages come every period whatever they hold: the time limit is for the whole read.
        const auto deadline = std::chrono::steady_clock::now() + kelm::test::patience;
        while (!done()) {
            const std::string message = next();
            if (message.empty() || std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            for (std::size_t i = 0; i < _patterns.size(); ++i) {
                matches[i] += std::regex_match(message, _patterns[i]);
            }
        }
        return true;
    }

    // The start of a log line of the service, as the broker publishes it.
    const std::string m_line = R"(&health-watch:main \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
    const test_support::temporary_directory m_directory;
    const std::string m_input = kelm::test::free_endpoint();
    const std::string m_output = kelm::test::free_endpoint();
    const int m_redis_port = free_port();
    std::optional<child_process> m_broker;
    std::optional<test_support::redis_server> m_redis;
    std::optional<kelm::test::push_sub> m_peers;
};

std::string quoted(const std::string& _text) {
    return std::regex_replace(_text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// A result for the url published on the channel, its members after the url as _rest.
std::regex result(const std::string& _url, const std::string& _rest) {
    return std::regex(R"(#health\{"url":")" + quoted(_url) + "\"," + _rest);
}

}  // namespace

// Results come every period as channel messages, hashes and log lines, all through the real
// parts; with the HTTP server gone they turn to failures with their reason, and the service
// goes on until SIGTERM, which it ends with status 0.
TEST_F(HealthWatch, ReportsEachUrlEveryPeriodAndFailuresOnceTheServerIsGone) {
    std::optional<kelm::test::http_server> http(std::in_place);
    const std::string ok = http->address() + "/status/200";
    const std::string down = http->address() + "/status/503";
    auto watch = start(configuration("[\"" + ok + "\", \"" + down + "\"]"));
    ASSERT_TRUE(
        seen({result(ok, R"("status":200,"ms":\d+\})"), result(down, R"("status":503,"ms":\d+\})"),
              std::regex(m_line + "GET " + quoted(ok) + R"(: 200 in \d+ ms)")},
             3));
    const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    ASSERT_TRUE(
        kelm::test::eventually([&] { return hash(m_redis_port, "health:" + down).size() == 3; }));
    for (const auto& [url, status] : {std::make_pair(ok, "200"), std::make_pair(down, "503")}) {
        auto fields = hash(m_redis_port, "health:" + url);
        ASSERT_EQ(fields.size(), 3u);
        EXPECT_TRUE(std::regex_match(fields["ms"], std::regex(R"(\d+)"))) << fields["ms"];
        EXPECT_NEAR(std::stoll(fields["checked"]), before, 5000);
        EXPECT_EQ(fields["status"], status);
    }

    http.reset();
    const std::string failed = R"("ms":\d+,"error":"[^"]+"\})";
    ASSERT_TRUE(seen({result(ok, failed), result(down, failed),
                      std::regex(m_line + "GET " + quoted(down) + R"( failed after \d+ ms: .+)")},
                     3));
    const auto fields = hash(m_redis_port, "health:" + ok);
    EXPECT_EQ(fields.count("status"), 0u);
    EXPECT_FALSE(fields.at("error").empty());

    watch.send_signal(SIGTERM);
    EXPECT_TRUE(seen({std::regex(m_line + "Stopped")}, 1));
    EXPECT_EQ(watch.wait(kelm::test::patience), 0);
    EXPECT_EQ(read_file(m_directory.path + "/stderr"), "");
}

// Without Redis the results still reach the broker and the service asks again each period;
// a server that comes back gets the hashes, and one that goes away is told in the log.
TEST_F(HealthWatch, GoesOnWithoutRedisAndWritesAgainOnceItIsBack) {
    m_redis.reset();
    kelm::test::http_server http;
    const std::string url = http.address() + "/status/200";
    const auto stored = [&] {
        return kelm::test::eventually(
            [&] { return hash(m_redis_port, "health:" + url).count("status") == 1; });
    };
    auto watch = start(configuration("[\"" + url + "\"]"));
    ASSERT_TRUE(seen({result(url, R"("status":200,"ms":\d+\})"),
                      std::regex(m_line + "Cannot connect to Redis at 127\\.0\\.0\\.1:" +
                                 std::to_string(m_redis_port))},
                     2));
    start_redis();
    ASSERT_TRUE(stored());
    m_redis.reset();
    ASSERT_TRUE(seen({std::regex(m_line + "Lost the connection to Redis")}, 1));
    start_redis();
    EXPECT_TRUE(stored());
    watch.send_signal(SIGTERM);
    EXPECT_EQ(watch.wait(kelm::test::patience), 0);
}

// Like the broker: 64 for the command line, 78 for the file, each with its reason on
// standard error.
TEST_F(HealthWatch, RefusesBadCommandLinesAndConfigurationsWithTheirStatus) {
    using row = std::tuple<std::vector<std::string>, int, std::string>;
    const std::string file = m_directory.path + "/watch.json";
    const std::string invalid = "^/settings.cpp:\\d+ Config file is invalid: ";
    const std::string urls = "Field must be a non-empty array of strings: health_watch.urls\n";
    m_directory.write_file("watch.json", "");
    int files = 0;
    const auto with = [&](const std::string& _content) {
        return std::vector<std::string>{
            HEALTH_WATCH_BINARY, "-c",
            m_directory.write_file(std::to_string(++files) + ".json", _content)};
    };
    for (const auto& [arguments, status, error] : std::vector<row>{
             {{HEALTH_WATCH_BINARY},
              EX_USAGE,
              "^/core/get_config_file_name.hpp:\\d+ The configuration file is not defined! "
              "Usage: "},
             {{HEALTH_WATCH_BINARY, "-x", "-c", file},
              EX_USAGE,
              "invalid option -- 'x'\n.*Usage: .* -c config_file\n$"},
             {{HEALTH_WATCH_BINARY, "-c", m_directory.path + "/absent.json"},
              EX_CONFIG,
              "^std::exception::what\\(\\): Cannot read .*absent.json: No such file or "
              "directory\n$"},
             {with("{"), EX_CONFIG, "^std::exception::what\\(\\): Cannot parse json: "},
             {with("{}"), EX_CONFIG,
              invalid + urls +
                  "Can not find object <object>: health_watch, path: "
                  "health_watch.period_ms\n[\\s\\S]*"},
             {with(configuration(
                  "[]", R"(, "period_ms": 0, "redis": {"host": 1, "port": 65536, "db": -1})")),
              EX_CONFIG,
              invalid + urls +
                  "Field must be at least 1: health_watch.period_ms\n"
                  "Can not find field <string>: health_watch.redis.host\n"
                  "Field must be at most 65535: health_watch.redis.port\n"
                  "Field must be at least 0: health_watch.redis.db\n$"},
             {with(configuration(R"(["a", 2])")), EX_CONFIG, invalid + urls + "$"},
             {with(configuration(R"(["a"])", R"(, "broker_input": "nowhere")")), EX_CONFIG,
              "^std::exception::what\\(\\): Invalid argument\n$"},
         }) {
        child_process watch(arguments, {{}, {}, {}, m_directory.path + "/stderr"});
        EXPECT_EQ(watch.wait(kelm::test::patience), status) << ::testing::PrintToString(arguments);
        const auto text = read_file(m_directory.path + "/stderr");
        EXPECT_TRUE(std::regex_search(text, std::regex(error))) << text;
    }
}
