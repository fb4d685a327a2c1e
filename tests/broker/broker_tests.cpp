#include "broker_process.hpp"
#include "push_sub.hpp"

#include <core/logger.hpp>
#include <core/version.hpp>

#include <fnmatch.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <tuple>

using test_support::broker_process;
using test_support::read_file;
using test_support::syslog_line;

namespace {

// A client of the metrics listener; each send and read gives up after a second.
class http_client {
public:
    explicit http_client(int _port, int _receive_buffer = 0)
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const timeval second{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
        if (_receive_buffer > 0) {
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &_receive_buffer, sizeof _receive_buffer);
        }
        const sockaddr_in to{AF_INET, htons(std::uint16_t(_port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            throw std::runtime_error("cannot connect to the metrics port");
        }
    }
    ~http_client() { ::close(m_fd); }
    http_client(const http_client&) = delete;

    // Bytes sent, up to where the peer stopped taking them.
    std::size_t send(const std::string& _bytes) const {
        std::size_t sent = 0;
        for (ssize_t done = 0; sent < _bytes.size() && done >= 0;
             sent += std::max<ssize_t>(done, 0)) {
            done = ::send(m_fd, _bytes.data() + sent, _bytes.size() - sent, MSG_NOSIGNAL);
        }
        return sent;
    }
    // Everything until the server closes, or "timeout" when it keeps the connection open.
    std::string read_to_end() const {
        std::string text;
        char chunk[4096];
        ssize_t size = 0;
        while ((size = ::recv(m_fd, chunk, sizeof chunk, 0)) > 0) {
            text.append(chunk, size);
        }
        return size < 0 && errno == EAGAIN ? "timeout" : text;
    }
    // Whether the server has closed or reset the connection, without reading.
    bool closed() const {
        pollfd state{m_fd, POLLRDHUP, 0};
        return ::poll(&state, 1, 0) > 0;
    }

private:
    int m_fd;
};

struct key_pair {
    std::string public_key;
    std::string secret_key;
};

key_pair make_keys() {
    char public_key[41];
    char secret_key[41];
    EXPECT_EQ(zmq_curve_keypair(public_key, secret_key), 0);
    return {public_key, secret_key};
}

class Broker : public ::testing::Test {
protected:
    // Starts the broker on wildcard loopback ports, with more members of "system" given as
    // `, "name": value...`, and waits until it names the endpoints bound.
    void launch(const std::vector<std::string>& _environment, const std::string& _members) {
        peers.reset();
        config_file = directory.write_file("broker.json", wildcard_config(_members));
        process.emplace(std::vector<std::string>{"-c", config_file}, _environment);
        const auto bound = await_bound(*process);
        ASSERT_EQ(bound.size(), 3u) << "no line names the endpoints bound";
        input = bound[0];
        output = bound[1];
        metrics_port = bound[2].empty() ? 0 : std::stoi(bound[2]);
    }

    // Launches the broker with a producer on its input and a consumer subscribed to _prefix on
    // its output, and waits until a probe goes all the way through.
    void start(const std::vector<std::string>& _environment = {}, const std::string& _prefix = "",
               const std::string& _members = "") {
        ASSERT_NO_FATAL_FAILURE(launch(_environment, _members));
        peers.emplace(input, output, _prefix);
        ASSERT_TRUE(peers->await_forwarding()) << "the broker never forwarded a probe";
    }

    static std::string wildcard_config(const std::string& _members = "") {
        return R"({"system": {"input_address": "tcp://127.0.0.1:*",
                              "output_address": "tcp://127.0.0.1:0")" +
               _members + "}}";
    }

    // The input, the output and the metrics port (or "") the broker names as bound, or
    // nothing when it does not in time.
    static std::vector<std::string> await_bound(const broker_process& _broker) {
        const std::string port = "(tcp://127\\.0\\.0\\.1:[1-9]\\d*)";
        const std::regex bound("Bound input " + port + " and output " + port +
                               "(?:, metrics http://127\\.0\\.0\\.1:([1-9]\\d*)/metrics)?");
        std::vector<std::string> found;
        kelm::test::eventually([&] {
            const auto lines = _broker.syslog();
            std::smatch match;
            if (lines.size() > 1 && std::regex_match(lines[1].text, match, bound)) {
                found.assign(match.begin() + 1, match.end());
            }
            return !found.empty();
        });
        return found;
    }

    // Stops the broker with the signal, sent again once "exit" is logged if _twice, and
    // checks that it ended in order: status 0, nothing on standard error, READY then
    // STOPPING notified, the system log from the starting line and the bound endpoints to
    // one exit line. Returns the system-log lines.
    std::vector<syslog_line> stop(int _signal, bool _twice = false) {
        const std::string exit_line = "/src/main.cpp:* exit";
        process->send_signal(_signal);
        if (_twice) {
            EXPECT_TRUE(kelm::test::eventually([&] { return lines_like(exit_line).size() == 1; }));
            process->send_signal(_signal);
        }
        EXPECT_EQ(process->wait(), 0);
        EXPECT_EQ(process->standard_error(), "");
        EXPECT_EQ(process->notifications(), "READY=1\nSTOPPING=1\n");
        const auto lines = process->syslog();
        EXPECT_EQ(
            lines.size() < 3 ? "" : lines[0].text + "\n" + lines[1].text,
            "Starting quorvane\nBound input " + input + " and output " + output +
                (metrics_port == 0
                     ? ""
                     : ", metrics http://127.0.0.1:" + std::to_string(metrics_port) + "/metrics"));
        EXPECT_TRUE(lines_like(exit_line).size() == 1 && !lines.empty() &&
                    ::fnmatch(exit_line.c_str(), lines.back().text.c_str(), 0) == 0)
            << (lines.empty() ? "" : lines.back().text);
        return lines;
    }

