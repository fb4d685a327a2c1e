#pragma once

#include <core/source_location.hpp>

#include <exception>
#include <ostream>
#include <string>

namespace kelm::libs::core {

// Root of the runtime's exceptions: knows where it was thrown.
class located_exception : public std::exception {
public:
    explicit located_exception(source_location _location) : m_source_location(_location) {}

    // "<short file>:<line>" followed by what derived classes add.
    const char* what() const noexcept override;
    virtual std::ostream& describe(std::ostream& _os) const;
    const source_location& get_source_location() const { return m_source_location; }

private:
    source_location m_source_location;
    mutable std::string m_what;
};

class exception : public located_exception {
public:
    exception(std::string _error, source_location _location)
        : located_exception(_location), m_str_error(std::move(_error)) {}

    std::ostream& describe(std::ostream& _os) const override;
    const std::string& get_string_error() const { return m_str_error; }

private:
    std::string m_str_error;
};

// A failed run-time check; the message is the text of the condition.
class check_failed_exception : public exception {
public:
    check_failed_exception(const std::string& _message, source_location _location)
        : exception("check failed: " + _message, _location) {}
};

}  // namespace kelm::libs::core
