#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace kelm::libs::core {

// Wall-clock time in milliseconds since the Unix epoch.
class timestamp {
public:
    explicit timestamp(std::int64_t _milliseconds) : m_time_point(_milliseconds) {}

    static timestamp now() {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return timestamp(static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
    }

    std::int64_t milliseconds() const { return m_time_point; }

    // UTC, e.g. "2024-03-05 07:04:09.042".
    std::string to_string() const {
        // Floor division keeps times before the epoch in range of the calendar fields.
        std::int64_t seconds = m_time_point / 1000;
        std::int64_t millis = m_time_point % 1000;
        if (millis < 0) {
            millis += 1000;
            seconds -= 1;
        }
        const std::time_t t = static_cast<std::time_t>(seconds);
        std::tm broken_down{};
        ::gmtime_r(&t, &broken_down);
        char text[25] = {};
        std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &broken_down);
        text[10] = ' ';
        char fraction[5] = {'.', static_cast<char>('0' + millis / 100),
                            static_cast<char>('0' + millis / 10 % 10),
                            static_cast<char>('0' + millis % 10), '\0'};
        return std::string(text) + fraction;
    }

private:
    std::int64_t m_time_point;
};

}  // namespace kelm::libs::core