    // The texts of the system-log lines that match the pattern (fnmatch).
    std::vector<std::string> lines_like(const std::string& _pattern) const {
        std::vector<std::string> found;
        for (const auto& line : process->syslog()) {
            if (::fnmatch(_pattern.c_str(), line.text.c_str(), 0) == 0) {
                found.push_back(line.text);
            }
        }
        return found;
    }

    // The system-log lines that are the text given.
    std::size_t count_lines(const std::string& _text) const {
        const auto lines = process->syslog();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const syslog_line& _line) { return _line.text == _text; });
    }

    std::string receive(bool* _more = nullptr) { return peers->receive(_more).value_or("-"); }

    // The number _pattern picks out of the broker's /proc entry, or -1.
    long proc_number(const std::string& _entry, const std::string& _pattern) const {
        std::smatch number;
        const std::string content = read_file("/proc/" + std::to_string(process->pid()) + _entry);
        return std::regex_search(content, number, std::regex(_pattern)) ? std::stol(number[1]) : -1;
    }

    // The answer to one request that closes its connection.
    std::string ask(const std::string& _request_line, const std::string& _headers = "") const {
        const http_client client(metrics_port);
        client.send(_request_line + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + _headers +
                    "\r\n");
        return client.read_to_end();
    }

    // The samples of a scrape by name and labels, each checked to follow its HELP and TYPE.
    std::map<std::string, double> scrape() const {
        const std::string answer = ask("GET /metrics");
        const auto body = answer.find("\r\n\r\n");
        EXPECT_EQ(::fnmatch("HTTP/1.1 200 OK\r\n*Content-Type: text/plain; version=0.0.4\r\n*",
                            answer.substr(0, body).c_str(), 0),
                  0)
            << answer;
        std::map<std::string, double> samples;
        std::istringstream lines(body == std::string::npos ? "" : answer.substr(body + 4));
        std::string introduced;
        const std::regex help("# HELP (\\w+) .+"), type("# TYPE (\\w+) (counter|gauge)");
        const std::regex sample("(\\w+)(\\{[^}]*\\})? (\\S+)");
        std::smatch match;
        for (std::string line; std::getline(lines, line);) {
            if (std::regex_match(line, match, help)) {
                introduced = match[1];
            } else if (std::regex_match(line, match, type)) {
                EXPECT_EQ(match[1], introduced) << line;
            } else if (std::regex_match(line, match, sample)) {
                EXPECT_EQ(match[1], introduced) << line;
                samples[match[1].str() + match[2].str()] = std::stod(match[3]);
            } else {
                ADD_FAILURE() << "not in the text format: " << line;
            }
        }
        return samples;
    }

    // Subscribers that connect, complete the handshake, and leave, fifty at a time, while
    // nothing is published.
    void subscribers_come_and_go(int _count) {
        for (int done = 0; done < _count; done += 50) {
            std::vector<zmq::socket_t> subscribers;
            std::vector<zmq::socket_t> monitors;
            for (int i = 0; i < 50; ++i) {
                auto& sub = subscribers.emplace_back(peers->context, zmq::socket_type::sub);
                sub.set(zmq::sockopt::linger, 0);
                const std::string monitor = "inproc://monitor-" + std::to_string(done + i);
                ASSERT_EQ(0, zmq_socket_monitor(sub.handle(), monitor.c_str(),
                                                ZMQ_EVENT_HANDSHAKE_SUCCEEDED));
                monitors.emplace_back(peers->context, zmq::socket_type::pair).connect(monitor);
                monitors.back().set(zmq::sockopt::rcvtimeo, 5000);
                sub.connect(output);
            }
            for (auto& events : monitors) {
                zmq::message_t event;
                ASSERT_TRUE(events.recv(event));
            }
        }
    }

    const test_support::temporary_directory directory;
    std::string config_file;
    std::optional<broker_process> process;
    std::string input;
    std::string output;
    int metrics_port = 0;
    std::optional<kelm::test::push_sub> peers;
};

// A broker whose sockets require CURVE: its key, a producer's and a subscriber's in their
// folders, and a file there that is not a key.
class SecuredBroker : public Broker {
protected:
    SecuredBroker() {
        for (const std::string folder : {"/producers.d", "/subscribers.d"}) {
            std::filesystem::create_directory(directory.path + folder);
            directory.write_file(folder.substr(1) + "/README", "not a key\n");
        }
        const auto secret =
            directory.write_file("broker.secret", "# the broker\n\n  " + server.secret_key + " \n");
        ::chmod(secret.c_str(), 0600);
        add_key("producers.d/producer.pub", producer);
        add_key("subscribers.d/subscriber.pub", subscriber);
    }

    void add_key(const std::string& _name, const key_pair& _keys) const {
        directory.write_file(_name, _keys.public_key + "\n");
    }

