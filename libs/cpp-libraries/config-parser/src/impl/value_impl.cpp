#include "value_impl.hpp"

#include <utility>

namespace kelm::libs::config {

value_impl::value_impl(const Json::Value& _scalar) : m_value(_scalar) {}

value_impl::value_impl(const dictionary& _object) : m_value(std::cref(_object)) {}

value_impl::value_impl(value::array _array) : m_value(std::move(_array)) {}

const Json::Value* value_impl::scalar() const {
    return boost::get<Json::Value>(&m_value);
}

boost::optional<bool> value_impl::as_bool() const {
    const Json::Value* json = scalar();
    if (json == nullptr || !json->isBool()) {
        return boost::none;
    }
    return json->asBool();
}

// A whole-valued real counts as integral; one outside the int range makes jsoncpp throw its
// LogicError, which is left to reach the caller rather than being silently truncated.
boost::optional<int> value_impl::as_int() const {
    const Json::Value* json = scalar();
    if (json == nullptr || !json->isIntegral()) {
        return boost::none;
    }
    return json->asInt();
}

boost::optional<double> value_impl::as_double() const {
    const Json::Value* json = scalar();
    if (json == nullptr) {
        return boost::none;
    }
    switch (json->type()) {
        case Json::intValue:
        case Json::uintValue:
        case Json::realValue:
            return json->asDouble();
        default:
            return boost::none;
    }
}

boost::optional<std::string> value_impl::as_string() const {
    const Json::Value* json = scalar();
    if (json == nullptr || !json->isString()) {
        return boost::none;
    }
    return json->asString();
}

boost::optional<const dictionary&> value_impl::as_object() const {
    if (const auto* object = boost::get<std::reference_wrapper<const dictionary>>(&m_value)) {
        return object->get();
    }
    return boost::none;
}

boost::optional<value::array> value_impl::as_array() const {
    if (const auto* elements = boost::get<value::array>(&m_value)) {
        return *elements;
    }
    return boost::none;
}

}  // namespace kelm::libs::config
