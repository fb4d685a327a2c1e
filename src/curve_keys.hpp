#pragma once

#include <set>
#include <string>

namespace kelm::curve {

// CURVE keys as their 40 Z85 characters, the form ZeroMQ's options take and files hold.
//
// A key file holds one key on its first line that is neither blank nor starts with '#'. Every
// reader throws libs::core::exception with a reason that names the file.

// The key of a file of public keys.
std::string read_public_key(const std::string& _file_name);

struct key_pair {
    std::string public_key;
    std::string secret_key;
};

// A secret key and the public key it implies. The file must belong to the user reading it and be
// unreadable by group and others, so a key that leaked to other users is not used.
key_pair read_secret_key(const std::string& _file_name);

// The keys of the *.pub files of a folder, as their 32 raw bytes, which is how ZeroMQ hands
// a peer's key to its authenticator; other files are ignored.
std::set<std::string> read_key_folder(const std::string& _folder);

// The Z85 text of a raw key of 32 bytes.
std::string encode(const std::string& _raw_key);

}  // namespace kelm::curve
