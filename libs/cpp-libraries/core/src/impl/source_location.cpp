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
    return _path.substr(std::min(constants::source_directory.size(), _path.size()));
}

}  // namespace kelm::libs::core
