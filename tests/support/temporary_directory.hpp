#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace test_support {

inline std::string read_file(const std::string& _file_name) {
    std::ifstream file(_file_name);
    return {std::istreambuf_iterator<char>(file), {}};
}

// A temporary directory, removed with everything in it.
class temporary_directory {
    char m_template[26] = "/tmp/quorvane-test-XXXXXX";

public:
    // std::string throws on the null pointer of a failed mkdtemp.
    const std::string path{::mkdtemp(m_template)};

    temporary_directory() = default;
    ~temporary_directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    temporary_directory(const temporary_directory&) = delete;

    std::string write_file(const std::string& _name, const std::string& _content) const {
        std::ofstream(path + "/" + _name) << _content;
        return path + "/" + _name;
    }
};

}  // namespace test_support
