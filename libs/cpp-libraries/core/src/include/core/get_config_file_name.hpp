#pragma once

#include <core/exception.hpp>

#include <unistd.h>

#include <string>

namespace kelm::libs::core {

// The configuration file named by "-c path" on the command line; the last -c wins.
// Throws exception on an unknown option, a -c without argument, or no file at all.
inline std::string get_config_file_name(int argc, char** argv) {
    const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    // getopt keeps its position in globals; 0 makes glibc's getopt start over completely.
    ::optind = 0;
    std::string result;
    int option = 0;
    while ((option = ::getopt(argc, argv, "c:")) != -1) {
        if (option != 'c') {
            throw exception("Usage: " + program + " -c config_file", KELM_SOURCE_LOCATION());
        }
        result = ::optarg;
    }
    if (result.empty()) {
        throw exception(
            "The configuration file is not defined! Usage: " + program + " -c config_file",
            KELM_SOURCE_LOCATION());
    }
    return result;
}

}  // namespace kelm::libs::core
