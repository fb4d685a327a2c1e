#pragma once

#include <boost/current_function.hpp>
#include <boost/utility/string_view.hpp>

#include <cstdint>

namespace kelm::libs::core {

// A place in the source: line, file and the compiler's pretty function signature.
// All texts are static (string literals), so copies are cheap and never dangle.
class source_location {
public:
    source_location() = default;
    source_location(std::int64_t _line, boost::string_view _file, boost::string_view _function)
        : m_line(_line), m_file(_file), m_function(_function) {}

    std::int64_t line() const { return m_line; }
    boost::string_view file() const { return m_file; }
    boost::string_view function() const { return m_function; }

    // The file relative to the source tree root, e.g. "/src/main.cpp".
    boost::string_view short_file() const { return remove_directory_prefix(m_file); }
    // The qualified name without return type and parameters,
    // e.g. "kelm::libs::core::periodic_timer_impl::restart_impl".
    boost::string_view short_function() const;

    static boost::string_view remove_directory_prefix(boost::string_view _path);

private:
    std::int64_t m_line = 0;
    boost::string_view m_file = "unknown file";
    boost::string_view m_function = "unknown function";
};

}  // namespace kelm::libs::core

#define KELM_SOURCE_LOCATION() \
    ::kelm::libs::core::source_location(__LINE__, __FILE__, BOOST_CURRENT_FUNCTION)
