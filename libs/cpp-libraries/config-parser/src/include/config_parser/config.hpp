#pragma once

#include <config_parser/dictionary.hpp>
#include <config_parser/result.hpp>
#include <config_parser/value.hpp>

#include <boost/algorithm/string/join.hpp>
#include <boost/optional.hpp>

#include <functional>
#include <initializer_list>
#include <istream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>

namespace kelm::libs::config {

enum class type { json = 0 };

class config {
public:
    using object = const dictionary&;

    virtual ~config() = default;

    virtual object get_root() const = 0;

    // Throws std::runtime_error when the stream does not hold a valid document.
    template <type T>
    static std::unique_ptr<config> create(std::istream& _stream);

    // Provided for std::string and const dictionary&.
    template <typename T>
    boost::optional<T> get(const std::string& _name) const;

    // Provided for std::string and int.
    template <typename T>
    result<T> get_by_path(std::initializer_list<std::string> _path) const;

    config(const config&) = delete;
    config& operator=(const config&) = delete;

protected:
    config() = default;

private:
    result<std::reference_wrapper<const dictionary>> find_parent(
        std::initializer_list<std::string> _path) const;
};

template <>
std::unique_ptr<config> config::create<type::json>(std::istream& _stream);

template <>
inline boost::optional<std::string> config::get<std::string>(const std::string& _name) const {
    if (auto found = get_root().get_value(_name)) {
        return found->as_string();
    }
    return boost::none;
}

template <>
inline boost::optional<const dictionary&> config::get<const dictionary&>(
    const std::string& _name) const {
    if (auto found = get_root().get_value(_name)) {
        return found->as_object();
    }
    return boost::none;
}

// Walks every key but the last through nested objects; the last key is left to the caller.
inline result<std::reference_wrapper<const dictionary>> config::find_parent(
    std::initializer_list<std::string> _path) const {
    std::reference_wrapper<const dictionary> current = get_root();
    if (_path.size() < 2) {
        return current;
    }
    const std::string suffix = ", path: " + boost::algorithm::join(_path, ".");
    std::string prefix;
    for (auto key = _path.begin(); key != std::prev(_path.end()); ++key) {
        if (key != _path.begin()) {
            prefix += '.';
        }
        prefix += *key;
        auto found = current.get().get_value(*key);
        auto nested = found ? found->as_object() : boost::none;
        if (!nested) {
            return error_reason{"Can not find object <object>: " + prefix + suffix};
        }
        current = *nested;
    }
    return current;
}

template <>
inline result<std::string> config::get_by_path<std::string>(
    std::initializer_list<std::string> _path) const {
    auto parent = find_parent(_path);
    if (!parent.ok()) {
        return error_reason{parent.reason()};
    }
    // An empty path names no field; it fails like a missing one rather than reading past the end.
    if (_path.size() > 0) {
        if (auto found = parent.value().get().get_value(*std::prev(_path.end()))) {
            if (auto text = found->as_string()) {
                return *text;
            }
        }
    }
    return error_reason{"Can not find field <string>: " + boost::algorithm::join(_path, ".")};
}

// A whole number in the range of int; a fraction or a number out of range fails like a value of
// another type, rather than being cut to fit.
template <>
inline result<int> config::get_by_path<int>(std::initializer_list<std::string> _path) const {
    auto parent = find_parent(_path);
    if (!parent.ok()) {
        return error_reason{parent.reason()};
    }
    if (_path.size() > 0) {
        if (auto found = parent.value().get().get_value(*std::prev(_path.end()))) {
            const auto number = found->as_double();
            if (number && *number >= std::numeric_limits<int>::min() &&
                *number <= std::numeric_limits<int>::max()) {
                if (auto whole = found->as_int()) {
                    return *whole;
                }
            }
        }
    }
    return error_reason{"Can not find field <int>: " + boost::algorithm::join(_path, ".")};
}

}  // namespace kelm::libs::config
