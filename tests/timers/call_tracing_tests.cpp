#include "syslog_capture.hpp"

#include <core/logger.hpp>
#include <core/source_location.hpp>

#include <gtest/gtest.h>

#include <zmq.hpp>

#include <functional>
#include <string>
#include <vector>

namespace core = kelm::libs::core;

namespace {

// The time field of a socket line: "2024-03-05 07:04:09.042 ".
constexpr std::size_t time_field_size = 24;

class CallTracing : public ::testing::Test {
protected:
    void SetUp() override {
        m_collector.set(zmq::sockopt::rcvtimeo, 5000);
        m_collector.bind("tcp://127.0.0.1:*");
        m_logger.connect(m_collector.get(zmq::sockopt::last_endpoint));
        EXPECT_EQ(receive(), "Connected to socket");
        test_support::clear_syslog_lines();
    }

    // The next socket line without its prefix and time field.
    std::string receive(const std::string& _prefix = "&tracing:main ") {
        zmq::message_t message;
        if (!m_collector.recv(message)) {
            return "<timeout>";
        }
        const std::string line = message.to_string();
        EXPECT_EQ(line.rfind(_prefix, 0), 0u) << line;
        return line.size() < _prefix.size() + time_field_size
                   ? line
                   : line.substr(_prefix.size() + time_field_size);
    }

    std::vector<std::string> receive(std::size_t _count) {
        std::vector<std::string> lines;
        while (lines.size() < _count) {
            lines.push_back(receive());
        }
        return lines;
    }

    core::logger m_logger{"tracing", "main"};
    zmq::context_t m_context;
    zmq::socket_t m_collector{m_context, zmq::socket_type::pull};
};

}  // namespace

TEST_F(CallTracing, EntryLineAtTheOuterDepthLinesInsideOneDeeper) {
    const core::source_location where(42, __FILE__,
                                      "void kelm::libs::core::periodic_timer_impl::restart_impl()");
    const std::string file = std::string(where.short_file().data(), where.short_file().size());
    const struct {
        std::function<core::component_logger::indent_guard()> enter;
        std::string entry;
    } rows[] = {
        {[&] { return m_logger.enter_function(where); },
         "void kelm::libs::core::periodic_timer_impl::restart_impl()"},
        {[&] { return m_logger.enter_function_short(where, "text"); },
         "kelm::libs::core::periodic_timer_impl::restart_impl: text"},
        {[&] { return m_logger.enter_scope("named"); }, "named"},
        {[&] { return m_logger.enter_scope(where); }, file + ":42"},
        {[&] { return m_logger.enter_scope(where, "named"); }, file + ":42 (named)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.entry);
        {
            const auto outer = row.enter();
            m_logger.info("depth 1");
            const auto inner = row.enter();
            m_logger.info("depth 2");
        }
        m_logger.info("depth 0");
        EXPECT_EQ(receive(5),
                  (std::vector<std::string>{row.entry, "    | depth 1", "    | " + row.entry,
                                            "        | depth 2", "depth 0"}));
    }
    // Entry lines are debug lines: with debug mode off the system log has none of them,
    // nor any indentation.
    for (const auto& line : test_support::syslog_lines()) {
        EXPECT_EQ(line.text.rfind("depth ", 0), 0u) << line.text;
    }
}

TEST_F(CallTracing, GuardsDestroyedOutOfOrderRestoreTheDepth) {
    auto first = m_logger.enter_scope("first");
    auto second = m_logger.enter_scope("second");
    first.reset();
    m_logger.info("one left");
    second.reset();
    m_logger.info("none left");
    EXPECT_EQ(receive(4),
              (std::vector<std::string>{"first", "    | second", "    | one left", "none left"}));
}

TEST_F(CallTracing, DepthBelongsToTheComponent) {
    const auto worker = m_logger.component("worker");
    const auto guard = worker->enter_scope("busy");
    worker->info("inside");
    m_logger.info("root");
    EXPECT_EQ(receive("&tracing:worker "), "busy");
    EXPECT_EQ(receive("&tracing:worker "), "    | inside");
    EXPECT_EQ(receive(), "root");
}
