#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/exception.hpp>
#include <core/get_config_file_name.hpp>
#include <core/logger.hpp>
#include <core/source_location.hpp>
#include <core/timestamp.hpp>
#include <core/version.hpp>

#include <dlfcn.h>
#include <zmq.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <list>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace core = kelm::libs::core;
using strings = std::vector<std::string>;

// Fault injection for the debug socket: while set, sends fail with this errno.
static std::atomic<int> g_zmq_send_errno{0};

extern "C" int zmq_send(void* socket, const void* buffer, size_t size, int flags) {
    if (const int error = g_zmq_send_errno.load()) {
        errno = error;
        return -1;
    }
    using send_function = int (*)(void*, const void*, size_t, int);
    static const auto real = reinterpret_cast<send_function>(::dlsym(RTLD_NEXT, "zmq_send"));
    return real(socket, buffer, size, flags);
}

namespace {

std::string mask_time(const std::string& _text) {
    static const std::regex time("[0-9]{4}(-[0-9]{2}){2} [0-9]{2}(:[0-9]{2}){2}\\.[0-9]{3}");
    return std::regex_replace(_text, time, "<time>");
}

class Logger : public ::testing::Test {
protected:
    void SetUp() override { test_support::clear_syslog_lines(); }
    void TearDown() override { g_zmq_send_errno = 0; }

    // What reached the system log since the last call, as "<priority> <text>".
    strings logged() {
        strings lines;
        for (const auto& line : test_support::syslog_lines()) {
            lines.push_back(std::to_string(line.priority) + " " + line.text);
        }
        test_support::clear_syslog_lines();
        return lines;
    }

    // The next line from the debug socket.
    std::string received() {
        zmq::message_t message;
        return m_collector.recv(message) ? mask_time(message.to_string()) : "<none>";
    }

    std::string file = std::string(core::constants::source_directory) + "/src/x.cpp";
    core::logger m_logger{"module", "main"};
    zmq::context_t m_context;
    zmq::socket_t m_collector{m_context, zmq::socket_type::pull};
};

}  // namespace

// Debug mode lets debug lines in, adds the time and echoes to standard error, also when
// nothing goes to the socket. The time is UTC; the zone here is far from it, so that a
// conversion to local time shows. Only the length of the tree root counts when a file is
// shortened, not its text; a name relative to a build directory inside the tree loses its climb
// to the root.
TEST_F(Logger, LinesTakeTheirShapeFromLevelArgumentsPlaceFunctionExceptionAndDebugMode) {
    ASSERT_EQ(::setenv("TZ", "QRV-5:45", 1), 0);
    ::tzset();
    core::logger fresh("fresh", "main");
    EXPECT_EQ(logged(), strings{"6 Starting fresh"});
    fresh.set_writing_to_socket(false);
    fresh.set_debug(true);
    ::testing::internal::CaptureStderr();
    fresh.debug("shown %1%").date_time(core::timestamp(1709622249045)) % 1;
    fresh.info("early").date_time(core::timestamp(-1));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "fresh: 2024-03-05 07:04:09.045 shown 1\nfresh: 1969-12-31 23:59:59.999 early\n");
    EXPECT_EQ(logged(),
              (strings{"7 2024-03-05 07:04:09.045 shown 1", "6 1969-12-31 23:59:59.999 early"}));
    fresh.set_debug(false);
    fresh.debug("hidden again");
    fresh.info("plain");
    EXPECT_EQ(logged(), strings{"6 plain"});
    ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(KELM_SOURCE_LOCATION().short_file(), "/tests/core/diagnostics_tests.cpp");
    const core::source_location where(42, file, "void kelm::a::b::run(int)");
    m_logger.debug("hidden");
    m_logger.info("m %1% %2%") % std::string("s") % 7L;
    m_logger.warning("m").location(where);
    m_logger.error("m").function(where);
    m_logger.info("m").location(where).short_function(where);
    const std::string elsewhere =
        std::string(core::constants::source_directory.size(), 'x') + "/a.cpp";
    m_logger.info("n").location(core::source_location(3, elsewhere, "f"));
    m_logger.info("n").location(core::source_location(4, "/a", "f"));
    for (const char* relative : {"../../src/x.cpp", "../a/../b.cpp", "..", "./../c"}) {
        m_logger.info("n").location(core::source_location(5, relative, "f"));
    }
    for (const char* function :
         {"kelm::a::f(int)::<lambda()>", "int kelm::a::kelm::g(char)", "int main(int, char**)"}) {
        m_logger.info("n").short_function(core::source_location(7, file, function));
    }
    m_logger.log_error(make_error_code(boost::system::errc::address_in_use),
                       core::source_location(12, file, "f"));
    m_logger.info("needs %1% and %2%") % 1;
    EXPECT_THROW(m_logger.info("needs %1%") % 1 % 2, boost::io::too_many_args);
    EXPECT_TRUE(m_logger.execute([] {}));
    EXPECT_FALSE(m_logger.execute([] { throw std::runtime_error("broken"); }));
    const auto component = m_logger.component("core");
    try {
        throw core::exception("failed", core::source_location(9, file, "g"));
    } catch (...) {
        component->log_exception(core::source_location(77, file, "h"));
    }
    component->log_exception(
        core::check_failed_exception("c", core::source_location(5, file, "k")));
    component->log_exception(core::located_exception(core::source_location(6, file, "k")));
    component->log_exception();
    EXPECT_STREQ(core::exception("boom", where).what(), "/src/x.cpp:42 boom");
    EXPECT_EQ(logged(), (strings{"6 m s 7",
                                 "4 /src/x.cpp:42 m",
                                 "3 void kelm::a::b::run(int): m",
                                 "6 /src/x.cpp:42 kelm::a::b::run: m",
                                 "6 /a.cpp:3 n",
                                 "6 /a:4 n",
                                 "6 /src/x.cpp:5 n",
                                 "6 /a/../b.cpp:5 n",
                                 "6 ..:5 n",
                                 "6 ./../c:5 n",
                                 "6 kelm::a::f: n",
                                 "6 kelm::g: n",
                                 "6 int main(int, char**): n",
                                 "3 /src/x.cpp:12: Address already in use",
                                 "3 Log format \"needs %1% and %2%\": its arguments did not fit",
                                 "3 Log format \"needs %1%\": its arguments did not fit",
                                 "3 std::exception::what(): broken",
                                 "3 /src/x.cpp:77 Caught exeption",
                                 "3 /src/x.cpp:9 failed",
                                 "3 /src/x.cpp:5 check failed: c",
                                 "3 /src/x.cpp:6",
                                 "3 Unknown exception"}));
}