    // Launches the broker with its metrics. The secret key file is a credential, named relative
    // to where systemd puts it.
    void start_secured() {
        const std::string& path = directory.path;
        launch({"CREDENTIALS_DIRECTORY=" + path},
               R"(, "curve": {"secret_key_file": "broker.secret", "producers": ")" + path +
                   R"(/producers.d", "subscribers": ")" + path +
                   R"(/subscribers.d"}, "metrics_address": "127.0.0.1:0")");
    }

    kelm::test::curve_client client(const key_pair& _keys) const {
        return {server.public_key, _keys.public_key, _keys.secret_key};
    }

    // Z85 keys hold fnmatch's special characters, so refusals are matched whole.
    static std::string refusal(const char* _socket, const key_pair& _key, const char* _role) {
        return std::string("Refused a peer of the ") + _socket + " from 127.0.0.1 with key " +
               _key.public_key + ": the key is not among the " + _role + "'";
    }

    const key_pair server = make_keys();
    const key_pair producer = make_keys();
    const key_pair subscriber = make_keys();
};

}  // namespace

// Every failed start logs the starting line, then one error line, which also ends standard
// error, cut to a sane length, and exits with a status that tells usage, configuration and
// other failures apart. It never tells systemd it is ready.
TEST_F(Broker, FailedStartsAreLoggedAndEndWithTheirStatus) {
    const std::string usage = " Usage: " QUORVANE_BINARY " -c config_file";
    const std::string missing = directory.path + "/absent.json";
    const std::string json = "std::exception::what(): Cannot parse json: ";
    const std::string invalid = "/src/config.cpp:* Config file is invalid: ";
    const std::string taken = kelm::test::free_endpoint();
    int files = 0;
    const auto file = [&](const std::string& _content) {
        return directory.write_file(std::to_string(++files) + ".json", _content);
    };
    // A configuration with the input on a port taken by then.
    const auto output = [&](const std::string& _output) {
        return file(R"({"system": {"input_address": ")" + taken + R"(", "output_address": )" +
                    _output + "}}");
    };
    // The arguments, the exit status and the error line, with * for any text (fnmatch).
    std::vector<std::tuple<std::vector<std::string>, int, std::string>> rows = {
        {{},
         EX_USAGE,
         "/libs/*/get_config_file_name.hpp:* The configuration file is not defined!" + usage},
        {{"-c", missing}, EX_CONFIG, json + "cannot open " + missing + ": No such file*"},
        {{"-c", output("7")}, EX_CONFIG, invalid + "Can not find field <string>: *"},
        // TCP, since a second ipc bind takes the path over instead of failing.
        {{"-c", output('"' + taken + '"')}, EXIT_FAILURE, "*Address already in use*"},
        {{"-c", file(std::string((1 << 20) + 1, ' '))}, EX_CONFIG, json + "*: larger than 1 MiB"},
        {{"-c", file(std::string(100000, '['))}, EX_CONFIG, json + "*"},
        {{"-c", output(R"("tcp://127.0.0.1:0", "metrics_address": "127.0.0.1:99999")")},
         EX_CONFIG,
         invalid + "Not an address to listen on: system.metrics_address: the port is *"},
        {{"-c", output(R"("tcp://127.0.0.1:0", "metrics_address": ")" + taken.substr(6) + "\"")},
         EXIT_FAILURE,
         "std::exception::what(): bind metrics " + taken.substr(6) + ": Address already in use*"},
        // A host that does not resolve fails the bind, quoting the whole endpoint.
        {{"-c", output("\"tcp://" + std::string(100000, 'h') + ":1\"")}, EXIT_FAILURE, "*hhhhh*"},
    };
    // CURVE keys that cannot be used: a secret others may read, keys of the wrong length or
    // alphabet, a folder that is not there. Each row names the secret key file and the
    // producers' folder in keys, and the error, which goes on with a path in keys.
    const std::string keys = directory.path + "/keys";
    std::filesystem::create_directories(keys + "/bad.d");
    std::filesystem::create_directories(keys + "/good.d");
    const std::string secret = make_keys().secret_key;
    for (const auto& [name, content, mode] : std::vector<std::tuple<std::string, std::string, int>>{
             {"shared.secret", secret, 0640},
             {"space.secret", secret.substr(0, 39) + " x", 0600},
             {"empty.secret", "\n# nothing\n", 0400},
             {"ok.secret", secret, 0600},
             {"foreign.secret", secret, 0600},
             {"bad.d/short.pub", "# a key cut short\n" + secret.substr(1) + "\n", 0644}}) {
        std::ofstream(keys + "/" + name) << content;
        ::chmod((keys + "/" + name).c_str(), mode);
    }
    const std::string malformed = "Malformed key file ", z85 = ": its key is not 40 Z85 characters";
    std::vector<std::array<std::string, 4>> unusable = {
        {"shared.secret", "good.d", "Secret key file ",
         "shared.secret is readable by group or others: make it mode 0600 or 0400"},
        {"space.secret", "good.d", malformed, "space.secret" + z85},
        {"empty.secret", "good.d", malformed, "empty.secret: no key in it"},
        {"absent.secret", "good.d", "Cannot read key file ", "absent.secret: No such file*"},
        {"ok.secret", "bad.d", malformed, "bad.d/short.pub" + z85},
        {"ok.secret", "absent.d", "Cannot read key folder ", "absent.d: No such file*"}};
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((keys + "/foreign.secret").c_str(), 65534, 65534), 0);
        unusable.push_back({"foreign.secret", "good.d", "Secret key file ",
                            "foreign.secret belongs to uid 65534, not to uid 0 that reads it"});
    }
    for (const auto& [secret_file, producers, error, path] : unusable) {
        rows.emplace_back(
            std::vector<std::string>{
                "-c", output(R"("tcp://127.0.0.1:0", "curve": {"secret_key_file": ")" + keys + "/" +
                             secret_file + R"(", "producers": ")" + keys + "/" + producers +
                             R"(", "subscribers": ")" + keys + R"(/good.d"})")},
            EX_CONFIG, "/src/curve_keys.cpp:* " + error + keys + "/" + path);
    }
    // Not read at all: they would block the start, or be read without end.
    const std::string fifo = directory.path + "/fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& odd : {fifo, std::string("/dev/zero"), directory.path}) {
        rows.emplace_back(std::vector<std::string>{"-c", odd}, EX_CONFIG,
                          json + odd + ": not a regular file");
    }
    for (const auto& [arguments, status, line] : rows) {
        SCOPED_TRACE(line.substr(0, 200));
        // Absolute key files are read where they are, whatever the credentials directory.
        broker_process broker(arguments, {"CREDENTIALS_DIRECTORY=/nonexistent"});
        EXPECT_EQ(broker.wait(), status);
        const auto lines = broker.syslog();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(std::make_pair(lines[0].priority, lines[1].priority),
                  std::make_pair(LOG_INFO, LOG_ERR));
        EXPECT_EQ(lines[0].text, "Starting quorvane");
        EXPECT_EQ(::fnmatch(line.c_str(), lines[1].text.c_str(), 0), 0) << lines[1].text;
        const std::string error = broker.standard_error();
        EXPECT_NE(error.find(lines[1].text.substr(0, 1000)), std::string::npos) << error;
        EXPECT_LT(error.size(), 2000u);
        EXPECT_EQ(broker.notifications(), "");
    }
}

// Both units pass systemd's own check, run with the binary built here; an instance of the
// template differs from the single unit only in its configuration and runtime directory.
TEST_F(Broker, InstallKeepsAnEditedConfigurationAndTheUnitsWaitForReadiness) {
    const std::string install = "DESTDIR=" + directory.path +
                                " cmake --install " QUORVANE_BUILD_DIR
                                " --component broker >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0);
    const std::string config = directory.path + QUORVANE_CONFIG_FILE;
    ASSERT_NE(read_file(config).find("input_address"), std::string::npos);
    std::ofstream(config) << "{\"edited\": true}";
    ASSERT_EQ(std::system(install.c_str()), 0);
    EXPECT_EQ(read_file(config), "{\"edited\": true}");
    const std::string unit_directory = QUORVANE_UNIT_DIRECTORY;
    const std::string single = read_file(directory.path + unit_directory + "/quorvane.service");
    std::string instances = read_file(directory.path + unit_directory + "/quorvane@.service");
    EXPECT_EQ(::fnmatch("*\nType=notify\n*\nLimitNOFILE=65536\n*", single.c_str(), 0), 0) << single;
    const std::string shipped_config = QUORVANE_CONFIG_FILE;
    const std::string config_directory = shipped_config.substr(0, shipped_config.rfind('/'));
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"ExecStart=(\\S+) -c " + config_directory + "/%i\\.json\n",
              "ExecStart=$1 -c " + shipped_config + "\n"},
             {"RuntimeDirectory=quorvane/%i\n", "RuntimeDirectory=quorvane\n"},
             {"Description=(.*) %i\n", "Description=$1\n"},
             {"#.*\n", ""}}) {
        const auto before = instances;
        instances = std::regex_replace(instances, std::regex(from), to);
        EXPECT_NE(instances, before) << from;
    }
    EXPECT_EQ(instances, std::regex_replace(single, std::regex("#.*\n"), ""));
    const std::string units = directory.path + "/units/";
    std::filesystem::create_directory(units);
    for (const std::string unit : {"quorvane.service", "quorvane@.service"}) {
        std::ofstream(units + unit)
            << std::regex_replace(read_file(directory.path + unit_directory + "/" + unit),
                                  std::regex("ExecStart=\\S+"), "ExecStart=" QUORVANE_BINARY);
    }
    const std::string verify = "systemd-analyze verify " + units + "quorvane.service " + units +
                               "quorvane@edge.service >" + units + "verify 2>&1";
    EXPECT_EQ(std::system(verify.c_str()), 0);
    EXPECT_EQ(read_file(units + "verify"), "");
}

