#include <service_notify.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

namespace {

// A datagram socket bound where $NOTIFY_SOCKET names it, standing in for the service manager.
class fake_manager {
public:
    explicit fake_manager(const std::string& _name) : m_fd(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, _name.data(), _name.size());
        if (_name[0] == '@') {
            address.sun_path[0] = '\0';
        }
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + _name.size());
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length), 0);
        const timeval wait{2, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~fake_manager() { ::close(m_fd); }
    fake_manager(const fake_manager&) = delete;
    fake_manager& operator=(const fake_manager&) = delete;

    std::string receive() const {
        char buffer[64];
        const auto size = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        return size < 0 ? "" : std::string(buffer, std::size_t(size));
    }

private:
    int m_fd;
};

struct notify_case {
    const char* name;
    // Where the manager listens and what $NOTIFY_SOCKET says, "%" standing for a scratch path.
    std::string listens;
    std::string variable;
    bool sent;
};

void PrintTo(const notify_case& _case, std::ostream* _os) {
    *_os << _case.name;
}

std::string expand(std::string _text, const std::string& _scratch) {
    const auto at = _text.find('%');
    return at == std::string::npos ? _text : _text.replace(at, 1, _scratch);
}

class Notify : public ::testing::TestWithParam<notify_case> {
protected:
    ~Notify() override {
        ::unsetenv("NOTIFY_SOCKET");
        ::unlink(m_scratch.c_str());
    }

    const std::string m_scratch = "/tmp/quorvane-notify-" + std::to_string(::getpid());
};

}  // namespace

TEST_P(Notify, StateReachesTheSocketTheVariableNames) {
    const fake_manager manager(expand(GetParam().listens, m_scratch));
    if (!GetParam().variable.empty()) {
        ::setenv("NOTIFY_SOCKET", expand(GetParam().variable, m_scratch).c_str(), 1);
    }
    EXPECT_EQ(kelm::notify_service_manager("READY=1"), GetParam().sent);
    EXPECT_EQ(manager.receive(), GetParam().sent ? "READY=1" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, Notify,
    ::testing::Values(notify_case{"Path", "%", "%", true},
                      notify_case{"AbstractName", "@%", "@%", true},
                      notify_case{"NoVariable", "%", "", false},
                      notify_case{"RelativePath", "%", "relative/notify", false},
                      notify_case{"NameTooLong", "%", "/" + std::string(200, 'n'), false},
                      notify_case{"NobodyListening", "%", "%-gone", false}),
    [](const auto& _info) { return std::string(_info.param.name); });
