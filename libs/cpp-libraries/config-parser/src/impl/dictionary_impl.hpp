#pragma once

#include "value_impl.hpp"

#include <config_parser/dictionary.hpp>

#include <map>
#include <string>
#include <vector>

namespace kelm::libs::config {

class dictionary_impl final : public dictionary {
public:
    // Keeps the first value stored under a key.
    void add_value(const std::string& _key, value_impl _value);

    boost::optional<const value&> get_value(const std::string& _key) const override;
    std::vector<std::string> get_keys() const override;

private:
    std::map<std::string, value_impl> m_data;
};

}  // namespace kelm::libs::config
