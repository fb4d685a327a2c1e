#pragma once

#include <core/tcp/message.hpp>

#include <boost/asio/ip/tcp.hpp>
#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <functional>
#include <memory>

namespace kelm::libs::core::tcp {

// An established TCP connection on an events loop. Received bytes reach the receive
// callback in chunks of at most 64 KiB, as a view valid only during the call. Sending
// never blocks: send_some takes what the kernel accepts, and the can-send callback says
// when to try the rest. Destroy the socket on the loop's thread; no callback follows.
class socket {
public:
    using receive_callback = std::function<void(boost::string_view)>;
    using close_callback = std::function<void()>;
    using can_send_callback = std::function<void()>;
    using ptr = std::unique_ptr<socket>;
    using endpoint = boost::asio::ip::tcp::endpoint;

    virtual ~socket() = default;

    // Called once when the peer closes its side; reading stops there.
    virtual void set_close_callback(close_callback _callback) = 0;
    // The first call starts reading; until then incoming bytes wait in the kernel.
    virtual void set_receive_callback(receive_callback _callback) = 0;
    virtual endpoint get_remote_endpoint() const = 0;
    virtual void set_can_send_callback(can_send_callback _callback) = 0;
    // Asks for one can-send callback when the socket next becomes writable; calls made
    // while one is pending add nothing.
    virtual void notify_that_send_is_possible() = 0;
    // Writes what the kernel takes now, from 0 to the whole message; throws
    // boost::system::system_error when the connection is broken.
    virtual std::size_t send_some(message _message) = 0;
};

}  // namespace kelm::libs::core::tcp
