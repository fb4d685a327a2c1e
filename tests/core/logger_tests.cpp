#include "syslog_capture.hpp"
#include "wait.hpp"

#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/version.hpp>

#include <dlfcn.h>
#include <syslog.h>
#include <zmq.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace core = kelm::libs::core;

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
    static const std::regex time(
        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}");
    return std::regex_replace(_text, time, "<time>");
}

class Logger : public ::testing::Test {
protected:
    void SetUp() override { test_support::clear_syslog_lines(); }
    void TearDown() override { g_zmq_send_errno = 0; }

    // What reached the system log since the last call.
    std::vector<std::string> logged() {
        std::vector<std::string> lines;
        for (const auto& line : test_support::syslog_lines()) {
            lines.push_back(std::to_string(line.priority) + " " + mask_time(line.text));
        }
        test_support::clear_syslog_lines();
        return lines;
    }

    // A collector on loopback, connected to the logger's debug socket.
    void connect_collector() {
        m_collector.set(zmq::sockopt::rcvtimeo,
                        static_cast<int>(kelm::test::patience.count() * 1000));
        m_collector.bind("tcp://127.0.0.1:*");
        m_logger.connect(m_collector.get(zmq::sockopt::last_endpoint));
        EXPECT_EQ(received(), std::vector<std::string>{"&module:main <time> Connected to socket"});
        logged();
    }

    // The next _count lines from the socket.
    std::vector<std::string> received(int _count = 1) {
        std::vector<std::string> lines;
        for (zmq::message_t message; _count-- > 0;) {
            lines.push_back(m_collector.recv(message) ? mask_time(message.to_string()) : "<none>");
        }
        return lines;
    }

    std::string file = std::string(core::constants::source_directory) + "/src/x.cpp";
    core::logger m_logger{"module", "main"};
    zmq::context_t m_context;
    zmq::socket_t m_collector{m_context, zmq::socket_type::pull};
};

}  // namespace

// Debug mode lets debug lines in, adds the time and echoes to standard error, also when
// nothing goes to the socket.
TEST_F(Logger, StartsPlainAndDebugModeAddsTimeAndEcho) {
    core::logger fresh("fresh", "main");
    EXPECT_EQ(logged(), std::vector<std::string>{"6 Starting fresh"});
    EXPECT_EQ(test_support::current_syslog_connection().mask, LOG_UPTO(LOG_INFO));
    EXPECT_FALSE(fresh.is_debug());
    EXPECT_TRUE(fresh.is_writing_to_socket());
    fresh.set_writing_to_socket(false);
    fresh.set_debug(true);
    EXPECT_TRUE(fresh.is_debug());
    EXPECT_EQ(test_support::current_syslog_connection().mask, LOG_UPTO(LOG_DEBUG));
    ::testing::internal::CaptureStderr();
    fresh.debug("shown %1%").date_time(core::timestamp(1709622249042)) % 1;
    fresh.info("now");
    EXPECT_EQ(mask_time(::testing::internal::GetCapturedStderr()),
              "fresh: <time> shown 1\nfresh: <time> now\n");
    EXPECT_EQ(test_support::syslog_lines().at(0).text, "2024-03-05 07:04:09.042 shown 1");
    EXPECT_EQ(logged(), (std::vector<std::string>{"7 <time> shown 1", "6 <time> now"}));
    fresh.set_debug(false);
    EXPECT_EQ(test_support::current_syslog_connection().mask, LOG_UPTO(LOG_INFO));
    fresh.debug("hidden again");
    fresh.info("plain");
    EXPECT_EQ(logged(), std::vector<std::string>{"6 plain"});
}

TEST_F(Logger, LinesTakeTheirShapeFromLevelArgumentsPlaceAndFunction) {
    const core::source_location where(42, file, "void kelm::a::b::run(int)");
    m_logger.debug("hidden");
    m_logger.info("m %1% %2%") % std::string("s") % 7L;
    m_logger.warning("m").location(where);
    m_logger.error("m").function(where);
    m_logger.info("m").location(where).short_function(where);
    m_logger.log_error(make_error_code(boost::system::errc::address_in_use),
                       core::source_location(12, file, "f"));
    EXPECT_NO_THROW(m_logger.info("needs %1% and %2%") % 1);
    EXPECT_THROW(m_logger.info("needs %1%") % 1 % 2, boost::io::too_many_args);
    EXPECT_EQ(logged(),
              (std::vector<std::string>{
                  "6 m s 7", "4 /src/x.cpp:42 m", "3 void kelm::a::b::run(int): m",
                  "6 /src/x.cpp:42 kelm::a::b::run: m", "3 /src/x.cpp:12: Address already in use",
                  "3 Log format \"needs %1% and %2%\": its arguments did not fit",
                  "3 Log format \"needs %1%\": its arguments did not fit"}));
}

// A full queue or no collector drops the socket's copy quietly; other failures are logged.
TEST_F(Logger, SocketLinesCarryModuleComponentAndTimeAndFailuresLeaveTheSystemLogLine) {
    EXPECT_THROW(m_logger.connect("nonsense"), zmq::error_t);
    connect_collector();
    const auto worker = m_logger.component("worker");
    worker->debug("not in syslog %1%") % 1;
    m_logger.set_writing_to_socket(false);
    EXPECT_FALSE(m_logger.is_writing_to_socket());
    m_logger.info("syslog only");
    m_logger.set_writing_to_socket(true);
    worker->component("b")->info("x");
    EXPECT_EQ(received(2), (std::vector<std::string>{"&module:worker <time> not in syslog 1",
                                                     "&module:b <time> x"}));
    g_zmq_send_errno = ENOTSOCK;
    EXPECT_NO_THROW(m_logger.info("kept"));
    g_zmq_send_errno = EAGAIN;
    m_logger.info("quiet");
    EXPECT_EQ(logged(), (std::vector<std::string>{"6 syslog only", "6 x", "6 kept",
                                                  "3 Cannot send a log line to the debug socket: " +
                                                      std::string(zmq_strerror(ENOTSOCK)),
                                                  "6 quiet"}));
}

TEST_F(Logger, ExceptionsAreLoggedWithTheirPlace) {
    EXPECT_TRUE(m_logger.execute([] {}));
    EXPECT_FALSE(m_logger.execute([] { throw std::runtime_error("broken"); }));
    const auto component = m_logger.component("core");
    try {
        throw core::exception("failed", core::source_location(9, file, "g"));
    } catch (...) {
        component->log_exception(core::source_location(77, file, "h"));
    }
    component->log_exception(core::exception("direct", core::source_location(5, file, "k")));
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "3 std::exception::what(): broken", "3 /src/x.cpp:77 Caught exeption",
                            "3 /src/x.cpp:9 failed", "3 /src/x.cpp:5 direct"}));
}
