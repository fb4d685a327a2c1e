#pragma once

#include <config_parser/config.hpp>

#include <memory>
#include <sstream>
#include <string>

namespace kelm::libs::config::test {

inline std::unique_ptr<config> parse(const std::string& _document) {
    std::istringstream stream(_document);
    return config::create<type::json>(stream);
}

}  // namespace kelm::libs::config::test
