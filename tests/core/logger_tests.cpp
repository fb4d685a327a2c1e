#include "syslog_capture.hpp"

#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/version.hpp>

#include <dlfcn.h>
#include <syslog.h>
#include <zmq.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string>

namespace core = kelm::libs::core;
using test_support::syslog_lines;

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

const char* const time_pattern =
    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} ";

class Logger : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::clear_syslog_lines();
        m_logger = std::make_unique<core::logger>("module", "main");
    }
    void TearDown() override { g_zmq_send_errno = 0; }

    // A collector bound on loopback, connected to the logger's debug socket.
    void connect_collector() {
        m_collector.set(zmq::sockopt::rcvtimeo, 5000);
        m_collector.bind("tcp://127.0.0.1:*");
        m_logger->connect(m_collector.get(zmq::sockopt::last_endpoint));
        // "Connected to socket" is the first line to arrive.
        EXPECT_EQ(strip_time(receive(), "&module:main "), "Connected to socket");
    }

    std::string receive() {
        zmq::message_t message;
        if (!m_collector.recv(message)) {
            return "<timeout>";
        }
        return message.to_string();
    }

    // Checks and removes the prefix and the time field of a socket line.
    static std::string strip_time(const std::string& _line, const std::string& _prefix) {
        EXPECT_EQ(_line.rfind(_prefix, 0), 0u) << _line;
        const std::string rest = _line.substr(std::min(_prefix.size(), _line.size()));
        EXPECT_TRUE(rest.size() >= 24 &&
                    ::testing::internal::RE::PartialMatch(rest.substr(0, 24),
                                                          ::testing::internal::RE(time_pattern)))
            << _line;
        return rest.size() >= 24 ? rest.substr(24) : rest;
    }

    std::string last_line() const {
        const auto lines = syslog_lines();
        return lines.empty() ? "<none>" : lines.back().text;
    }

    std::unique_ptr<core::logger> m_logger;
    zmq::context_t m_context;
    zmq::socket_t m_collector{m_context, zmq::socket_type::pull};
};

}  // namespace

TEST_F(Logger, StartsWithDebugOffSocketOnAndAStartingLine) {
    EXPECT_FALSE(m_logger->is_debug());
    EXPECT_TRUE(m_logger->is_writing_to_socket());
    EXPECT_TRUE(m_logger->is_logger_enabled());
    const auto lines = syslog_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, LOG_INFO);
    EXPECT_EQ(lines[0].text, "Starting module");
    const auto connection = test_support::current_syslog_connection();
    EXPECT_TRUE(connection.open);
    EXPECT_EQ(connection.ident, "module");
    EXPECT_EQ(connection.option, 0);
    EXPECT_EQ(connection.facility, LOG_USER);
    EXPECT_EQ(connection.mask, LOG_UPTO(LOG_INFO));
}

TEST_F(Logger, LevelsMapToSyslogPriorities) {
    test_support::clear_syslog_lines();
    m_logger->set_debug(true);
    ::testing::internal::CaptureStderr();
    m_logger->debug("d");
    m_logger->info("i");
    m_logger->warning("w");
    m_logger->error("e");
    ::testing::internal::GetCapturedStderr();
    const auto lines = syslog_lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].priority, LOG_DEBUG);
    EXPECT_EQ(lines[1].priority, LOG_INFO);
    EXPECT_EQ(lines[2].priority, LOG_WARNING);
    EXPECT_EQ(lines[3].priority, LOG_ERR);
}

TEST_F(Logger, BodyShapesFollowLocationAndFunctionFields) {
    const std::string file = std::string(core::constants::source_directory) + "/src/x.cpp";
    const core::source_location where(42, file, "void kelm::a::b::run(int)");
    m_logger->info("m %1% %2%") % std::string("s") % 7L;
    EXPECT_EQ(last_line(), "m s 7");
    m_logger->info("m").location(where);
    EXPECT_EQ(last_line(), "/src/x.cpp:42 m");
    m_logger->info("m").function(where);
    EXPECT_EQ(last_line(), "void kelm::a::b::run(int): m");
    m_logger->info("m").location(where).short_function(where);
    EXPECT_EQ(last_line(), "/src/x.cpp:42 kelm::a::b::run: m");
}

TEST_F(Logger, DebugModeAddsTimeEchoAndLetsDebugLinesThrough) {
    test_support::clear_syslog_lines();
    m_logger->debug("hidden");
    EXPECT_TRUE(syslog_lines().empty());

    m_logger->set_debug(true);
    EXPECT_TRUE(m_logger->is_debug());
    auto connection = test_support::current_syslog_connection();
    EXPECT_EQ(connection.option, LOG_PERROR);
    EXPECT_EQ(connection.mask, LOG_UPTO(LOG_DEBUG));
    ::testing::internal::CaptureStderr();
    m_logger->debug("shown %1%").date_time(core::timestamp(1709622249042)) % 1;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "module: 2024-03-05 07:04:09.042 shown 1\n");
    EXPECT_EQ(last_line(), "2024-03-05 07:04:09.042 shown 1");

    m_logger->set_debug(false);
    connection = test_support::current_syslog_connection();
    EXPECT_EQ(connection.option, 0);
    EXPECT_EQ(connection.mask, LOG_UPTO(LOG_INFO));
    test_support::clear_syslog_lines();
    m_logger->debug("hidden again");
    m_logger->info("plain");
    ASSERT_EQ(syslog_lines().size(), 1u);
    EXPECT_EQ(last_line(), "plain");
}

