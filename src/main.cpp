#include "config.hpp"

#include <core/get_config_file_name.hpp>
#include <core/logger.hpp>

#include <sysexits.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace {

using kelm::libs::core::logger;

// A configuration file that cannot be opened fails like an unreadable document, but
// says which file and why instead of what the JSON reader makes of an empty stream.
std::ifstream open_config(const std::string& _file_name) {
    std::ifstream stream(_file_name, std::ios_base::in);
    if (!stream) {
        throw std::runtime_error("Cannot parse json: cannot open " + _file_name + ": " +
                                 std::strerror(errno));
    }
    return stream;
}

}  // namespace

int main(int argc, char** argv) {
    logger log("quorvane", "main");

    // What a failure of the current start-up step tells the service manager.
    int failure_status = EX_USAGE;
    const bool clean = log.execute([&] {
        try {
            log.set_writing_to_socket(false);
            const auto file_name = kelm::libs::core::get_config_file_name(argc, argv);
            failure_status = EX_CONFIG;
            auto stream = open_config(file_name);
            const kelm::config configuration(stream);
            failure_status = EXIT_FAILURE;
        } catch (...) {
            // The system log may not be where the person starting the broker looks.
            std::cerr << kelm::libs::core::exception_to_string() << std::endl;
            throw;
        }
    });
    return clean ? EXIT_SUCCESS : failure_status;
}
