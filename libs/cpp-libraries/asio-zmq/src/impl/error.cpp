#include <asio_zmq/error.hpp>

#include <zmq.h>

#include <string>

namespace kelm::libs::asio_zmq {
namespace {

class zmq_error_category final : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "zmq"; }

    using boost::system::error_category::message;
    std::string message(int value) const override { return zmq_strerror(value); }

    boost::system::error_condition default_error_condition(int value) const noexcept override {
        // libzmq's own codes mean nothing outside ZeroMQ; errno values keep their usual meaning.
        if (value >= ZMQ_HAUSNUMERO) {
            return boost::system::error_condition(value, *this);
        }
        return boost::system::error_condition(value, boost::system::generic_category());
    }
};

}  // namespace

const boost::system::error_category& zmq_category() noexcept {
    static const zmq_error_category category;
    return category;
}

boost::system::error_code make_error_code(int zmq_errno) noexcept {
    return boost::system::error_code(zmq_errno, zmq_category());
}

boost::system::error_code last_error() noexcept {
    return make_error_code(zmq_errno());
}

}  // namespace kelm::libs::asio_zmq
