#include "tool.hpp"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace quorvane::tools {

void refuse_option(int _option, char** _argv) {
    const std::string option = _argv[::optind - 1];
    throw usage_error(_option == ':' ? "option " + option + " needs an argument"
                                     : "unknown option " + option + " (see --help)");
}

void require_endpoints(bool _help, const std::vector<std::string>& _addresses) {
    if (!_help && _addresses.empty()) {
        throw usage_error("no endpoint: give -a ENDPOINT (see --help)");
    }
}

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