// Frames from one sender, each sent as part of one long message, come out in order, each a
// message of its own, whatever another sender does meanwhile. A failed send loses only its own
// frame, a failed receive nothing; without CURVE, SIGHUP has nothing to read again. Subscribers
// pick log lines by prefix.
TEST_F(Broker, PublishesEachFrameAloneInOrderAndGoesOnAfterFailuresAndHangups) {
    start({"QUORVANE_FAIL_SEND=poison", "QUORVANE_FAIL_RECEIVE_AFTER=before"});
    kelm::test::push_sub second(input, output, "&producer:net ");
    // Below the broker's high-water mark, which would otherwise drop frames on the way.
    constexpr int count = 400;
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(peers->send("a" + std::to_string(i),
                                i + 1 < count ? zmq::send_flags::sndmore : zmq::send_flags::none));
        ASSERT_TRUE(second.send("b" + std::to_string(i)));
    }
    int next[2] = {0, 0};
    while (next[0] + next[1] < 2 * count) {
        bool more = true;
        const std::string text = receive(&more);
        ASSERT_FALSE(more) << text;
        ASSERT_EQ(text.substr(1), std::to_string(next[text[0] == 'b']++)) << text;
    }
    ASSERT_TRUE(peers->send("poison") && peers->send("before") && peers->send("after"));
    EXPECT_EQ(receive(), "before");
    EXPECT_EQ(receive(), "after");
    process->send_signal(SIGHUP);
    EXPECT_TRUE(kelm::test::eventually(
        [&] { return count_lines("SIGHUP: no keys to read again without system.curve") == 1; }));
    ASSERT_TRUE(second.await_forwarding());
    kelm::libs::core::logger producer("producer", "main");
    producer.connect(input);
    producer.info("not for this subscriber");
    producer.component("net")->warning("link %1% down") % 3;
    const std::string line = second.receive().value_or("-");
    EXPECT_EQ(::fnmatch("&producer:net * link 3 down", line.c_str(), 0), 0) << line;
    const auto lines = stop(SIGTERM);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2].priority + lines[3].priority, 2 * LOG_ERR);
    EXPECT_NE(lines[2].text.find("Operation not supported"), std::string::npos) << lines[2].text;
    EXPECT_EQ(::fnmatch("/src/main.cpp:*: Bad address", lines[3].text.c_str(), 0), 0)
        << lines[3].text;
}

