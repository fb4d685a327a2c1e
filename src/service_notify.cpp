#include "service_notify.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace kelm {

// The broker needs no more of libsystemd than this, and that library brings six others.
bool notify_service_manager(const char* _state) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(name);
    if (length >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') {
        address.sun_path[0] = '\0';
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const auto address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const bool sent = ::sendto(fd, _state, std::strlen(_state), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&address), address_length) >= 0;
    ::close(fd);
    return sent;
}

}  // namespace kelm
