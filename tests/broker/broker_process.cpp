#include "broker_process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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
    std::system(("rm -rf '" + m_path + "'").c_str());
}

std::string temporary_directory::write_file(const std::string& _name,
                                            const std::string& _content) const {
    const std::string file_name = m_path + "/" + _name;
    std::ofstream(file_name) << _content;
    return file_name;
}

std::string broker_process::binary() {
    return QUORVANE_BINARY;
}

broker_process::broker_process(const std::vector<std::string>& _arguments,
                               const std::vector<std::string>& _environment) {
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        if (entry.rfind("LD_PRELOAD=", 0) != 0 && entry.rfind("ASAN_OPTIONS=", 0) != 0) {
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
    std::ifstream file(m_directory.path() + "/stderr");
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::vector<syslog_line> broker_process::syslog() const {
    return read_syslog_capture(m_directory.path() + "/syslog");
}

std::string write_config(const temporary_directory& _directory, const std::string& _input,
                         const std::string& _output) {
    return _directory.write_file("broker.json", R"({"system": {"input_address": ")" + _input +
                                                    R"(", "output_address": ")" + _output +
                                                    R"("}})");
}

running_broker::running_broker(const std::vector<std::string>& _environment,
                               const std::string& _prefix)
    : peers(input, output, _prefix),
      m_process({"-c", write_config(m_directory, input, output)}, _environment) {}

std::vector<syslog_line> running_broker::stop(int _signal) {
    m_process.send_signal(_signal);
    EXPECT_EQ(m_process.wait(), 0);
    EXPECT_EQ(m_process.standard_error(), "");
    const auto lines = m_process.syslog();
    EXPECT_GE(lines.size(), 2u);
    if (lines.size() >= 2u) {
        EXPECT_EQ(lines.front().text, "Starting quorvane");
        EXPECT_EQ(::fnmatch("/src/main.cpp:* exit", lines.back().text.c_str(), 0), 0)
            << lines.back().text;
    }
    return lines;
}

}  // namespace test_support
