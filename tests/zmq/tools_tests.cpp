#include "child_process.hpp"
#include "push_sub.hpp"
#include "temporary_directory.hpp"
#include "wait.hpp"

#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {

using test_support::read_file;

const std::string pub = QUORVANE_PUB;
const std::string sub = QUORVANE_SUB;
const std::string keygen = QUORVANE_KEYGEN;
// Published until every subscriber printed it, so that none misses what follows.
const std::string probe = "&m:probe";
const std::string log_prefix = "&tools-test:main ";

bool contains(const std::string& _text, const std::string& _part) {
    return _text.find(_part) != std::string::npos;
}

// A program whose standard input, output and error are files of a directory of its own;
// killed if it still runs when this goes, or when this process dies.
class child {
public:
    explicit child(std::vector<std::string> _command, const std::string& _input = {})
        : m_process(std::move(_command), {{},
                                          m_directory.write_file("0", _input),
                                          m_directory.path + "/1",
                                          m_directory.path + "/2"}) {}

    void kill(int _signal) const { m_process.send_signal(_signal); }

    // The exit status, 128 + n after a death by signal n, or -1 when the time ran out.
    int wait() { return m_process.wait(kelm::test::patience); }

    // Standard output, or what the descriptor given holds.
    std::string output(int _stream = 1) const {
        return read_file(m_directory.path + "/" + std::to_string(_stream));
    }

private:
    const test_support::temporary_directory m_directory;
    kelm::test::child_process m_process;
};

// The output without the probes and the log lines.
std::string without_probes(const std::string& _output) {
    const std::regex probes("\n(" + probe + "|m-probe\\d|" + log_prefix + "[^\n]*)(?=\n)");
    return std::regex_replace("\n" + _output, probes, "").substr(1);
}

}  // namespace

// Frames and log lines reach the subscribers of a running broker. A subscriber of two brokers
// prints what each publishes; a publisher of both, one of them down, sends everything through
// the other and queues nothing for the one that is down.
TEST(Tools, PublishedFramesAndLogLinesReachTheSubscribersOfEveryBrokerThatIsUp) {
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::vector<std::unique_ptr<child>> brokers;
    for (int i = 0; i < 2; ++i) {
        inputs.push_back(kelm::test::free_endpoint());
        outputs.push_back(kelm::test::free_endpoint());
        brokers.push_back(
            std::make_unique<child>(std::vector<std::string>{QUORVANE_BINARY, "-c", "/dev/stdin"},
                                    R"({"system": {"input_address": ")" + inputs[i] +
                                        R"(", "output_address": ")" + outputs[i] + R"("}})"));
    }
    child all({sub, "-a", outputs[1]});
    child chosen({sub, "--address", outputs[1], "-t", "&m:", "--json", "pos", "-t", log_prefix});
    child both({sub, "-a", outputs[0], "--address", outputs[1], "-t", "m"});
    kelm::libs::core::logger logger("tools-test", "main");
    logger.connect(inputs[1]);
    for (int i = 0; i < 2; ++i) {
        const std::string mark = "m-probe" + std::to_string(i);
        ASSERT_TRUE(kelm::test::eventually(
            [&] {
                logger.info("%1%") % probe;
                return child({pub, "-a", inputs[i], probe, mark}).wait() == 0 &&
                       contains(both.output(), mark) && contains(all.output(), probe) &&
                       contains(chosen.output(), log_prefix);
            },
            std::chrono::seconds(15)));
    }

    EXPECT_EQ(child({pub, "-a", inputs[1], "one", "#pos x {\"a\":1}", "&m:c line"}).wait(), 0);
    ASSERT_TRUE(kelm::test::eventually([&] { return contains(all.output(), "c line"); }));
    EXPECT_EQ(child({pub, "-a", inputs[1]}, "l1\n#position{2}\n\nlast").wait(), 0);
    // Each subscriber reads on sockets of its own, so one has printed a frame before another.
    ASSERT_TRUE(kelm::test::eventually(
        [&] { return contains(all.output(), "last") && contains(chosen.output(), "{2}"); }));
    brokers[0]->kill(SIGTERM);
    EXPECT_EQ(brokers[0]->wait(), 0);
    std::vector<std::string> messages{pub, "-a", inputs[0], "-a", inputs[1]};
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        messages.push_back("m" + std::to_string(i));
        expected += messages.back() + "\n";
    }
    child publisher(messages);
    EXPECT_TRUE(kelm::test::eventually([&] { return contains(both.output(), "m19\n"); }));
    EXPECT_EQ(publisher.wait(), 0);
    all.kill(SIGINT);
    chosen.kill(SIGTERM);
    both.kill(SIGINT);
    brokers[1]->kill(SIGTERM);
    EXPECT_EQ((std::vector<int>{all.wait(), chosen.wait(), both.wait(), brokers[1]->wait()}),
              std::vector<int>(4, 0));
    EXPECT_EQ(without_probes(all.output()),
              "one\n#pos x {\"a\":1}\n&m:c line\nl1\n#position{2}\n\nlast\n" + expected);
    EXPECT_EQ(without_probes(chosen.output()), "{\"a\":1}\n&m:c line\n{2}\n");
    EXPECT_EQ(without_probes(both.output()), expected);
}

