#pragma once

#include <config_parser/dictionary.hpp>
#include <config_parser/value.hpp>

#include <json/json.h>

#include <boost/variant.hpp>

#include <functional>

namespace kelm::libs::config {

class value_impl final : public value {
public:
    using data =
        boost::variant<Json::Value, std::reference_wrapper<const dictionary>, value::array>;

    explicit value_impl(const Json::Value& _scalar);
    explicit value_impl(const dictionary& _object);
    explicit value_impl(value::array _array);

    boost::optional<bool> as_bool() const override;
    boost::optional<int> as_int() const override;
    boost::optional<double> as_double() const override;
    boost::optional<std::string> as_string() const override;
    boost::optional<const dictionary&> as_object() const override;
    boost::optional<value::array> as_array() const override;

private:
    const Json::Value* scalar() const;

    data m_value;
};

}  // namespace kelm::libs::config
