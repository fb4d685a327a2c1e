#include "child_process.hpp"
#include "wait.hpp"

#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using test_support::child_process;

namespace {

const std::string pub = QUORVANE_PUB;
const std::string sub = QUORVANE_SUB;
// Published until every subscriber printed it, so that none misses what follows.
const std::string probe = "&m:probe";
const std::string log_prefix = "&tools-test:main ";

std::string free_endpoint() {
    boost::asio::io_context io_context;
    const boost::asio::ip::tcp::acceptor acceptor(io_context,
                                                  {boost::asio::ip::address_v4::loopback(), 0});
    return "tcp://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port());
}

bool contains(const std::string& _text, const std::string& _part) {
    return _text.find(_part) != std::string::npos;
}

std::string without_probes(const std::string& _output) {
    std::istringstream lines(_output);
    std::string result;
    for (std::string line; std::getline(lines, line);) {
        if (line != probe && line.rfind(log_prefix, 0) != 0) {
            result += line + "\n";
        }
    }
    return result;
}

class Tools : public ::testing::Test {
protected:
    Tools() {
        std::ofstream(m_config) << R"({"system": {"input_address": ")" << m_input
                                << R"(", "output_address": ")" << m_output << R"("}})";
    }
    ~Tools() override { std::remove(m_config.c_str()); }

    const std::string m_input = free_endpoint();
    const std::string m_output = free_endpoint();
    const std::string m_config = "/tmp/quorvane-tools-" + std::to_string(::getpid()) + ".json";
};

}  // namespace

TEST_F(Tools, PublishedFramesAndLogLinesReachTheSubscribersOfARunningBroker) {
    child_process broker({QUORVANE_BINARY, "-c", m_config});
    child_process all({sub, "-a", m_output});
    child_process chosen({sub, "--address", m_output, "-t", "&m:", "--json", "pos"});
    child_process log_lines({sub, "-a", m_output, "-t", log_prefix});
    kelm::libs::core::logger logger("tools-test", "main");
    logger.connect(m_input);
    ASSERT_TRUE(kelm::test::eventually(
        [&] {
            child_process probing({pub, "-a", m_input, probe});
            logger.info("%1%") % probe;
            return probing.wait() == 0 && contains(all.standard_output(), probe) &&
                   contains(chosen.standard_output(), probe) &&
                   contains(log_lines.standard_output(), probe);
        },
        std::chrono::seconds(15)));

    child_process arguments({pub, "-a", m_input, "one", "#pos x {\"a\":1}", "&m:c line"});
    EXPECT_EQ(arguments.wait(), 0);
    ASSERT_TRUE(kelm::test::eventually([&] { return contains(all.standard_output(), "c line"); }));
    child_process lines({pub, "-a", m_input}, "l1\n#position{2}\n\nlast");
    EXPECT_EQ(lines.wait(), 0);
    ASSERT_TRUE(kelm::test::eventually([&] { return contains(all.standard_output(), "last"); }));

    all.send_signal(SIGINT);
    chosen.send_signal(SIGTERM);
    log_lines.send_signal(SIGTERM);
    EXPECT_EQ(all.wait(), 0);
    EXPECT_EQ(chosen.wait(), 0);
    EXPECT_EQ(log_lines.wait(), 0);
    EXPECT_EQ(without_probes(all.standard_output()),
              "one\n#pos x {\"a\":1}\n&m:c line\nl1\n#position{2}\n\nlast\n");
    EXPECT_EQ(without_probes(chosen.standard_output()), "{\"a\":1}\n&m:c line\n{2}\n");
    // Each log line: the prefix, the time, the text.
    EXPECT_TRUE(contains(log_lines.standard_output(), " " + probe + "\n"));
    std::istringstream log_output(log_lines.standard_output());
    for (std::string line; std::getline(log_output, line);) {
        EXPECT_EQ(line.rfind(log_prefix, 0), 0u) << line;
    }
    broker.send_signal(SIGTERM);
    EXPECT_EQ(broker.wait(), 0);
}

TEST_F(Tools, CommandLineMistakesAndRefusedEndpointsGiveOneLineAndTheirStatus) {
    struct row {
        std::vector<std::string> command;
        int status;
        std::string standard_error;
    };
    const std::vector<row> rows{
        {{pub, "-a", m_input, "-x"}, 64, "quorvane-pub: unknown option -x (see --help)\n"},
        {{sub}, 64, "quorvane-sub: no endpoint: give -a ENDPOINT (see --help)\n"},
        {{sub, "-a", m_output, "stray"},
         64,
         "quorvane-sub: unexpected argument stray (see --help)\n"},
        {{pub, "-a", "tcp://localhost"},
         64,
         "quorvane-pub: malformed endpoint tcp://localhost: Invalid argument\n"},
        {{sub, "-a", "127.0.0.1:5571"},
         64,
         "quorvane-sub: malformed endpoint 127.0.0.1:5571: Invalid argument\n"},
        {{pub, "-a", "foo://bar", "x"},
         1,
         "quorvane-pub: cannot connect to foo://bar: Protocol not supported\n"},
        {{sub, "-a", "udp://127.0.0.1:5571"},
         1,
         "quorvane-sub: cannot connect to udp://127.0.0.1:5571: The protocol is not compatible "
         "with the socket type\n"},
        {{pub, "--help"}, 0, ""},
        {{sub, "-h"}, 0, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.command));
        child_process tool(r.command);
        EXPECT_EQ(tool.wait(), r.status);
        EXPECT_EQ(tool.standard_error(), r.standard_error);
        EXPECT_EQ(contains(tool.standard_output(), "Usage: "), r.status == 0);
    }
}
