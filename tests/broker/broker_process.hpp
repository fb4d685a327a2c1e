#pragma once

#include "child_process.hpp"
#include "syslog_capture.hpp"
#include "temporary_directory.hpp"
#include "wait.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/datagram_protocol.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_support {

// The broker binary running as a child process, its system log captured, its standard
// error kept in a file, and its notifications to systemd received. libzmq's faults on cue
// are preloaded too and armed by variables in _environment ("NAME=value"). A child still
// running when this is destroyed is killed.
class broker_process {
public:
    explicit broker_process(std::vector<std::string> _arguments,
                            std::vector<std::string> _environment = {}) {
        m_notify.non_blocking(true);
        // The capture library is not instrumented, so it is loaded ahead of the sanitizer's
        // runtime.
        const char* asan = std::getenv("ASAN_OPTIONS");
        _environment.insert(
            _environment.end(),
            {"NOTIFY_SOCKET=" + m_directory.path + "/notify",
             std::string("LD_PRELOAD=") + SYSLOG_PRELOAD + ":" + ZMQ_FAULTS_PRELOAD,
             "QUORVANE_SYSLOG_CAPTURE=" + m_directory.path + "/syslog",
             "ASAN_OPTIONS=" + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0"});
        _arguments.insert(_arguments.begin(), QUORVANE_BINARY);
        m_process.emplace(std::move(_arguments),
                          kelm::test::child_process::options{
                              std::move(_environment), {}, {}, m_directory.path + "/stderr"});
    }
    int pid() const { return m_process->pid(); }
    void send_signal(int _signal) const { m_process->send_signal(_signal); }

    // The exit status, 128 + n for a death by signal n, or -1 when the time ran out (the
    // child is then killed). The default leaves room for the broker's 5 s linger.
    int wait(std::chrono::milliseconds _timeout = 2 * kelm::test::patience) {
        return m_process->wait(_timeout);
    }

    std::string standard_error() const { return read_file(m_directory.path + "/stderr"); }
    std::vector<syslog_line> syslog() const {
        return read_syslog_capture(m_directory.path + "/syslog");
    }
    // The notifications received so far, each ended by a newline.
    std::string notifications() {
        std::string result;
        char text[256];
        boost::system::error_code none;
        for (std::size_t size; (size = m_notify.receive(boost::asio::buffer(text), 0, none)) > 0;) {
            result.append(text, size) += '\n';
        }
        return result;
    }

private:
    temporary_directory m_directory;
    boost::asio::io_context m_io_context;
    // Where systemd would listen.
    boost::asio::local::datagram_protocol::socket m_notify{
        m_io_context,
        boost::asio::local::datagram_protocol::endpoint(m_directory.path + "/notify")};
    // Declared last, so that a child still running is killed first.
    std::optional<kelm::test::child_process> m_process;
};

}  // namespace test_support
