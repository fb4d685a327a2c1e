#pragma once

#include <core/exception.hpp>
#include <core/source_location.hpp>

namespace kelm::libs::core::http {

enum class method { get = 0, post = 1, put = 2, del = 3, _count = 4 };

// The request method as it goes on the wire.
inline const char* to_string(method _method) {
    switch (_method) {
        case method::get:
            return "GET";
        case method::post:
            return "POST";
        case method::put:
            return "PUT";
        case method::del:
            return "DELETE";
        default:
            break;
    }
    throw exception("Unknown enumeration value", KELM_SOURCE_LOCATION());
}

}  // namespace kelm::libs::core::http
