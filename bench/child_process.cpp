#include "child_process.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace quorvane_bench {

namespace {

[[noreturn]] void throw_errno(const std::string& _what) {
    throw std::system_error(errno, std::generic_category(), _what);
}

// Only async-signal-safe calls are allowed here: the parent has threads.
[[noreturn]] void exec_child(char** _argv, int _error_pipe, pid_t _parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != _parent) _exit(127);
    execv(_argv[0], _argv);
    const int error = errno;
    ssize_t ignored = write(_error_pipe, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

}  // namespace

child_process::child_process(std::vector<std::string> _argv) : m_name(_argv.at(0)) {
    std::vector<char*> argv;
    for (auto& argument : _argv) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // A successful exec closes the write end; a failed one reports its errno through it.
    int error_pipe[2];
    if (pipe2(error_pipe, O_CLOEXEC) != 0) throw_errno("pipe2");
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) exec_child(argv.data(), error_pipe[1], parent);
    const int fork_error = errno;
    close(error_pipe[1]);
    if (m_pid < 0) {
        close(error_pipe[0]);
        errno = fork_error;
        throw_errno("fork");
    }
    int exec_error = 0;
    ssize_t got = 0;
    do {
        got = read(error_pipe[0], &exec_error, sizeof exec_error);
    } while (got < 0 && errno == EINTR);
    close(error_pipe[0]);
    if (got == sizeof exec_error) {
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        throw std::runtime_error("cannot start " + m_name + ": " + std::strerror(exec_error));
    }
}

child_process::~child_process() {
    if (m_pid > 0) stop(std::chrono::seconds(2));
}

void child_process::check_running() {
    if (m_pid <= 0) throw std::runtime_error(m_name + " is not running");
    int status = 0;
    const pid_t ended = waitpid(m_pid, &status, WNOHANG);
    if (ended == 0) return;
    m_pid = -1;
    if (ended < 0) throw_errno("waitpid for " + m_name);
    throw std::runtime_error(m_name + " " + describe_wait_status(status));
}

double child_process::cpu_seconds() const {
    std::ifstream file(proc_file("stat"));
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks; the fields after it do not.
    const auto name_end = stat.rfind(')');
    if (name_end == std::string::npos) throw std::runtime_error("cannot read " + proc_file("stat"));
    std::istringstream fields(stat.substr(name_end + 1));
    std::string skipped;
    for (int field = 3; field < 14; ++field) fields >> skipped;
    unsigned long long user_ticks = 0, system_ticks = 0;
    if (!(fields >> user_ticks >> system_ticks))
        throw std::runtime_error("cannot read " + proc_file("stat"));
    return double(user_ticks + system_ticks) / double(sysconf(_SC_CLK_TCK));
}

long child_process::memory_kib(const std::string& _field) const {
    std::ifstream file(proc_file("status"));
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, _field.size() + 1, _field + ":") == 0)
            return std::stol(line.substr(_field.size() + 1));
    }
    throw std::runtime_error("no " + _field + " in " + proc_file("status"));
}

int child_process::stop(std::chrono::milliseconds _grace) {
    int status = 0;
    if (m_pid <= 0) return status;
    kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + _grace;
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
    return status;
}

std::string child_process::proc_file(const char* _name) const {
    return "/proc/" + std::to_string(m_pid) + "/" + _name;
}

std::string describe_wait_status(int _status) {
    if (WIFEXITED(_status)) return "exited with status " + std::to_string(WEXITSTATUS(_status));
    if (WIFSIGNALED(_status)) return "was killed by signal " + std::to_string(WTERMSIG(_status));
    return "ended with wait status " + std::to_string(_status);
}

}  // namespace quorvane_bench
