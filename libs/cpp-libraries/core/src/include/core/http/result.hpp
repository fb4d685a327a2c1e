#pragma once

#include <boost/optional.hpp>

#include <string>
#include <utility>

namespace kelm::libs::core::http {

// What a request came to: the body of a 2xx answer as data; the body of any other
// answer, or the reason no answer came, as error. The status is there whenever the
// server answered.
class result {
public:
    result(std::string _body, int _code) : m_code(_code) {
        if (_code >= 200 && _code <= 299) {
            m_data = std::move(_body);
        } else {
            m_error = std::move(_body);
        }
    }
    explicit result(std::string _error) : m_error(std::move(_error)) {}

    bool ok() const { return m_data.has_value(); }
    boost::optional<int> status_code() const { return m_code; }
    boost::optional<const std::string&> data() const& {
        return m_data ? boost::optional<const std::string&>(*m_data) : boost::none;
    }
    boost::optional<std::string> data() && { return std::move(m_data); }
    boost::optional<std::string> error() const { return m_error; }

private:
    boost::optional<int> m_code;
    boost::optional<std::string> m_data;
    boost::optional<std::string> m_error;
};

}  // namespace kelm::libs::core::http
