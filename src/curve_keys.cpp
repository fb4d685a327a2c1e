#include "curve_keys.hpp"

#include "small_file.hpp"

#include <core/exception.hpp>

#include <zmq.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace kelm::curve {
namespace {

constexpr std::size_t z85_key_size = 40;
constexpr std::size_t raw_key_size = 32;
// A key with a few lines of comment is far below this; more is not a key file.
constexpr std::size_t max_key_file_size = 64 << 10;

[[noreturn]] void refuse(const std::string& _text) {
    throw libs::core::exception(_text, KELM_SOURCE_LOCATION());
}

std::string error_text() {
    return std::strerror(errno);
}

small_file read_small_file(const std::string& _file_name) {
    try {
        return small_file::read(_file_name, max_key_file_size);
    } catch (const small_file::fault& _fault) {
        refuse(_fault.failed == small_file::fault::step::too_large
                   ? "Malformed key file " + _file_name + ": larger than 64 KiB"
                   : "Cannot read key file " + _file_name + ": " + _fault.what());
    }
}

bool is_z85_key(const std::string& _text) {
    static const std::string alphabet =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-:+=^!/*?&<>()[]{}@%$#";
    return _text.size() == z85_key_size && _text.find_first_not_of(alphabet) == std::string::npos;
}

std::string parse_key(const std::string& _content, const std::string& _file_name) {
    std::size_t start = 0;
    while (start < _content.size()) {
        auto end = _content.find('\n', start);
        if (end == std::string::npos) {
            end = _content.size();
        }
        const std::string line = _content.substr(start, end - start);
        start = end + 1;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const std::string key = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        if (!is_z85_key(key)) {
            refuse("Malformed key file " + _file_name + ": its key is not 40 Z85 characters");
        }
        return key;
    }
    refuse("Malformed key file " + _file_name + ": no key in it");
}

std::string decode(const std::string& _z85_key) {
    std::string raw(raw_key_size, '\0');
    zmq_z85_decode(reinterpret_cast<std::uint8_t*>(raw.data()), _z85_key.c_str());
    return raw;
}

bool is_public_key_file(const std::string& _name) {
    const std::string suffix = ".pub";
    return _name.size() > suffix.size() &&
           _name.compare(_name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string read_public_key(const std::string& _file_name) {
    return parse_key(read_small_file(_file_name).content, _file_name);
}

key_pair read_secret_key(const std::string& _file_name) {
    const auto file = read_small_file(_file_name);
    if (file.status.st_uid != ::geteuid()) {
        refuse("Secret key file " + _file_name + " belongs to uid " +
               std::to_string(file.status.st_uid) + ", not to uid " + std::to_string(::geteuid()) +
               " that reads it");
    }
    if ((file.status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        refuse("Secret key file " + _file_name +
               " is readable by group or others: make it mode 0600 or 0400");
    }
    key_pair keys;
    keys.secret_key = parse_key(file.content, _file_name);
    std::array<char, z85_key_size + 1> public_key{};
    if (zmq_curve_public(public_key.data(), keys.secret_key.c_str()) != 0) {
        refuse("Cannot derive the public key of " + _file_name + ": " + zmq_strerror(zmq_errno()));
    }
    keys.public_key = public_key.data();
    return keys;
}

std::set<std::string> read_key_folder(const std::string& _folder) {
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(_folder.c_str()), ::closedir);
    if (!folder) {
        refuse("Cannot read key folder " + _folder + ": " + error_text());
    }
    std::set<std::string> keys;
    errno = 0;
    while (const dirent* entry = ::readdir(folder.get())) {
        if (is_public_key_file(entry->d_name)) {
            keys.insert(decode(read_public_key(_folder + "/" + entry->d_name)));
        }
        errno = 0;
    }
    if (errno != 0) {
        refuse("Cannot read key folder " + _folder + ": " + error_text());
    }
    return keys;
}

std::string encode(const std::string& _raw_key) {
    std::array<char, z85_key_size + 1> text{};
    zmq_z85_encode(text.data(), reinterpret_cast<const std::uint8_t*>(_raw_key.data()),
                   _raw_key.size());
    return text.data();
}

}  // namespace kelm::curve
