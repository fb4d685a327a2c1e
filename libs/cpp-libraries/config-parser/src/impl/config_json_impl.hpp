#pragma once

#include "dictionary_impl.hpp"
#include "value_impl.hpp"

#include <config_parser/config.hpp>

#include <json/json.h>

#include <istream>
#include <list>
#include <string>
#include <vector>

namespace kelm::libs::config {

class config_json_impl final : public config {
public:
    explicit config_json_impl(std::istream& _stream);

    object get_root() const override;

private:
    void process_value(const Json::Value& _json, const std::string& _key, dictionary_impl& _target);
    void process_array(const Json::Value& _json, std::vector<value_impl>& _target);
    dictionary_impl& fill_dictionary(const Json::Value& _json);

    // Values refer into these containers, so their elements must never move once created:
    // std::list keeps every dictionary and every element vector at a fixed address.
    std::list<dictionary_impl> m_dictionaries;
    std::list<std::vector<value_impl>> m_arrays;
};

}  // namespace kelm::libs::config
