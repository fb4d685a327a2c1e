#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace kelm {

// A small regular file read whole, with its status. A FIFO would block, a device could be
// read without end and a directory is no file: only a regular file is read, and only up to
// the limit.
struct small_file {
    // Which step failed, and the reason as its text.
    class fault : public std::runtime_error {
    public:
        enum class step { open, read, too_large };
        fault(step _step, const std::string& _why) : std::runtime_error(_why), failed(_step) {}
        const step failed;
    };

    std::string content;
    struct stat status {};

    // Throws fault.
    static small_file read(const std::string& _file_name, std::size_t _max_size);
};

namespace detail {

// Closes the descriptor however reading ends.
class file_descriptor {
public:
    explicit file_descriptor(int _fd) : m_fd(_fd) {}
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor() { ::close(m_fd); }
    int get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace detail

inline small_file small_file::read(const std::string& _file_name, std::size_t _max_size) {
    const detail::file_descriptor file(
        ::open(_file_name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        throw fault(fault::step::open, std::strerror(errno));
    }
    small_file result;
    if (::fstat(file.get(), &result.status) != 0) {
        throw fault(fault::step::read, std::strerror(errno));
    }
    if (!S_ISREG(result.status.st_mode)) {
        throw fault(fault::step::read, "not a regular file");
    }
    if (static_cast<std::size_t>(result.status.st_size) > _max_size) {
        throw fault(fault::step::too_large, "");
    }
    // One byte more than allowed tells a file that grew past the limit since fstat.
    result.content.resize(_max_size + 1);
    std::size_t size = 0;
    while (size < result.content.size()) {
        const ssize_t got = ::read(file.get(), &result.content[size], result.content.size() - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw fault(fault::step::read, std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    if (size > _max_size) {
        throw fault(fault::step::too_large, "");
    }
    result.content.resize(size);
    return result;
}

}  // namespace kelm
