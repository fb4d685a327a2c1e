#include "child_process.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace kelm::test {
namespace {

[[noreturn]] void throw_errno(const std::string& _what) {
    throw std::system_error(errno, std::generic_category(), _what);
}

// This process's variables, with the given ones in place of those of the same name.
std::vector<std::string> merged_environment(const std::vector<std::string>& _changes) {
    std::vector<std::string> result(_changes);
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        const bool replaced =
            std::any_of(_changes.begin(), _changes.end(),
                        [&](const std::string& _change) { return _change.rfind(name, 0) == 0; });
        if (!replaced) {
            result.push_back(entry);
        }
    }
    return result;
}

// The C form of a list of strings, which stay where they are.
std::vector<char*> pointers(std::vector<std::string>& _strings) {
    std::vector<char*> result;
    for (auto& text : _strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// From here on the child runs: only async-signal-safe calls, as the parent has threads.
bool redirect(const char* _file, int _flags, int _descriptor) {
    if (*_file == '\0') {
        return true;
    }
    const int opened = ::open(_file, _flags, 0600);
    if (opened < 0 || ::dup2(opened, _descriptor) < 0) {
        return false;
    }
    ::close(opened);
    return true;
}

[[noreturn]] void report_and_exit(int _error_pipe) {
    const int error = errno;
    const ssize_t ignored = ::write(_error_pipe, &error, sizeof error);
    static_cast<void>(ignored);
    ::_exit(127);
}

}  // namespace

child_process::child_process(std::vector<std::string> _argv, const options& _options)
    : m_name(_argv.at(0)) {
    auto environment = merged_environment(_options.environment);
    const auto argv = pointers(_argv);
    const auto envp = pointers(environment);
    start([&](int _error_pipe) {
        // The program gets no descriptor of ours beyond its standard streams: a listening
        // socket it held would keep the port taking connections that nobody serves.
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        if (redirect(_options.input.c_str(), O_RDONLY, STDIN_FILENO) &&
            redirect(_options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO) &&
            redirect(_options.error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, STDERR_FILENO)) {
            ::execvpe(argv[0], argv.data(), envp.data());
        }
        report_and_exit(_error_pipe);
    });
}

child_process::child_process(const std::function<int()>& _function) : m_name("child process") {
    start([&](int _error_pipe) {
        ::close(_error_pipe);
        int status = 1;
        try {
            status = _function();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
        }
        ::_exit(status);
    });
}

// A successful exec closes the pipe's write end; a failed one reports its errno through it.
template <class Child>
void child_process::start(const Child& _child) {
    int error_pipe[2];
    if (::pipe2(error_pipe, O_CLOEXEC) != 0) {
        throw_errno("pipe2");
    }
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(error_pipe[0]);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The parent may have died before the line above.
        if (::getppid() != parent) {
            ::_exit(127);
        }
        _child(error_pipe[1]);
    }
    const int fork_error = errno;
    ::close(error_pipe[1]);
    if (m_pid < 0) {
        ::close(error_pipe[0]);
        errno = fork_error;
        throw_errno("fork");
    }
    int exec_error = 0;
    ssize_t got = 0;
    do {
        got = ::read(error_pipe[0], &exec_error, sizeof exec_error);
    } while (got < 0 && errno == EINTR);
    ::close(error_pipe[0]);
    if (got == sizeof exec_error) {
        reap(true);
        throw std::runtime_error("cannot start " + m_name + ": " + std::strerror(exec_error));
    }
}

child_process::~child_process() {
    if (m_pid > 0) {
        send_signal(SIGKILL);
        reap(true);
    }
}

void child_process::send_signal(int _signal) const {
    if (m_pid > 0) {
        ::kill(m_pid, _signal);
    }
}

int child_process::wait(std::chrono::milliseconds _timeout) {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    while (m_pid > 0 && !reap(false)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            send_signal(SIGKILL);
            reap(true);
            m_status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return m_status;
}

int child_process::stop(std::chrono::milliseconds _grace) {
    send_signal(SIGTERM);
    return wait(_grace);
}

void child_process::check_running() {
    if (m_pid <= 0 || reap(false)) {
        throw std::runtime_error(m_name + " " + describe_status(m_status));
    }
}

bool child_process::reap(bool _block) {
    int status = 0;
    rusage usage{};
    pid_t ended = 0;
    do {
        ended = ::wait4(m_pid, &status, _block ? 0 : WNOHANG, &usage);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0) {
        return false;
    }
    // Someone else reaped it (ended < 0): how it ended is unknown.
    m_status = ended < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_peak_rss_kib = usage.ru_maxrss;
    m_pid = -1;
    return true;
}

double child_process::cpu_seconds() const {
    std::ifstream file(proc_file("stat"));
    const std::string stat{std::istreambuf_iterator<char>(file), {}};
    // The command name in parentheses may hold blanks; the fields after it do not.
    const auto name_end = stat.rfind(')');
    if (name_end == std::string::npos) {
        throw std::runtime_error("cannot read " + proc_file("stat"));
    }
    std::istringstream fields(stat.substr(name_end + 1));
    std::string skipped;
    for (int field = 3; field < 14; ++field) {
        fields >> skipped;
    }
    unsigned long long user_ticks = 0;
    unsigned long long system_ticks = 0;
    if (!(fields >> user_ticks >> system_ticks)) {
        throw std::runtime_error("cannot read " + proc_file("stat"));
    }
    return double(user_ticks + system_ticks) / double(::sysconf(_SC_CLK_TCK));
}

long child_process::memory_kib(const std::string& _field) const {
    std::ifstream file(proc_file("status"));
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, _field.size() + 1, _field + ":") == 0) {
            return std::stol(line.substr(_field.size() + 1));
        }
    }
    throw std::runtime_error("no " + _field + " in " + proc_file("status"));
}

std::string child_process::proc_file(const char* _name) const {
    return "/proc/" + std::to_string(m_pid) + "/" + _name;
}

std::string describe_status(int _status) {
    if (_status < 0) {
        return "did not end in time";
    }
    if (_status >= 128) {
        return "was killed by signal " + std::to_string(_status - 128);
    }
    return "exited with status " + std::to_string(_status);
}

}  // namespace kelm::test
