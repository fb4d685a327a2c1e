#include "tool.hpp"

#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace quorvane::tools {

int fail(const char* _program, const std::string& _text, int _status) {
    std::cerr << _program << ": " << _text << std::endl;
    return _status;
}

int connect_failure_status(const boost::system::error_code& _error) {
    return _error.value() == EINVAL ? EX_USAGE : EXIT_FAILURE;
}

std::string connect_failure_text(const std::string& _address,
                                 const boost::system::error_code& _error) {
    return (_error.value() == EINVAL ? "malformed endpoint " : "cannot connect to ") + _address +
           ": " + _error.message();
}

}  // namespace quorvane::tools
