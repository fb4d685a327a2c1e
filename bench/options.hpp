#pragma once

#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

namespace quorvane::bench {

// Reads "--name N" pairs into the named counts (each at least 1); --help prints the
// usage and exits, anything else throws with the usage attached.
template <class T>
void parse_counts(int _argc, char** _argv, const char* _usage,
                  std::initializer_list<std::pair<const char*, T*>> _counts) {
    for (int i = 1; i < _argc; ++i) {
        const std::string name = _argv[i];
        if (name == "--help") {
            std::cout << _usage;
            std::exit(0);
        }
        if (i + 1 == _argc) {
            throw std::invalid_argument(name + " needs a value\n" + _usage);
        }
        const std::string value = _argv[++i];
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
            std::stoull(value) < 1) {
            throw std::invalid_argument(name + " takes a count of at least 1\n" + _usage);
        }
        bool known = false;
        for (const auto& [count_name, count] : _counts) {
            if (name == count_name) {
                *count = static_cast<T>(std::stoull(value));
                known = true;
            }
        }
        if (!known) {
            throw std::invalid_argument("unknown option " + name + "\n" + _usage);
        }
    }
}

}  // namespace quorvane::bench
