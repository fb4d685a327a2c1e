#include "settings.hpp"

#include <config_parser/config.hpp>
#include <config_parser/dictionary.hpp>
#include <config_parser/result.hpp>
#include <config_parser/value.hpp>
#include <core/exception.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace health_watch {
namespace {

namespace cfg = kelm::libs::config;

// Each look-up adds its failure to the list instead of throwing, so that one run of the
// program names everything that is wrong with the file.
class reader {
public:
    explicit reader(const cfg::config& _document) : m_document(_document) {}

    std::string text(std::initializer_list<std::string> _path) {
        return keep(m_document.get_by_path<std::string>(_path), std::string());
    }

    int number(std::initializer_list<std::string> _path, int _low,
               int _high = std::numeric_limits<int>::max()) {
        const int found = keep(m_document.get_by_path<int>(_path), _low);
        if (found < _low) {
            fail("Field must be at least " + std::to_string(_low) + ": " + join(_path));
        } else if (found > _high) {
            fail("Field must be at most " + std::to_string(_high) + ": " + join(_path));
        }
        return found;
    }

    // A non-empty array of strings.
    std::vector<std::string> texts(const std::string& _object, const std::string& _name) {
        const auto object = m_document.get<const cfg::dictionary&>(_object);
        const auto value = object ? object->get_value(_name) : boost::none;
        const auto array = value ? value->as_array() : boost::none;
        std::vector<std::string> result;
        std::size_t elements = 0;
        if (array) {
            for (const auto& element : *array) {
                ++elements;
                if (const auto text = element.as_string()) {
                    result.push_back(*text);
                }
            }
        }
        if (result.empty() || result.size() != elements) {
            fail("Field must be a non-empty array of strings: " + _object + "." + _name);
        }
        return result;
    }

    // Throws with every failure, one per line.
    void check() const {
        if (!m_failures.empty()) {
            throw kelm::libs::core::exception("Config file is invalid: " + m_failures,
                                              KELM_SOURCE_LOCATION());
        }
    }

private:
    template <class T>
    T keep(const cfg::result<T>& _result, T _otherwise) {
        if (_result.ok()) {
            return _result.value();
        }
        fail(_result.reason());
        return _otherwise;
    }

    void fail(const std::string& _reason) {
        m_failures += (m_failures.empty() ? "" : "\n") + _reason;
    }

    static std::string join(std::initializer_list<std::string> _path) {
        std::string result;
        for (const auto& key : _path) {
            result += (result.empty() ? "" : ".") + key;
        }
        return result;
    }

    const cfg::config& m_document;
    std::string m_failures;
};

}  // namespace

settings read_settings(const std::string& _file_name) {
    std::ifstream file(_file_name);
    if (!file) {
        throw std::runtime_error("Cannot read " + _file_name + ": " + std::strerror(errno));
    }
    // Throws std::runtime_error when the file is not JSON.
    const auto document = cfg::config::create<cfg::type::json>(file);
    reader read(*document);
    settings result;
    result.urls = read.texts("health_watch", "urls");
    result.period = std::chrono::milliseconds(read.number({"health_watch", "period_ms"}, 1));
    result.redis_host = read.text({"health_watch", "redis", "host"});
    result.redis_port = read.number({"health_watch", "redis", "port"}, 1, 65535);
    result.redis_db = read.number({"health_watch", "redis", "db"}, 0);
    result.broker_input = read.text({"health_watch", "broker_input"});
    read.check();
    return result;
}

}  // namespace health_watch
