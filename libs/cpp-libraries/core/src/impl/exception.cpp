#include <core/exception.hpp>

#include <sstream>

namespace kelm::libs::core {

const char* located_exception::what() const noexcept {
    try {
        std::ostringstream os;
        describe(os);
        m_what = os.str();
        return m_what.c_str();
    } catch (...) {
        return "kelm::libs::core::located_exception";
    }
}

std::ostream& located_exception::describe(std::ostream& _os) const {
    return _os << m_source_location.short_file() << ':' << m_source_location.line();
}

std::ostream& exception::describe(std::ostream& _os) const {
    return located_exception::describe(_os) << ' ' << m_str_error;
}

}  // namespace kelm::libs::core
