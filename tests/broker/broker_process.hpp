#pragma once

#include "child_process.hpp"
#include "syslog_capture.hpp"
#include "temporary_directory.hpp"
#include "wait.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
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
                            std::vector<std::string> _environment = {})
        : m_notify(bind_notify_socket(m_directory.path + "/notify")) {
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
    ~broker_process() {
        m_process.reset();
        ::close(m_notify);
    }
    broker_process(const broker_process&) = delete;
    broker_process& operator=(const broker_process&) = delete;

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
    std::string notifications() const {
        std::string result;
        char text[256];
        for (ssize_t size; (size = ::recv(m_notify, text, sizeof text, MSG_DONTWAIT)) > 0;) {
            result.append(text, size) += '\n';
        }
        return result;
    }

private:
    // Where systemd would listen.
    static int bind_notify_socket(const std::string& _path) {
        const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        _path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(notify);
            throw std::runtime_error("cannot bind " + _path);
        }
        return notify;
    }

    temporary_directory m_directory;
    int m_notify = -1;
    std::optional<kelm::test::child_process> m_process;
};

}  // namespace test_support
