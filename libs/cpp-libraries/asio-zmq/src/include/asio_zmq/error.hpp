#pragma once

#include <boost/system/error_code.hpp>

namespace kelm::libs::asio_zmq {

// ZeroMQ's error numbers keep their values: errno values stay what they are on the system (EAGAIN
// is 11, whatever the category) and libzmq's own codes (ETERM, EFSM, ...) stay above
// ZMQ_HAUSNUMERO. The text of every code is zmq_strerror's, which for errno values is the
// system's own text. errno values also compare equal to the matching boost::system::errc.
const boost::system::error_category& zmq_category() noexcept;

boost::system::error_code make_error_code(int zmq_errno) noexcept;

// The error of the last failing libzmq call on this thread.
boost::system::error_code last_error() noexcept;

}  // namespace kelm::libs::asio_zmq