// A full queue or no collector drops the socket's copy quietly; other failures are logged.
TEST_F(Logger, SocketLinesCarryModuleComponentAndTimeAndFailuresLeaveTheSystemLogLine) {
    m_collector.set(zmq::sockopt::rcvtimeo, static_cast<int>(kelm::test::patience.count() * 1000));
    m_collector.bind("tcp://127.0.0.1:*");
    m_logger.connect(m_collector.get(zmq::sockopt::last_endpoint));
    EXPECT_EQ(received(), "&module:main <time> Connected to socket");
    const auto worker = m_logger.component("worker");
    worker->debug("not in syslog %1%") % 1;
    m_logger.set_writing_to_socket(false);
    m_logger.info("syslog only");
    m_logger.set_writing_to_socket(true);
    worker->component("b")->info("x");
    EXPECT_EQ(received(), "&module:worker <time> not in syslog 1");
    EXPECT_EQ(received(), "&module:b <time> x");
    g_zmq_send_errno = ENOTSOCK;
    m_logger.info("kept");
    g_zmq_send_errno = EAGAIN;
    m_logger.info("quiet");
    EXPECT_EQ(logged(), (strings{"6 syslog only", "6 x", "6 kept",
                                 "3 Cannot send a log line to the debug socket: " +
                                     std::string(zmq_strerror(ENOTSOCK)),
                                 "6 quiet"}));
}

// The rows run in order in one process: a call right after a usage error must start afresh.
TEST(CommandLine, TakesTheLastCOrExplainsTheUsage) {
    const std::string usage = "Usage: ./q -c config_file";
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"./q", "-c", "a.json", "-cb.json"}, "b.json"},
        {{"./q", "extra", "-c", "a.json", "more"}, "a.json"},
        {{"./q", "-c", ""}, "The configuration file is not defined! " + usage},
        {{"./q", "-c"}, usage},
        {{"./q", "-xy", "-c", "a.json"}, usage},
        {{"./q", "first", "-c", "after.json"}, "after.json"},
        {{}, "The configuration file is not defined! Usage:  -c config_file"},
    };
    // Every argument vector stays alive: getopt may keep pointers into an earlier one.
    std::list<std::vector<std::string>> kept;
    for (const auto& [arguments, expected] : rows) {
        std::vector<char*> argv;
        for (auto& argument : kept.emplace_back(arguments)) {
            argv.push_back(&argument[0]);
        }
        argv.push_back(nullptr);
        std::string answer;
        try {
            answer = core::get_config_file_name(static_cast<int>(arguments.size()), argv.data());
        } catch (const core::exception& e) {
            answer = e.get_string_error();
        }
        EXPECT_EQ(answer, expected) << ::testing::PrintToString(arguments);
    }
}
