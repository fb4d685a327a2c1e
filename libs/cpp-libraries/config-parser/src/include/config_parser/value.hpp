#pragma once

#include <boost/optional.hpp>
#include <boost/range/any_range.hpp>

#include <string>

namespace kelm::libs::config {

class dictionary;

class value {
public:
    using array = boost::any_range<value, boost::bidirectional_traversal_tag, value&, long>;

    virtual ~value() = default;

    virtual boost::optional<bool> as_bool() const = 0;
    virtual boost::optional<int> as_int() const = 0;
    virtual boost::optional<double> as_double() const = 0;
    virtual boost::optional<std::string> as_string() const = 0;
    virtual boost::optional<const dictionary&> as_object() const = 0;
    virtual boost::optional<array> as_array() const = 0;

protected:
    // Array elements are handed out as `value&`; keeping copies protected stops a caller from
    // slicing one element over another in the immutable tree.
    value() = default;
    value(const value&) = default;
    value& operator=(const value&) = default;
};

}  // namespace kelm::libs::config
