#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace test_support {

// A program run as a child process with standard input read from a file and standard
// output and error written to files in a directory of its own. A child still running
// when this is destroyed is killed.
class child_process {
public:
    child_process(const std::vector<std::string>& _command, const std::string& _input = {});
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    void send_signal(int _signal) const;
    // The exit status, 128 + n after a death by signal n, or -1 when the time ran out
    // (the child is then killed).
    int wait(std::chrono::milliseconds _timeout = std::chrono::seconds(20));

    std::string standard_output() const;
    std::string standard_error() const;

private:
    std::string read(const std::string& _name) const;

    std::string m_directory;
    int m_pid = -1;
};

}  // namespace test_support
