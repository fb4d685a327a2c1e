#pragma once

#include "message_stream_zmq_raw.hpp"

namespace kelm::libs::core {

// For frames whose payload starts at their first "{", such as JSON objects. A channel
// that starts with an ASCII letter travels with "#" in front of it; callbacks get the
// payload only.
class message_stream_zmq final : public message_stream {
public:
    // Throws boost::system::system_error when the address cannot be connected. _setup, when
    // set, gets the socket before it connects.
    message_stream_zmq(boost::asio::io_context& _io_context, const component_logger& _logger,
                       const std::string& _address, const socket_setup& _setup);

    subscription::ptr subscribe(boost::string_view _channel, callback _callback) override;

private:
    message_stream_zmq_raw m_stream_zmq_raw;
};

}  // namespace kelm::libs::core
