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

std::string read_file(const std::string& _file_name);

// The broker binary running as a child process, its system log captured, its standard
// error kept in a file, and its notifications to systemd received. libzmq's faults on cue
// are preloaded too and armed by variables in _environment ("NAME=value"). A child still
// running when this is destroyed is killed.
class broker_process {
public:
    explicit broker_process(const std::vector<std::string>& _arguments,
                            const std::vector<std::string>& _environment = {});
    ~broker_process();
    broker_process(const broker_process&) = delete;
    broker_process& operator=(const broker_process&) = delete;

    static std::string binary();
    int pid() const { return m_pid; }

    void send_signal(int _signal) const;
    // The exit status, 128 + n for a death by signal n, or -1 when the time ran out
    // (the child is then killed). The default leaves room for the broker's 5 s linger.
    int wait(std::chrono::milliseconds _timeout = 2 * kelm::test::patience);

    std::string standard_error() const;
    std::vector<syslog_line> syslog() const;
    // The notifications received so far, each ended by a newline.
    std::string notifications() const;

private:
    temporary_directory m_directory;
    int m_notify = -1;
    int m_pid = -1;
};

// A broker started on wildcard loopback ports, with more members of "system" given as
// `, "name": value...`, a producer on its input and a consumer subscribed to _prefix on its
// output. Check forwarding() before using it.
class running_broker {
public:
    explicit running_broker(const std::vector<std::string>& _environment = {},
                            const std::string& _prefix = "", const std::string& _members = "");

    // Whether a probe went all the way through.
    bool forwarding() { return peers.await_forwarding(); }

    // Stops the broker with the signal, sent again once "exit" is logged if _twice, and
    // checks that it ended in order: status 0, nothing on standard error, READY then
    // STOPPING notified, the system log from the starting line and the bound endpoints to
    // one exit line. Returns the system-log lines.
    std::vector<syslog_line> stop(int _signal, bool _twice = false);

private:
    temporary_directory m_directory;

public:
    const std::string config_file;
    broker_process process;
    // Read back from the line that names the ports actually bound.
    const std::vector<std::string> bound;
    const std::string& input = bound[0];
    const std::string& output = bound[1];
    kelm::test::push_sub peers;
};

}  // namespace test_support
