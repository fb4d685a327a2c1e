#include <service_notify.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

namespace {

// The service manager's end: a datagram socket bound to _name, a path or "@" and an abstract
// name. Returns its descriptor.
int bind_manager(const std::string& _name) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::memcpy(address.sun_path, _name.data(), _name.size());
    address.sun_path[0] = _name[0] == '@' ? '\0' : _name[0];
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address),
                     socklen_t(offsetof(sockaddr_un, sun_path) + _name.size())),
              0);
    return fd;
}

// Where the manager listens, what $NOTIFY_SOCKET says ("" for unset), and whether the state is
// sent; "%" stands for a scratch path.
using notify_case = std::tuple<std::string, std::string, bool>;

std::string expand(std::string _text) {
    const auto at = _text.find('%');
    return at == std::string::npos
               ? _text
               : _text.replace(at, 1, "/tmp/quorvane-notify-" + std::to_string(::getpid()));
}

class Notify : public ::testing::TestWithParam<notify_case> {};

}  // namespace

TEST_P(Notify, StateReachesTheSocketTheVariableNamesOrIsNotSent) {
    const auto& [listens, variable, sent] = GetParam();
    const int manager = bind_manager(expand(listens));
    if (variable.empty()) {
        ::unsetenv("NOTIFY_SOCKET");
    } else {
        ::setenv("NOTIFY_SOCKET", expand(variable).c_str(), 1);
    }
    EXPECT_EQ(kelm::notify_service_manager("READY=1"), sent);
    char buffer[16];
    const auto size = ::recv(manager, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(size < 0 ? "" : std::string(buffer, std::size_t(size)), sent ? "READY=1" : "");
    ::close(manager);
    ::unlink(expand("%").c_str());
    ::unsetenv("NOTIFY_SOCKET");
}

INSTANTIATE_TEST_SUITE_P(Sockets, Notify,
                         ::testing::Values(notify_case{"%", "%", true},
                                           notify_case{"@%", "@%", true},
                                           notify_case{"%", "", false},
                                           notify_case{"%", "relative/notify", false},
                                           notify_case{"%", "/" + std::string(200, 'n'), false},
                                           notify_case{"%", "%-nobody", false}));
