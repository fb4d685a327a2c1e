#include <core/source_location.hpp>
#include <core/version.hpp>

#include <algorithm>

namespace kelm::libs::core {

boost::string_view source_location::short_function() const {
    const auto paren = m_function.find('(');
    if (paren == boost::string_view::npos) {
        return m_function;
    }
    const auto start = m_function.rfind("kelm::", paren);
    if (start == boost::string_view::npos) {
        return m_function;
    }
    return m_function.substr(start, paren - start);
}

boost::string_view source_location::remove_directory_prefix(boost::string_view _path) {
    // Only the length is used: the build knows the prefix, so it is not compared.
    // A shorter path loses all of it; the empty view still ends where the path did.
    const auto root = std::min(constants::source_directory.size(), _path.size());
    // A compiler cache may hand the compiler a path relative to the build directory
    // ("../../src/main.cpp"); from a build directory inside the tree, the climb ends at its root.
    auto start = root;
    while (_path.substr(start).starts_with("../")) {
        start += 3;
    }
    // The separator before the first folder stays, as in "/src/main.cpp".
    return _path.substr(start > root ? start - 1 : start);
}

}  // namespace kelm::libs::core
