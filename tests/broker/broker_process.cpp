#include "broker_process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace test_support {

temporary_directory::temporary_directory() {
    std::string pattern = "/tmp/quorvane-test-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

temporary_directory::~temporary_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string temporary_directory::write_file(const std::string& _name,
                                            const std::string& _content) const {
    const std::string file_name = m_path + "/" + _name;
    std::ofstream(file_name) << _content;
    return file_name;
}

std::string read_file(const std::string& _file_name) {
    std::ifstream file(_file_name);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string broker_process::binary() {
    return QUORVANE_BINARY;
}

broker_process::broker_process(const std::vector<std::string>& _arguments,
                               const std::vector<std::string>& _environment) {
    // Where systemd would listen.
    const std::string notify_path = m_directory.path() + "/notify";
    m_notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    notify_path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(m_notify, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind " + notify_path);
    }
    std::vector<std::string> environment{"NOTIFY_SOCKET=" + notify_path};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        if (!std::regex_search(entry, std::regex("^(LD_PRELOAD|ASAN_OPTIONS|NOTIFY_SOCKET)="))) {
            environment.push_back(entry);
        }
    }
    // The capture library is not instrumented, so it is loaded ahead of the sanitizer's runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    environment.insert(
        environment.begin(),
        {std::string("LD_PRELOAD=") + SYSLOG_PRELOAD + ":" + ZMQ_FAULTS_PRELOAD,
         "QUORVANE_SYSLOG_CAPTURE=" + m_directory.path() + "/syslog",
         "ASAN_OPTIONS=" + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0"});
    environment.insert(environment.begin(), _environment.begin(), _environment.end());
    std::vector<std::string> arguments{binary()};
    arguments.insert(arguments.end(), _arguments.begin(), _arguments.end());
    const auto pointers = [](std::vector<std::string>& _strings) {
        std::vector<char*> result;
        for (auto& text : _strings) {
            result.push_back(&text[0]);
        }
        result.push_back(nullptr);
        return result;
    };
    auto argv = pointers(arguments);
    auto envp = pointers(environment);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    const std::string error_file = m_directory.path() + "/stderr";
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_file.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int result = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        throw std::runtime_error("cannot start " + binary());
    }
}

broker_process::~broker_process() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::close(m_notify);
}

void broker_process::send_signal(int _signal) const {
    if (m_pid > 0) {
        ::kill(m_pid, _signal);
    }
}

int broker_process::wait(std::chrono::milliseconds _timeout) {
    int status = 0;
    const bool ended =
        m_pid > 0 && kelm::test::eventually(
                         [&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, _timeout);
    if (m_pid > 0 && !ended) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
    return !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string broker_process::standard_error() const {
    return read_file(m_directory.path() + "/stderr");
}

std::string broker_process::notifications() const {
    std::string result;
    char text[256];
    for (ssize_t size; (size = ::recv(m_notify, text, sizeof text, MSG_DONTWAIT)) > 0;) {
        result.append(text, size) += '\n';
    }
    return result;
}

std::vector<syslog_line> broker_process::syslog() const {
    return read_syslog_capture(m_directory.path() + "/syslog");
}

namespace {

std::vector<std::string> bound_endpoints(const broker_process& _process) {
    static const std::regex bound(
        "Bound input (tcp://127\\.0\\.0\\.1:[1-9][0-9]*) and output "
        "(tcp://127\\.0\\.0\\.1:[1-9][0-9]*)");
    std::vector<std::string> endpoints;
    const bool found = kelm::test::eventually([&] {
        for (const auto& line : _process.syslog()) {
            std::smatch match;
            if (std::regex_match(line.text, match, bound)) {
                endpoints = {match[1], match[2]};
            }
        }
        return !endpoints.empty();
    });
    EXPECT_TRUE(found) << "no line names the endpoints bound";
    // An inproc endpoint may be connected to while nothing is bound there.
    return found ? endpoints : std::vector<std::string>{"inproc://input", "inproc://output"};
}

int exit_lines(const std::vector<syslog_line>& _lines) {
    return std::count_if(_lines.begin(), _lines.end(), [](const syslog_line& _line) {
        return ::fnmatch("/src/main.cpp:* exit", _line.text.c_str(), 0) == 0;
    });
}

}  // namespace

running_broker::running_broker(const std::vector<std::string>& _environment,
                               const std::string& _prefix, const std::string& _members)
    : config_file(
          m_directory.write_file("broker.json", R"({"system": {"input_address": "tcp://127.0.0.1:*",
                                        "output_address": "tcp://127.0.0.1:0")" +
                                                    _members + "}}")),
      process({"-c", config_file}, _environment),
      bound(bound_endpoints(process)),
      peers(input, output, _prefix) {}

std::vector<syslog_line> running_broker::stop(int _signal, bool _twice) {
    process.send_signal(_signal);
    if (_twice) {
        EXPECT_TRUE(kelm::test::eventually([&] { return exit_lines(process.syslog()) == 1; }));
        process.send_signal(_signal);
    }
    EXPECT_EQ(process.wait(), 0);
    EXPECT_EQ(process.standard_error(), "");
    EXPECT_EQ(process.notifications(), "READY=1\nSTOPPING=1\n");
    const auto lines = process.syslog();
    EXPECT_EQ(exit_lines(lines), 1);
    EXPECT_EQ(lines.size() < 3 ? "" : lines[0].text + "\n" + lines[1].text,
              "Starting quorvane\nBound input " + input + " and output " + output);
    EXPECT_TRUE(!lines.empty() && exit_lines({lines.back()}) == 1);
    return lines;
}

}  // namespace test_support
