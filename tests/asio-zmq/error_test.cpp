#include <asio_zmq/error.hpp>

#include <zmq.h>

#include <gtest/gtest.h>

#include <boost/system/errc.hpp>
#include <cerrno>
#include <cstring>

namespace az = kelm::libs::asio_zmq;

TEST(ErrorCategory, ErrnoValuesKeepValueAndSystemText) {
    const auto in_use = az::make_error_code(EADDRINUSE);
    EXPECT_EQ(in_use.message(), "Address already in use");
    EXPECT_EQ(in_use.message(), std::strerror(EADDRINUSE));
    EXPECT_EQ(&in_use.category(), &az::zmq_category());

    const auto again = az::make_error_code(EAGAIN);
    EXPECT_EQ(again.value(), 11);
    EXPECT_EQ(again, boost::system::errc::resource_unavailable_try_again);
}

TEST(ErrorCategory, ZeroMqOwnCodesUseZeroMqText) {
    const auto terminated = az::make_error_code(ETERM);
    EXPECT_EQ(terminated.message(), zmq_strerror(ETERM));
    EXPECT_EQ(terminated.default_error_condition().category(), az::zmq_category());
    EXPECT_NE(az::make_error_code(EFSM), az::make_error_code(ETERM));
}

TEST(ErrorCategory, LastErrorIsTheFailedCallsError) {
    ASSERT_EQ(zmq_socket(nullptr, ZMQ_PUSH), nullptr);
    EXPECT_EQ(az::last_error(), az::make_error_code(EFAULT));
}
