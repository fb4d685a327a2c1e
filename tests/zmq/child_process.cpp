#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace test_support {

child_process::child_process(const std::vector<std::string>& _command, const std::string& _input) {
    std::string pattern = "/tmp/quorvane-child-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_directory = pattern;
    std::ofstream(m_directory + "/stdin") << _input;

    std::vector<std::string> arguments = _command;
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    const std::string files[] = {m_directory + "/stdin", m_directory + "/stdout",
                                 m_directory + "/stderr"};
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, files[0].c_str(), O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, files[1].c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, files[2].c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int result = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        throw std::runtime_error("cannot start " + _command.front());
    }
}

child_process::~child_process() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

void child_process::send_signal(int _signal) const {
    if (m_pid > 0) {
        ::kill(m_pid, _signal);
    }
}

int child_process::wait(std::chrono::milliseconds _timeout) {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    while (m_pid > 0) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

std::string child_process::standard_output() const {
    return read("stdout");
}

std::string child_process::standard_error() const {
    return read("stderr");
}

std::string child_process::read(const std::string& _name) const {
    std::ifstream file(m_directory + "/" + _name);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

}  // namespace test_support
