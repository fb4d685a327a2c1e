#pragma once

#include <config_parser/value.hpp>

#include <boost/optional.hpp>

#include <string>
#include <vector>

namespace kelm::libs::config {

class dictionary {
public:
    virtual ~dictionary() = default;

    virtual boost::optional<const value&> get_value(const std::string& _key) const = 0;
    virtual std::vector<std::string> get_keys() const = 0;
};

}  // namespace kelm::libs::config