// ZeroMQ drops the producer of a frame over the limit, and the subscriber of a subscription
// over its limit, which would cost a node per byte in the broker, walked at every
// disconnect. What is at the limit still passes, and others come and go.
TEST_F(Broker, OversizedFramesAndSubscriptionsAreRefusedAndForwardingGoesOn) {
    start({}, "g", R"(, "max_message_size": 1024, "max_subscription_size": 64)");
    const std::string long_prefix(1000, 'g');
    kelm::test::push_sub greedy(input, output, long_prefix);
    {
        zmq::socket_t oversized(peers->context, zmq::socket_type::push);
        oversized.connect(input);
        ASSERT_TRUE(oversized.send(zmq::buffer(long_prefix + std::string(25, 'x'))));
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(kelm::test::push_sub(input, output, std::to_string(i)).await_forwarding());
    }
    const std::string at_limit = long_prefix + std::string(24, 'y');
    ASSERT_TRUE(peers->send(at_limit) && peers->send("g-done"));
    EXPECT_EQ(receive(), at_limit);
    EXPECT_EQ(receive(), "g-done");
    EXPECT_FALSE(peers->receive(nullptr, std::chrono::milliseconds(300)));
    EXPECT_FALSE(greedy.receive(nullptr, std::chrono::milliseconds(300)));
}

TEST_F(Broker, SubscribersComingAndGoingLeaveAnIdleBrokersMemoryAlone) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer holds freed memory back, so resident memory tells nothing";
#endif
    start();
    subscribers_come_and_go(200);
    const auto rss_kib = [&] { return proc_number("/status", "VmRSS:\\s*([0-9]+)"); };
    const long start_kib = rss_kib();
    ASSERT_GT(start_kib, 0);
    subscribers_come_and_go(2000);
    // Each one used to leave about 12 KiB behind; the allocator's own growth stays below this.
    long now_kib = -1;
    EXPECT_TRUE(kelm::test::eventually([&] { return (now_kib = rss_kib()) < start_kib + 8192; }));
    std::cout << "broker RSS " << start_kib << " KiB, after 2000 subscribers " << now_kib
              << " KiB\n";
}

// Frames queued for a subscriber that stopped reading get a bounded drain after either
// signal, and a second signal ends it at once.
TEST_F(Broker, StuckSubscriberDoesNotHoldUpShutdown) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        start();
        // A subscriber that stops reading after one frame, with small buffers: frames queue up.
        zmq::socket_t stuck(peers->context, zmq::socket_type::sub);
        stuck.set(zmq::sockopt::linger, 0);
        stuck.set(zmq::sockopt::rcvhwm, 1);
        stuck.set(zmq::sockopt::rcvbuf, 4096);
        stuck.set(zmq::sockopt::rcvtimeo, 100);
        stuck.set(zmq::sockopt::subscribe, "");
        stuck.connect(output);
        zmq::message_t first;
        ASSERT_TRUE(
            kelm::test::eventually([&] { return peers->send("probe") && stuck.recv(first); }));
        for (int i = 0; i < 2000; ++i) {
            ASSERT_TRUE(peers->send(std::string(64 * 1024, 'x')));
        }
        // Once the healthy consumer hears nothing for a while, the broker has handled every
        // frame.
        while (peers->receive(nullptr, std::chrono::seconds(1))) {
        }
        EXPECT_EQ(stop(signal, signal == SIGTERM).size(), 3u);
    }
}

