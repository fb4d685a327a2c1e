#pragma once

// Observes the system-log calls of the process. syslog_capture.cpp defines openlog,
// setlogmask and syslog (and its fortified variant), so linking it into a
// test binary, or preloading it into a program, replaces the C library's versions.
// Like the real ones it applies the priority mask and honours LOG_PERROR.
// When the environment names a file in QUORVANE_SYSLOG_CAPTURE, every retained
// line is also appended there, for tests that run another program.

#include <string>
#include <vector>

namespace test_support {

struct syslog_line {
    int priority;
    std::string text;
};

std::vector<syslog_line> syslog_lines();
void clear_syslog_lines();
// The texts of the lines so far, which are then cleared.
std::vector<std::string> take_syslog_texts();

// Reads the file written under QUORVANE_SYSLOG_CAPTURE.
std::vector<syslog_line> read_syslog_capture(const std::string& _file_name);

}  // namespace test_support