TEST_F(Logger, SocketLinesCarryPrefixTimeAndEveryLevel) {
    connect_collector();
    const auto component = m_logger->component("worker");
    component->debug("not in syslog %1%") % 1;
    EXPECT_EQ(strip_time(receive(), "&module:worker "), "not in syslog 1");
    m_logger->info("dated").date_time(core::timestamp(1709622249042));
    EXPECT_EQ(receive(), "&module:main 2024-03-05 07:04:09.042 dated");

    m_logger->set_writing_to_socket(false);
    EXPECT_FALSE(m_logger->is_writing_to_socket());
    m_logger->info("syslog only");
    m_logger->set_writing_to_socket(true);
    m_logger->info("both");
    EXPECT_EQ(strip_time(receive(), "&module:main "), "both");
    EXPECT_EQ(last_line(), "both");
}

TEST_F(Logger, ConnectToABadEndpointThrows) {
    EXPECT_THROW(m_logger->connect("nonsense"), zmq::error_t);
    // The mutex was released: the logger still works.
    m_logger->info("after");
    EXPECT_EQ(last_line(), "after");
}

TEST_F(Logger, FailedSocketSendIsReportedAndTheLineKept) {
    connect_collector();
    g_zmq_send_errno = ENOTSOCK;
    test_support::clear_syslog_lines();
    EXPECT_NO_THROW(m_logger->info("kept"));
    const auto lines = syslog_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "kept");
    EXPECT_EQ(lines[1].priority, LOG_ERR);
    EXPECT_EQ(lines[1].text,
              std::string("Cannot send a log line to the debug socket: ") + zmq_strerror(ENOTSOCK));

    // EAGAIN (no collector, or a full queue) drops the socket copy silently.
    g_zmq_send_errno = EAGAIN;
    test_support::clear_syslog_lines();
    m_logger->info("quiet");
    ASSERT_EQ(syslog_lines().size(), 1u);
}

TEST_F(Logger, ArgumentsThatDoNotFitKeepTheLineVisible) {
    test_support::clear_syslog_lines();
    EXPECT_NO_THROW(m_logger->info("needs %1% and %2%") % 1);
    EXPECT_THROW(m_logger->info("needs %1%") % 1 % 2, boost::io::too_many_args);
    const auto lines = syslog_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_EQ(lines[0].text, "Log format \"needs %1% and %2%\": its arguments did not fit");
    EXPECT_EQ(lines[1].text, "Log format \"needs %1%\": its arguments did not fit");
}

TEST_F(Logger, MalformedFormatThrowsAtTheCallSite) {
    EXPECT_THROW(m_logger->info("bad %"), boost::io::bad_format_string);
}

TEST_F(Logger, LogErrorWritesFileLineAndMessage) {
    const std::string file = std::string(core::constants::source_directory) + "/src/main.cpp";
    test_support::clear_syslog_lines();
    m_logger->log_error(make_error_code(boost::system::errc::address_in_use),
                        core::source_location(12, file, "f"));
    const auto lines = syslog_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_EQ(lines[0].text, "/src/main.cpp:12: Address already in use");
}

TEST_F(Logger, ExecuteLogsWhatTheCallableThrows) {
    test_support::clear_syslog_lines();
    EXPECT_TRUE(m_logger->execute([] {}));
    EXPECT_TRUE(syslog_lines().empty());
    EXPECT_FALSE(m_logger->execute([] { throw std::runtime_error("broken"); }));
    const auto lines = syslog_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_EQ(lines[0].text, "std::exception::what(): broken");
}

TEST_F(Logger, LogExceptionWithLocationWritesThroughRootThenComponent) {
    connect_collector();
    const auto component = m_logger->component("core");
    const std::string file = std::string(core::constants::source_directory) + "/src/loop.cpp";
    try {
        throw core::exception("failed", core::source_location(9, file, "g"));
    } catch (...) {
        component->log_exception(core::source_location(77, file, "h"));
    }
    EXPECT_EQ(strip_time(receive(), "&module:main "), "/src/loop.cpp:77 Caught exeption");
    EXPECT_EQ(strip_time(receive(), "&module:core "), "/src/loop.cpp:9 failed");

    const core::exception direct("direct", core::source_location(5, file, "k"));
    component->log_exception(direct);
    EXPECT_EQ(strip_time(receive(), "&module:core "), "/src/loop.cpp:5 direct");
}

TEST_F(Logger, ComponentsOfComponentsKeepTheModule) {
    connect_collector();
    const auto first = m_logger->component("a");
    const auto second = first->component("b");
    second->info("x");
    EXPECT_EQ(strip_time(receive(), "&module:b "), "x");
    EXPECT_TRUE(second->make_indent().empty());
}
