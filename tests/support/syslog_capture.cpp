#include "syslog_capture.hpp"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <utility>

namespace test_support {

namespace {

struct capture {
    std::mutex mutex;
    std::string ident;
    int option = 0;
    int mask = 0xff;
    std::vector<syslog_line> lines;
};

capture& state() {
    static capture* instance = new capture;  // outlives static destructors that still log
    return *instance;
}

void record(int _priority, const char* _format, va_list _args) {
    char text[8192];
    std::vsnprintf(text, sizeof(text), _format, _args);
    std::lock_guard<std::mutex> lock(state().mutex);
    if ((LOG_MASK(LOG_PRI(_priority)) & state().mask) == 0) {
        return;
    }
    state().lines.push_back({LOG_PRI(_priority), text});
    // Records are "<priority> <text>" ended by a NUL: texts may hold line feeds, never a NUL.
    const char* file_name = std::getenv("QUORVANE_SYSLOG_CAPTURE");
    if (FILE* file = file_name != nullptr ? std::fopen(file_name, "a") : nullptr) {
        std::fprintf(file, "%d %s%c", LOG_PRI(_priority), text, '\0');
        std::fclose(file);
    }
    if ((state().option & LOG_PERROR) != 0) {
        std::fprintf(stderr, "%s: %s\n", state().ident.c_str(), text);
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

std::vector<std::string> take_syslog_texts() {
    std::vector<std::string> texts;
    for (const auto& line : syslog_lines()) {
        texts.push_back(line.text);
    }
    clear_syslog_lines();
    return texts;
}

std::vector<syslog_line> read_syslog_capture(const std::string& _file_name) {
    std::vector<syslog_line> lines;
    std::ifstream file(_file_name);
    syslog_line line{};
    while (file >> line.priority && file.get() == ' ' && std::getline(file, line.text, '\0')) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace test_support

using test_support::state;

extern "C" {

void openlog(const char* ident, int option, int) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().ident = ident != nullptr ? ident : "";
    state().option = option;
}

int setlogmask(int mask) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return std::exchange(state().mask, mask != 0 ? mask : state().mask);
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

}  // extern "C"
