#include "syslog_capture.hpp"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace test_support {

namespace {

struct capture {
    std::mutex mutex;
    syslog_connection connection{false, {}, 0, LOG_USER, 0xff};
    std::vector<syslog_line> lines;
};

capture& state() {
    static capture* instance = new capture;  // outlives static destructors that still log
    return *instance;
}

// Records are "<priority> <length> <text>\n": texts may hold line feeds.
void append_to_file(int _priority, const std::string& _text) {
    const char* file_name = std::getenv("QUORVANE_SYSLOG_CAPTURE");
    if (file_name == nullptr || *file_name == '\0') {
        return;
    }
    if (FILE* file = std::fopen(file_name, "a")) {
        std::fprintf(file, "%d %zu %s\n", _priority, _text.size(), _text.c_str());
        std::fclose(file);
    }
}

void record(int _priority, const char* _format, va_list _args) {
    char buffer[8192];
    std::vsnprintf(buffer, sizeof(buffer), _format, _args);
    const std::string text(buffer);
    capture& c = state();
    std::lock_guard<std::mutex> lock(c.mutex);
    if ((LOG_MASK(LOG_PRI(_priority)) & c.connection.mask) == 0) {
        return;
    }
    c.lines.push_back({LOG_PRI(_priority), text});
    append_to_file(LOG_PRI(_priority), text);
    if (c.connection.open && (c.connection.option & LOG_PERROR) != 0) {
        std::fprintf(stderr, "%s: %s\n", c.connection.ident.c_str(), text.c_str());
    }
}

}  // namespace

std::vector<syslog_line> syslog_lines() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().lines;
}

void clear_syslog_lines() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().lines.clear();
}

syslog_connection current_syslog_connection() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().connection;
}

std::vector<syslog_line> read_syslog_capture(const std::string& _file_name) {
    std::vector<syslog_line> lines;
    std::ifstream file(_file_name);
    syslog_line line{};
    std::size_t size = 0;
    while (file >> line.priority >> size && file.get() == ' ') {
        line.text.assign(size, '\0');
        file.read(&line.text[0], static_cast<std::streamsize>(size));
        file.get();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace test_support

extern "C" {

void openlog(const char* ident, int option, int facility) {
    auto& c = test_support::state();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.connection.open = true;
    c.connection.ident = ident != nullptr ? ident : "";
    c.connection.option = option;
    c.connection.facility = facility;
}

void closelog() {
    auto& c = test_support::state();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.connection.open = false;
}

int setlogmask(int mask) {
    auto& c = test_support::state();
    std::lock_guard<std::mutex> lock(c.mutex);
    const int previous = c.connection.mask;
    if (mask != 0) {
        c.connection.mask = mask;
    }
    return previous;
}

void vsyslog(int priority, const char* format, va_list args) {
    test_support::record(priority, format, args);
}

void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    test_support::record(priority, format, args);
    va_end(args);
}

void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    test_support::record(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int, const char* format, va_list args) {
    test_support::record(priority, format, args);
}

}  // extern "C"
