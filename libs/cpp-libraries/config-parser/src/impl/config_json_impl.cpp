#include "config_json_impl.hpp"

#include <boost/throw_exception.hpp>

#include <stdexcept>

namespace kelm::libs::config {

template <>
std::unique_ptr<config> config::create<type::json>(std::istream& _stream) {
    return std::make_unique<config_json_impl>(_stream);
}

config_json_impl::config_json_impl(std::istream& _stream) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, _stream, &root, &errors);
    } catch (const Json::Exception& _error) {
        // jsoncpp throws, instead of reporting, a document nested deeper than it reads.
        errors = _error.what();
    }
    if (!parsed) {
        boost::throw_exception(std::runtime_error("Cannot parse json: " + errors),
                               BOOST_CURRENT_LOCATION);
    }
    dictionary_impl& top = m_dictionaries.emplace_back();
    for (auto member = root.begin(); member != root.end(); ++member) {
        process_value(*member, member.name(), top);
    }
}

config::object config_json_impl::get_root() const {
    return m_dictionaries.front();
}

void config_json_impl::process_value(const Json::Value& _json, const std::string& _key,
                                     dictionary_impl& _target) {
    if (_json.isObject()) {
        _target.add_value(_key, value_impl(fill_dictionary(_json)));
    } else if (_json.isArray()) {
        std::vector<value_impl>& elements = m_arrays.emplace_back();
        process_array(_json, elements);
        _target.add_value(_key, value_impl(value::array(elements)));
    } else {
        _target.add_value(_key, value_impl(_json));
    }
}

// A range over a vector is only taken once that vector is complete, since growing it would
// invalidate the range's iterators.
void config_json_impl::process_array(const Json::Value& _json, std::vector<value_impl>& _target) {
    _target.reserve(_json.size());
    for (const Json::Value& element : _json) {
        if (element.isObject()) {
            _target.emplace_back(fill_dictionary(element));
        } else if (element.isArray()) {
            std::vector<value_impl>& nested = m_arrays.emplace_back();
            process_array(element, nested);
            _target.emplace_back(value::array(nested));
        } else {
            _target.emplace_back(element);
        }
    }
}

dictionary_impl& config_json_impl::fill_dictionary(const Json::Value& _json) {
    dictionary_impl& object = m_dictionaries.emplace_back();
    for (auto member = _json.begin(); member != _json.end(); ++member) {
        process_value(*member, member.name(), object);
    }
    return object;
}

}  // namespace kelm::libs::config
