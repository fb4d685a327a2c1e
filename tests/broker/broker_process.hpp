#pragma once

#include "syslog_capture.hpp"
#include "wait.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace test_support {

inline std::string read_file(const std::string& _file_name) {
    std::ifstream file(_file_name);
    return {std::istreambuf_iterator<char>(file), {}};
}

// A temporary directory, removed with everything in it.
class temporary_directory {
    char m_template[26] = "/tmp/quorvane-test-XXXXXX";

public:
    // std::string throws on the null pointer of a failed mkdtemp.
    const std::string path{::mkdtemp(m_template)};

    temporary_directory() = default;
    ~temporary_directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    temporary_directory(const temporary_directory&) = delete;

    std::string write_file(const std::string& _name, const std::string& _content) const {
        std::ofstream(path + "/" + _name) << _content;
        return path + "/" + _name;
    }
};

// The broker binary running as a child process, its system log captured, its standard
// error kept in a file, and its notifications to systemd received. libzmq's faults on cue
// are preloaded too and armed by variables in _environment ("NAME=value"). A child still
// running when this is destroyed is killed.
class broker_process {
public:
    explicit broker_process(std::vector<std::string> _arguments,
                            std::vector<std::string> _environment = {}) {
        // Where systemd would listen.
        const std::string notify_path = m_directory.path + "/notify";
        m_notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        notify_path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(m_notify, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot bind " + notify_path);
        }
        // The capture library is not instrumented, so it is loaded ahead of the sanitizer's
        // runtime.
        const char* asan = std::getenv("ASAN_OPTIONS");
        _environment.insert(
            _environment.end(),
            {"NOTIFY_SOCKET=" + notify_path,
             std::string("LD_PRELOAD=") + SYSLOG_PRELOAD + ":" + ZMQ_FAULTS_PRELOAD,
             "QUORVANE_SYSLOG_CAPTURE=" + m_directory.path + "/syslog",
             "ASAN_OPTIONS=" + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0"});
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (!std::regex_search(*variable,
                                   std::regex("^(LD_PRELOAD|ASAN_OPTIONS|NOTIFY_SOCKET)="))) {
                _environment.push_back(*variable);
            }
        }
        // Killed with this process, so that a test that crashes does not leave a broker behind
        // holding the test runner's output open.
        _arguments.insert(_arguments.begin(), {"setpriv", "--pdeathsig", "KILL", QUORVANE_BINARY});
        const auto pointers = [](std::vector<std::string>& _strings) {
            std::vector<char*> result(_strings.size() + 1, nullptr);
            std::transform(_strings.begin(), _strings.end(), result.begin(),
                           [](std::string& _text) { return &_text[0]; });
            return result;
        };
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO,
                                           (m_directory.path + "/stderr").c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int result =
            ::posix_spawnp(&m_pid, "setpriv", &actions, nullptr, pointers(_arguments).data(),
                           pointers(_environment).data());
        ::posix_spawn_file_actions_destroy(&actions);
        if (result != 0) {
            throw std::runtime_error("cannot start " QUORVANE_BINARY);
        }
    }
    ~broker_process() {
        wait(std::chrono::milliseconds(0));
        ::close(m_notify);
    }
    broker_process(const broker_process&) = delete;
    broker_process& operator=(const broker_process&) = delete;

    int pid() const { return m_pid; }
    void send_signal(int _signal) const {
        if (m_pid > 0) {
            ::kill(m_pid, _signal);
        }
    }

    // The exit status, 128 + n for a death by signal n, or -1 when the time ran out (the
    // child is then killed). The default leaves room for the broker's 5 s linger.
    int wait(std::chrono::milliseconds _timeout = 2 * kelm::test::patience) {
        int status = 0;
        const bool ended = kelm::test::eventually(
            [&] { return m_pid <= 0 || ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, _timeout);
        if (!ended) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
        return !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    temporary_directory m_directory;
    int m_notify = -1;
    int m_pid = -1;
};

}  // namespace test_support
