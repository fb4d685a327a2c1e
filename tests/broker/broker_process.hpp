#pragma once

#include "syslog_capture.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace test_support {

// A temporary directory, removed with everything in it.
class temporary_directory {
public:
    temporary_directory();
    ~temporary_directory();
    temporary_directory(const temporary_directory&) = delete;
    temporary_directory& operator=(const temporary_directory&) = delete;

    const std::string& path() const { return m_path; }
    std::string write_file(const std::string& _name, const std::string& _content) const;

private:
    std::string m_path;
};

// The broker binary running as a child process, its system log captured and its
// standard error kept in a file. libzmq's faults on cue are preloaded too and armed by
// variables in _environment ("NAME=value"). A child still running when this is
// destroyed is killed.
class broker_process {
public:
    explicit broker_process(const std::vector<std::string>& _arguments,
                            const std::vector<std::string>& _environment = {});
    ~broker_process();
    broker_process(const broker_process&) = delete;
    broker_process& operator=(const broker_process&) = delete;

    static std::string binary();

    void send_signal(int _signal) const;
    // The exit status, 128 + n for a death by signal n, or -1 when the time ran out
    // (the child is then killed).
    int wait(std::chrono::milliseconds _timeout = std::chrono::seconds(20));

    std::string standard_error() const;
    std::vector<syslog_line> syslog() const;

private:
    temporary_directory m_directory;
    int m_pid = -1;
};

}  // namespace test_support
