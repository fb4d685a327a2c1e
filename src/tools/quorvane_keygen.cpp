// quorvane-keygen: makes a CURVE key pair for a broker, a producer or a subscriber.
#include "tool.hpp"

#include <zmq.h>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

namespace tools = quorvane::tools;

const char* const program = "quorvane-keygen";

const char* const usage =
    "Usage: quorvane-keygen NAME\n"
    "Makes a CURVE key pair: writes the secret key to NAME.secret, readable by its owner\n"
    "only, and the public key to NAME.pub, and prints the public key. Existing files are\n"
    "never overwritten.\n"
    "\n"
    "A broker reads its NAME.secret from \"secret_key_file\" of \"curve\" in its\n"
    "configuration, and the NAME.pub of each producer and subscriber from the folders\n"
    "\"producers\" and \"subscribers\". quorvane-pub and quorvane-sub take the broker's\n"
    "NAME.pub with --server-key and their own NAME.secret with --key.\n"
    "\n"
    "  -h, --help  print this help\n"
    "\n"
    "Exit status: 0 when both files are written, 64 for a bad option or no NAME, 1 when a\n"
    "file exists already or cannot be written.\n";

constexpr int secret_mode = 0600;
constexpr int public_mode = 0644;

struct options {
    bool help = false;
    std::string name;
};

options parse(int argc, char** argv) {
    static const ::option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                            {nullptr, 0, nullptr, 0}};
    options result;
    ::opterr = 0;
    ::optind = 0;
    int option = 0;
    while ((option = ::getopt_long(argc, argv, ":h", long_options, nullptr)) != -1) {
        if (option != 'h') {
            tools::refuse_option(option, argv);
        }
        result.help = true;
    }
    if (result.help) {
        return result;
    }
    if (::optind + 1 != argc || argv[::optind][0] == '\0') {
        throw tools::usage_error("give one NAME (see --help)");
    }
    result.name = argv[::optind];
    return result;
}

// Writes a new file, failing if it exists; the mode is set whatever the umask.
std::string write_new(const std::string& _file_name, const std::string& _content, int _mode) {
    const int fd = ::open(_file_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, _mode);
    if (fd < 0) {
        return errno == EEXIST ? _file_name + " exists already: nothing written"
                               : "cannot write " + _file_name + ": " + std::strerror(errno);
    }
    std::string failure;
    if (::fchmod(fd, _mode) != 0 ||
        ::write(fd, _content.data(), _content.size()) != static_cast<ssize_t>(_content.size())) {
        failure = "cannot write " + _file_name + ": " + std::strerror(errno);
    }
    if (::close(fd) != 0 && failure.empty()) {
        failure = "cannot write " + _file_name + ": " + std::strerror(errno);
    }
    if (!failure.empty()) {
        ::unlink(_file_name.c_str());
    }
    return failure;
}

int generate(const options& _options, const kelm::libs::core::logger&) {
    char public_key[41];
    char secret_key[41];
    if (zmq_curve_keypair(public_key, secret_key) != 0) {
        return tools::fail(program, std::string("cannot make keys: ") + zmq_strerror(zmq_errno()),
                           EXIT_FAILURE);
    }
    const std::string secret_file = _options.name + ".secret";
    const std::string public_file = _options.name + ".pub";
    // Both exist or neither: the secret key goes first, and is removed when its pair fails.
    std::string failure = write_new(
        secret_file,
        "# CURVE secret key of " + _options.name + ": keep it to its owner\n" + secret_key + "\n",
        secret_mode);
    if (failure.empty()) {
        failure = write_new(public_file,
                            "# CURVE public key of " + _options.name + "\n" + public_key + "\n",
                            public_mode);
        if (!failure.empty()) {
            ::unlink(secret_file.c_str());
        }
    }
    if (!failure.empty()) {
        return tools::fail(program, failure, EXIT_FAILURE);
    }
    std::cout << public_key << std::endl;
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    return tools::run_tool(program, usage, argc, argv, parse, generate);
}