TEST(Tools, CommandLineMistakesAndRefusedEndpointsGiveOneLineAndTheirStatus) {
    using row = std::tuple<std::vector<std::string>, int, std::string>;
    const std::string together = "--server-key and --key go together (see --help)";
    for (const auto& [command, status, error] : std::vector<row>{
             {{pub, "-a", "x", "-x"}, 64, "unknown option -x (see --help)"},
             {{sub}, 64, "no endpoint: give -a ENDPOINT (see --help)"},
             {{sub, "-a", "x", "stray"}, 64, "unexpected argument stray (see --help)"},
             {{pub, "-a", "tcp://x"}, 64, "malformed endpoint tcp://x: Invalid argument"},
             {{sub, "-a", "127.0.0.1:1"}, 64, "malformed endpoint 127.0.0.1:1: Invalid argument"},
             {{pub, "-a", "a://b", "x"}, 1, "cannot connect to a://b: Protocol not supported"},
             {{sub, "-a", "a://b"}, 1, "cannot connect to a://b: Protocol not supported"},
             {{pub, "-a", "x", "--key", "k"}, 64, together},
             {{sub, "-a", "x", "--server-key", "k"}, 64, together},
             {{sub, "-a", "x", "--server-key", "/absent.pub", "--key", "/absent.secret"},
              1,
              "Cannot read key file /absent.secret: No such file or directory"},
             {{keygen}, 64, "give one NAME (see --help)"},
             {{keygen, "a", "b"}, 64, "give one NAME (see --help)"},
             {{keygen, "-x"}, 64, "unknown option -x (see --help)"},
             {{keygen, "--help"}, 0, ""},
             {{pub, "--help"}, 0, ""},
             {{sub, "-h"}, 0, ""}}) {
        SCOPED_TRACE(::testing::PrintToString(command));
        child tool(command);
        EXPECT_EQ(tool.wait(), status);
        const std::string program = command[0].substr(command[0].rfind('/') + 1);
        EXPECT_EQ(tool.output(2), error.empty() ? "" : program + ": " + error + "\n");
        EXPECT_EQ(contains(tool.output(), "Usage: "), status == 0);
    }
}

