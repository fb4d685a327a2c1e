#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kelm::test {

// A program, or a function of this one, run as a child process by a test or a benchmark.
// The child gets SIGKILL when the thread that started it ends, so a test that crashes leaves
// nothing running; one still running when this object goes is killed too.
class child_process {
public:
    struct options {
        // "NAME=value" entries that replace or join this process's environment.
        std::vector<std::string> environment;
        // Files that become the standard input, output and error; empty keeps ours.
        std::string input;
        std::string output;
        std::string error;
    };

    // Runs _argv[0], looked up in PATH when it has no slash. Throws when it cannot be run.
    explicit child_process(std::vector<std::string> _argv, const options& _options = {});
    // Runs the function in a copy of this process, which exits with what it returns.
    explicit child_process(const std::function<int()>& _function);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return m_pid; }
    void send_signal(int _signal) const;
    // The exit status, 128 + n after a death by signal n, or -1 when the time ran out (the
    // child is then killed). A child that ended before answers at once, as often as asked.
    int wait(std::chrono::milliseconds _timeout);
    // SIGTERM, then SIGKILL after _grace; the status as wait() gives it.
    int stop(std::chrono::milliseconds _grace);
    // Throws, naming how the process ended, once it no longer runs.
    void check_running();

    // User plus system time of all its threads so far.
    double cpu_seconds() const;
    // A size field of /proc/<pid>/status such as "VmRSS" or "VmHWM", in KiB.
    long memory_kib(const std::string& _field) const;
    // The largest resident size it reached, in KiB, once it has ended.
    long peak_rss_kib() const { return m_peak_rss_kib; }

private:
    template <class Child>
    void start(const Child& _child);
    // Reaps the child if it has ended; _block waits for it.
    bool reap(bool _block);
    std::string proc_file(const char* _name) const;

    std::string m_name;
    pid_t m_pid = -1;
    int m_status = -1;
    long m_peak_rss_kib = 0;
};

// "exited with status 0", "was killed by signal 9", "did not end in time" for a status as
// child_process::wait gives it.
std::string describe_status(int _status);

}  // namespace kelm::test