// The broker inherits a soft limit below the hard one and takes every descriptor. Peers that
// vanished without closing are reclaimed: the kernel probes every idle connection of both
// sockets. It makes no HTTP or Redis client, so it maps neither libcurl nor hiredis. Frames and
// bytes in and out, the peers connected now, a peer that left in the handshake and the
// process's own figures all come from a real scrape; the listener holds its limits.
TEST_F(Broker, ClosesItsConfigurationProbesIdlePeersAndCountsWithinTheListenersLimits) {
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    const rlimit lowered{std::min<rlim_t>(512, original.rlim_max), original.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    start({}, "", R"(, "metrics_address": "127.0.0.1:0")");
    ::setrlimit(RLIMIT_NOFILE, &original);
    int sockets = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(process->pid()) + "/fd")) {
        std::error_code gone;
        const std::string target = std::filesystem::read_symlink(entry, gone);
        sockets += target.rfind("socket:", 0) == 0;
        EXPECT_NE(target, config_file);
    }
    EXPECT_GT(sockets, 0);
    const std::string maps = read_file("/proc/" + std::to_string(process->pid()) + "/maps");
    EXPECT_NE(maps.find("libzmq"), std::string::npos);
    for (const auto* library : {"libcurl", "libhiredis"}) {
        EXPECT_EQ(maps.find(library), std::string::npos) << library;
    }
    for (const auto& endpoint : {input, output}) {
        const std::string command =
            "ss -tnoH state established '( sport = :" + endpoint.substr(endpoint.rfind(':') + 1) +
            " )' >" + directory.path + "/ss";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const std::string connections = read_file(directory.path + "/ss");
        EXPECT_NE(connections.find("timer:(keepalive"), std::string::npos) << connections;
    }
    auto before = scrape();
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(peers->send("frame-" + std::to_string(1000 + i)));
    }
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(receive(), "frame-" + std::to_string(1000 + i));
    }
    // Connects and leaves without a word.
    http_client(std::stoi(input.substr(input.rfind(':') + 1)));
    std::map<std::string, double> after;
    ASSERT_TRUE(kelm::test::eventually([&] {
        after = scrape();
        return after["quorvane_handshake_failures_total"] == 1 && after["quorvane_producers"] == 1;
    })) << after["quorvane_handshake_failures_total"]
        << " " << after["quorvane_producers"];
    for (const std::string counted :
         {"frames_received", "frames_published", "bytes_received", "bytes_published"}) {
        const std::string name = "quorvane_" + counted + "_total";
        EXPECT_EQ(after[name] - before[name], counted[0] == 'f' ? 100 : 1000) << name;
    }
    EXPECT_EQ(after["quorvane_subscribers"], 1);
    EXPECT_EQ(after["quorvane_receive_errors_total"] + after["quorvane_publish_errors_total"], 0);
    EXPECT_EQ(after["quorvane_build_info{version=\"" +
                    std::string(kelm::libs::core::constants::git_version) + "\"}"],
              1);
    const double rss_kib = proc_number("/status", "VmRSS:\\s*([0-9]+)");
    EXPECT_NEAR(after["process_resident_memory_bytes"] / 1024, rss_kib, rss_kib / 5);
    EXPECT_NEAR(after["process_virtual_memory_bytes"] / 1024,
                proc_number("/status", "VmSize:\\s*([0-9]+)"), rss_kib / 5);
    // User and system time, fields 14 and 15 of the stat line.
    const double cpu = proc_number("/stat", "\\) (?:\\S+ ){11}(\\d+)") +
                       proc_number("/stat", "\\) (?:\\S+ ){12}(\\d+)");
    EXPECT_NEAR(after["process_cpu_seconds_total"], cpu / ::sysconf(_SC_CLK_TCK), 0.05);
    EXPECT_GT(after["process_open_fds"], 3);
    EXPECT_EQ(after["process_max_fds"], double(original.rlim_max));
    // The kernel's boot time is a whole second, so the start time may lie up to one second
    // ahead of the clock.
    const double age = std::time(nullptr) - after["process_start_time_seconds"];
    EXPECT_TRUE(age > -1 && age < 30) << age;
    EXPECT_EQ(after.size(), 16u);
    // Only GET and HEAD of /metrics are served, nothing large is read, and idle or stuck
    // clients take no more than their share, while frames keep flowing.
    for (const auto& [request, headers, answer] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"HEAD /metrics", "",
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\n*"
              "Content-Length: [1-9]*\r\n\r\n"},
             {"GET /metrics/x", "", "HTTP/1.1 404 Not Found\r\n*"},
             {"POST /metrics", "", "HTTP/1.1 405 Method Not Allowed\r\n*Allow: GET, HEAD\r\n*"},
             {"GET /metrics", "X: " + std::string(8192, 'x') + "\r\n", "HTTP/1.1 413 *"},
             {"GET", "", "HTTP/1.1 400 Bad Request\r\n*"}}) {
        const std::string got = ask(request, headers);
        EXPECT_EQ(::fnmatch(answer.c_str(), got.c_str(), 0), 0) << request << "\n" << got;
    }
    // A request of 1 MiB is cut short.
    const http_client huge(metrics_port);
    huge.send("POST /metrics HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" +
              std::string(1 << 20, 'x'));
    EXPECT_NE(huge.read_to_end(), "timeout");
    // One client that asks without end and never reads, and a hundred that say nothing.
    const http_client deaf(metrics_port, 4096);
    std::string requests;
    for (int i = 0; i < 2000; ++i) {
        requests += "GET /metrics HTTP/1.1\r\n\r\n";
    }
    int sent = 0;
    while (sent < 1000 && deaf.send(requests) == requests.size()) {
        ++sent;
    }
    EXPECT_LT(sent, 1000) << "the server read on although nothing read its answers";
    std::vector<std::unique_ptr<http_client>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<http_client>(metrics_port));
    }
    const auto closed = [&] {
        return std::count_if(idle.begin(), idle.end(), [](const auto& _c) { return _c->closed(); });
    };
    // The stuck client holds one of the 16 places.
    EXPECT_TRUE(kelm::test::eventually([&] { return closed() >= 85; }, std::chrono::seconds(1)));
    EXPECT_EQ(closed(), 85);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(peers->send(std::to_string(i)));
        ASSERT_EQ(receive(), std::to_string(i));
    }
    EXPECT_TRUE(kelm::test::eventually([&] { return closed() == 100 && deaf.closed(); },
                                       std::chrono::seconds(8)));
    EXPECT_EQ(scrape()["quorvane_frames_published_total"] > 1100, true);
    stop(SIGTERM);
}

