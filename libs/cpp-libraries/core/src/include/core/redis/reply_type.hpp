#pragma once

#include <core/exception.hpp>
#include <core/source_location.hpp>

#include <boost/utility/string_view.hpp>

namespace kelm::libs::core::redis {

// The type codes of hiredis's reply records, so a record's type converts unchanged.
enum class reply_type {
    STRING = 1,
    ARRAY = 2,
    INTEGER = 3,
    NIL = 4,
    STATUS = 5,
    ERROR = 6,
    _count = 7,
};

inline boost::string_view to_string(reply_type _type) {
    switch (_type) {
        case reply_type::STRING:
            return "string";
        case reply_type::ARRAY:
            return "array";
        case reply_type::INTEGER:
            return "integer";
        case reply_type::NIL:
            return "nil";
        case reply_type::STATUS:
            return "status";
        case reply_type::ERROR:
            return "error";
        default:
            throw exception("Unknown enumeration value", KELM_SOURCE_LOCATION());
    }
}

}  // namespace kelm::libs::core::redis
