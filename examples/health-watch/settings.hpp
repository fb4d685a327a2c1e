#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace health_watch {

// What the service is told to do, read from the object "health_watch" of a JSON file.
struct settings {
    std::vector<std::string> urls;
    std::chrono::milliseconds period{0};
    std::string redis_host;
    int redis_port = 0;
    int redis_db = 0;
    // Where log lines and results go: a broker's PULL input.
    std::string broker_input;
};

// Throws, naming every member that is missing or wrong, when the file cannot be used.
settings read_settings(const std::string& _file_name);

}  // namespace health_watch
