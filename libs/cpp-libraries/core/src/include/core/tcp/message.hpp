#pragma once

#include <boost/utility/string_view.hpp>

namespace kelm::libs::core::tcp {

// Bytes to send; the caller owns them.
using message = boost::string_view;

}  // namespace kelm::libs::core::tcp