// Three brokers side by side, producers and a logger on every input, subscribers on every
// output: each frame reaches each subscriber exactly once, and when one broker dies the
// producers go on at once through the others.
TEST_F(Broker, SeveralBrokersDeliverEachFrameOnceAndOutliveOneOfThem) {
    std::vector<std::unique_ptr<broker_process>> brokers;
    std::vector<std::vector<std::string>> bound;
    for (int i = 0; i < 3; ++i) {
        brokers.push_back(std::make_unique<broker_process>(std::vector<std::string>{
            "-c", directory.write_file(std::to_string(i) + ".json", wildcard_config())}));
        bound.push_back(await_bound(*brokers.back()));
        ASSERT_EQ(bound.back().size(), 3u);
    }
    zmq::context_t context;
    std::vector<zmq::socket_t> producers;
    std::vector<zmq::socket_t> subscribers;
    kelm::libs::core::logger logger("several", "main");
    for (int i = 0; i < 2; ++i) {
        auto& push = producers.emplace_back(context, zmq::socket_type::push);
        push.set(zmq::sockopt::immediate, true);
        push.set(zmq::sockopt::linger, 0);
        push.set(zmq::sockopt::sndtimeo, 1000);
        auto& sub = subscribers.emplace_back(context, zmq::socket_type::sub);
        sub.set(zmq::sockopt::linger, 0);
        sub.set(zmq::sockopt::rcvhwm, 0);
        sub.set(zmq::sockopt::subscribe, "");
        for (const auto& endpoints : bound) {
            push.connect(endpoints[0]);
            sub.connect(endpoints[1]);
        }
    }
    for (const auto& endpoints : bound) {
        logger.connect(endpoints[0]);
    }
    // What each subscriber got, of the messages that contain the tag; true once every one got
    // _expected of them, or false when a receive waited _limit in vain.
    std::vector<std::map<std::string, int>> got(subscribers.size());
    const auto collect = [&](const std::string& _tag, std::size_t _expected,
                             std::chrono::milliseconds _limit) {
        for (std::size_t i = 0; i < subscribers.size(); ++i) {
            subscribers[i].set(zmq::sockopt::rcvtimeo, static_cast<int>(_limit.count()));
            zmq::message_t message;
            while (got[i].size() < _expected && subscribers[i].recv(message)) {
                const std::string text = message.to_string();
                if (text.find(_tag) != std::string::npos) {
                    ++got[i][text];
                }
            }
            if (got[i].size() < _expected) {
                return false;
            }
        }
        return true;
    };
    // Frames through every producer and lines through the logger; false if a send blocked.
    const auto send = [&](const std::string& _tag, int _count) {
        for (int i = 0; i < _count; ++i) {
            for (std::size_t p = 0; p < producers.size(); ++p) {
                const std::string text = _tag + "-" + std::to_string(p) + "-" + std::to_string(i);
                if (!producers[p].send(zmq::buffer(text))) {
                    return false;
                }
            }
            logger.info("%1%-log-%2%") % _tag % i;
        }
        return true;
    };
    // Until one round gets through whole: every subscriber hears every broker, and after a
    // broker's death, none of the senders still hands frames to it.
    int round = 0;
    const auto settle = [&] {
        return kelm::test::eventually([&] {
            const std::string tag = "settle" + std::to_string(++round) + "-";
            got.assign(subscribers.size(), {});
            return send(tag, 10) && collect(tag, 30, std::chrono::milliseconds(300));
        });
    };
    const auto exactly_once = [&](const std::string& _tag) {
        got.assign(subscribers.size(), {});
        EXPECT_TRUE(send(_tag, 300));
        EXPECT_TRUE(collect(_tag, 900, kelm::test::patience));
        collect(_tag, 901, std::chrono::milliseconds(300));
        for (const auto& counts : got) {
            EXPECT_EQ(counts.size(), 900u);
            EXPECT_TRUE(std::all_of(counts.begin(), counts.end(),
                                    [](const auto& _count) { return _count.second == 1; }));
        }
    };
    ASSERT_TRUE(settle());
    exactly_once("before");
    brokers.front()->send_signal(SIGKILL);
    EXPECT_EQ(brokers.front()->wait(), 128 + SIGKILL);
    ASSERT_TRUE(settle());
    exactly_once("after");
}