// quorvane-keygen's pairs set up a broker with CURVE; the tools and the logger with keys it
// accepts get through, a tool whose key it refuses says so and ends with status 1.
TEST(Tools, KeysFromKeygenSecureABrokerAndItsPeers) {
    const test_support::temporary_directory directory;
    const std::string& keys = directory.path;
    std::map<std::string, std::string> public_keys;
    for (const std::string name : {"broker", "producer", "subscriber", "stranger"}) {
        child made({keygen, keys + "/" + name});
        ASSERT_EQ(made.wait(), 0);
        public_keys[name] = made.output().substr(0, 40);
        EXPECT_EQ(made.output(), public_keys[name] + "\n");
        EXPECT_TRUE(
            contains(read_file(keys + "/" + name + ".pub"), "\n" + public_keys[name] + "\n"));
        for (const auto& [suffix, mode] : {std::make_pair(".secret", 0600), {".pub", 0644}}) {
            struct stat status {};
            ASSERT_EQ(::stat((keys + "/" + name + suffix).c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 0777, static_cast<unsigned>(mode)) << name << suffix;
        }
    }
    const std::string secret = read_file(keys + "/broker.secret");
    child again({keygen, keys + "/broker"});
    EXPECT_EQ(again.wait(), 1);
    EXPECT_EQ(again.output(2),
              "quorvane-keygen: " + keys + "/broker.secret exists already: nothing written\n");
    EXPECT_EQ(read_file(keys + "/broker.secret"), secret);

    for (const auto& [folder, name] : {std::make_pair("/producers.d", "producer"),
                                       std::make_pair("/subscribers.d", "subscriber")}) {
        std::filesystem::create_directory(keys + folder);
        std::filesystem::copy_file(keys + "/" + name + ".pub", keys + folder + "/" + name + ".pub");
    }
    const std::string input = kelm::test::free_endpoint();
    const std::string output = kelm::test::free_endpoint();
    child broker({QUORVANE_BINARY, "-c", "/dev/stdin"},
                 R"({"system": {"input_address": ")" + input + R"(", "output_address": ")" +
                     output + R"(", "curve": {"secret_key_file": ")" + keys +
                     R"(/broker.secret", "producers": ")" + keys +
                     R"(/producers.d", "subscribers": ")" + keys + R"(/subscribers.d"}}})");
    const auto with_keys = [&](std::vector<std::string> _command, const std::string& _name) {
        _command.insert(_command.begin() + 3, {"--server-key", keys + "/broker.pub", "--key",
                                               keys + "/" + _name + ".secret"});
        return _command;
    };
    child reader(with_keys({sub, "-a", output, "-t", "&m:", "-t", log_prefix}, "subscriber"));
    kelm::libs::core::logger logger("tools-test", "main");
    // The key follows keygen's line of comment.
    const std::string producer_secret = read_file(keys + "/producer.secret");
    logger.set_curve_keys(public_keys["broker"], public_keys["producer"],
                          producer_secret.substr(producer_secret.find('\n') + 1, 40));
    logger.connect(input);
    ASSERT_TRUE(kelm::test::eventually(
        [&] {
            logger.info("%1%") % probe;
            return child(with_keys({pub, "-a", input, probe}, "producer")).wait() == 0 &&
                   contains(reader.output(), probe) && contains(reader.output(), log_prefix);
        },
        std::chrono::seconds(15)));
    EXPECT_EQ(child(with_keys({pub, "-a", input, "&m:secured"}, "producer")).wait(), 0);
    ASSERT_TRUE(kelm::test::eventually([&] { return contains(reader.output(), "&m:secured"); }));

    const std::string refused_key = " failed: the broker refused this key";
    const std::string pub_refused = "quorvane-pub: handshake with " + input + refused_key;
    const std::string sub_refused = "quorvane-sub: handshake with " + output + refused_key;
    for (const auto& [command, line] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {with_keys({pub, "-a", input, "&m:refused"}, "stranger"), pub_refused},
             {with_keys({pub, "-a", input, "&m:refused"}, "subscriber"), pub_refused},
             {with_keys({sub, "-a", output}, "stranger"), sub_refused},
             {with_keys({sub, "-a", output}, "producer"), sub_refused},
             // Which side ends the handshake first decides how a client without CURVE hears it.
             {{sub, "-a", output}, "quorvane-sub: handshake with " + output + " failed: "},
             {{pub, "-a", input, "--server-key", keys + "/stranger.pub", "--key",
               keys + "/producer.secret", "&m:refused"},
              "quorvane-pub: handshake with " + input +
                  " failed: the broker closed the connection in the handshake"}}) {
        SCOPED_TRACE(::testing::PrintToString(command));
        child refused(command);
        EXPECT_EQ(refused.wait(), 1);
        const std::string error = refused.output(2);
        EXPECT_EQ(error.rfind(line, 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), error.size() - 1) << error;
        EXPECT_EQ(contains(line, "refused this key"), contains(error, "(ZAP status 400)"));
        EXPECT_EQ(refused.output(), "");
    }
    reader.kill(SIGINT);
    broker.kill(SIGTERM);
    EXPECT_EQ((std::vector<int>{reader.wait(), broker.wait()}), std::vector<int>(2, 0));
    EXPECT_EQ(without_probes(reader.output()), "&m:secured\n");
}
