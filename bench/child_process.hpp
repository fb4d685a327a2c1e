#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace quorvane_bench {

// A forwarder under measurement, run as a child process. It is stopped when this object
// goes away, and killed by the kernel if the benchmark itself dies first.
class child_process {
public:
    // Throws when _argv[0] cannot be executed.
    explicit child_process(std::vector<std::string> _argv);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // Throws, naming how the process ended, once it is no longer running.
    void check_running();
    // User plus system time of all its threads so far.
    double cpu_seconds() const;
    // A size field of /proc/<pid>/status such as "VmRSS" or "VmHWM", in KiB.
    long memory_kib(const std::string& _field) const;
    // SIGTERM, then SIGKILL after _grace; returns the wait status.
    int stop(std::chrono::milliseconds _grace);

private:
    std::string proc_file(const char* _name) const;

    std::string m_name;
    pid_t m_pid = -1;
};

// "exited with status 0", "killed by signal 9", ...
std::string describe_wait_status(int _status);

}  // namespace quorvane_bench
