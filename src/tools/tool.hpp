#pragma once

#include <boost/system/error_code.hpp>

#include <sysexits.h>

#include <stdexcept>
#include <string>

namespace quorvane::tools {

// A command line that cannot be followed; its text is the whole message.
class usage_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Prints "<program>: <text>" as one line on standard error and answers the status.
int fail(const char* _program, const std::string& _text, int _status);

// What a refused connect means to the user: ZeroMQ refuses a malformed endpoint with
// EINVAL, which is a usage error; anything else (an unsupported transport, one the
// socket type cannot use) is a plain failure.
int connect_failure_status(const boost::system::error_code& _error);

// The text for a refused connect, with ZeroMQ's reason.
std::string connect_failure_text(const std::string& _address,
                                 const boost::system::error_code& _error);

}  // namespace quorvane::tools
