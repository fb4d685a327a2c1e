#pragma once

#include "push_sub.hpp"
#include "syslog_capture.hpp"
#include "wait.hpp"

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
    // (the child is then killed). The default leaves room for the broker's 5 s linger.
    int wait(std::chrono::milliseconds _timeout = 2 * kelm::test::patience);

    std::string standard_error() const;
    std::vector<syslog_line> syslog() const;

private:
    temporary_directory m_directory;
    int m_pid = -1;
};

// A configuration file naming the two endpoints.
std::string write_config(const temporary_directory& _directory, const std::string& _input,
                         const std::string& _output);

// A broker started on two free loopback endpoints, with a producer on its input and a
// consumer subscribed to _prefix on its output. Check forwarding() before using it.
class running_broker {
public:
    explicit running_broker(const std::vector<std::string>& _environment = {},
                            const std::string& _prefix = "");

    // Whether a probe went all the way through.
    bool forwarding() { return peers.await_forwarding(); }

    // Stops the broker with the signal and checks that it ended in order: status 0, nothing
    // on standard error, the system log from the starting line to the exit line. Returns
    // the system-log lines.
    std::vector<syslog_line> stop(int _signal);

    const std::string input = kelm::test::free_endpoint();
    const std::string output = kelm::test::free_endpoint();
    kelm::test::push_sub peers;

private:
    temporary_directory m_directory;
    broker_process m_process;
};

}  // namespace test_support