// Only the keys of each role get through, encrypted; unknown keys, plain peers and keys of the
// other role are refused, logged once per key and address however often they retry, and
// counted as failed handshakes. SIGHUP reads both folders again: a key added opens the next
// connection, a key removed refuses the next one while the peer connected with it stays, and a
// folder that cannot be read keeps the keys read before.
TEST_F(SecuredBroker, LetsOnlyTheKeysOfEachRoleThroughAndReadsThemAgainOnHangup) {
    start_secured();
    EXPECT_EQ(lines_like("CURVE keys: *"),
              std::vector<std::string>{"CURVE keys: 1 producers in " + directory.path +
                                       "/producers.d, 1 subscribers in " + directory.path +
                                       "/subscribers.d"});
    peers.emplace(input, output, "", client(producer), client(subscriber));
    ASSERT_TRUE(peers->await_forwarding());
    const auto stranger_keys = make_keys();
    const auto stranger = client(stranger_keys);
    std::vector<std::unique_ptr<kelm::test::push_sub>> refused;
    for (const auto& [push_keys, sub_keys] :
         std::vector<std::pair<std::optional<kelm::test::curve_client>,
                               std::optional<kelm::test::curve_client>>>{
             {stranger, stranger},
             {std::nullopt, std::nullopt},
             {client(subscriber), client(producer)}}) {
        refused.push_back(
            std::make_unique<kelm::test::push_sub>(input, output, "", push_keys, sub_keys));
        ASSERT_TRUE(refused.back()->send("refused"));
    }
    const std::string refusals = "Refused a peer of the * from 127.0.0.1 with key *";
    double failures = 0;
    ASSERT_TRUE(kelm::test::eventually([&] {
        failures = scrape()["quorvane_handshake_failures_total"];
        return failures >= 6 && lines_like(refusals).size() == 4;
    })) << failures;
    // The same key from the same address again is refused without a line.
    refused.push_back(
        std::make_unique<kelm::test::push_sub>(input, output, "", stranger, stranger));
    ASSERT_TRUE(kelm::test::eventually(
        [&] { return scrape()["quorvane_handshake_failures_total"] >= failures + 2; }));
    EXPECT_EQ(lines_like(refusals).size(), 4u);
    // Which line names which key is the ZAP handler's own test; one shows the key from libzmq.
    EXPECT_EQ(count_lines(refusal("input", stranger_keys, "producers")), 1u);
    ASSERT_TRUE(peers->send("last"));
    EXPECT_EQ(receive(), "last");
    for (const auto& peer : refused) {
        EXPECT_EQ(peer->receive(nullptr, std::chrono::milliseconds(100)), std::nullopt);
    }
    refused.clear();
    EXPECT_TRUE(kelm::test::eventually([&] {
        auto metrics = scrape();
        return metrics["quorvane_producers"] == 1 && metrics["quorvane_subscribers"] == 1;
    }));
    add_key("producers.d/stranger.pub", stranger_keys);
    std::filesystem::remove(directory.path + "/subscribers.d/subscriber.pub");
    process->send_signal(SIGHUP);
    const std::string counts = "CURVE keys: 2 producers in " + directory.path +
                               "/producers.d, 0 subscribers in " + directory.path +
                               "/subscribers.d";
    ASSERT_TRUE(kelm::test::eventually([&] { return lines_like(counts).size() == 1; }));
    kelm::test::push_sub added(input, output, "", stranger, client(subscriber));
    ASSERT_TRUE(added.send("added"));
    EXPECT_EQ(receive(), "added");
    EXPECT_TRUE(kelm::test::eventually(
        [&] { return count_lines(refusal("output", subscriber, "subscribers")) == 1; }));
    EXPECT_EQ(added.receive(nullptr, std::chrono::milliseconds(100)), std::nullopt);

    std::filesystem::rename(directory.path + "/producers.d", directory.path + "/moved.d");
    process->send_signal(SIGHUP);
    ASSERT_TRUE(kelm::test::eventually([&] { return lines_like(counts).size() == 2; }));
    EXPECT_EQ(lines_like("Keeping the 2 keys of producers read before: *"),
              std::vector<std::string>{"Keeping the 2 keys of producers read before: Cannot read "
                                       "key folder " +
                                       directory.path + "/producers.d: No such file or directory"});
    kelm::test::push_sub kept(input, output, "", stranger, client(subscriber));
    ASSERT_TRUE(kept.send("kept"));
    EXPECT_EQ(receive(), "kept");
    stop(SIGTERM);
}

// Without CURVE, a socket bound beyond loopback is warned about at start; loopback and ipc://
// are not.
TEST_F(Broker, WarnsOfSocketsOthersCanReachWithoutCurve) {
    process.emplace(std::vector<std::string>{
        "-c",
        directory.write_file("broker.json", R"({"system": {"input_address": "tcp://0.0.0.0:0", )"
                                            R"("output_address": "ipc://)" +
                                                directory.path + R"(/output"}})")});
    ASSERT_TRUE(kelm::test::eventually([&] { return process->syslog().size() >= 3; }));
    process->send_signal(SIGTERM);
    EXPECT_EQ(process->wait(), 0);
    const auto lines = process->syslog();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].priority, LOG_WARNING);
    EXPECT_EQ(::fnmatch("The input tcp://0.0.0.0:* is not on loopback and system.curve is not set: "
                        "anyone who reaches that port can publish",
                        lines[2].text.c_str(), 0),
              0)
        << lines[2].text;
}
