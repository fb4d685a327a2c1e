#pragma once

#include <istream>
#include <string>

namespace kelm {

// The broker's configuration: the two ZeroMQ endpoints it binds.
struct config {
    // Reads a JSON document; throws when it cannot be parsed or lacks an endpoint.
    explicit config(std::istream& _stream);

    struct {
        std::string input_address;
        std::string output_address;
    } system;
};

}  // namespace kelm
