#include <asio_zmq/monitor.hpp>

#include <asio_zmq/error.hpp>

#include <zmq.h>

#include <atomic>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <cstring>
#include <utility>

namespace kelm::libs::asio_zmq {
namespace {

// The first frame of an event: its number (16 bits) and value (32 bits), in host order.
constexpr std::size_t event_frame_size = 6;

std::string unique_endpoint(const socket& watched) {
    static std::atomic<unsigned long> monitors{0};
    return "inproc://asio-zmq-monitor-" +
           std::to_string(reinterpret_cast<std::uintptr_t>(watched.native_handle())) + "-" +
           std::to_string(++monitors);
}

}  // namespace

struct monitor::shared_data {
    shared_data(boost::asio::io_context& io_context, handler on_event)
        : events(io_context, ZMQ_PAIR), on_event(std::move(on_event)) {}

    socket events;
    handler on_event;
};

monitor::monitor(boost::asio::io_context& io_context, socket& watched, int events, handler on_event)
    : m_watched(watched), m_data(std::make_shared<shared_data>(io_context, std::move(on_event))) {
    const std::string endpoint = unique_endpoint(watched);
    if (zmq_socket_monitor(watched.native_handle(), endpoint.c_str(), events) != 0) {
        throw boost::system::system_error(last_error(), "zmq_socket_monitor");
    }
    // No limit on the queue: a full one would block the I/O thread that reports an event.
    m_data->events.set_option(ZMQ_RCVHWM, 0);
    m_data->events.set_option(ZMQ_LINGER, 0);
    m_data->events.connect(endpoint);
    receive(m_data);
}

monitor::~monitor() {
    // Stopping first: an event sent to a monitor whose reader is gone would wait for ever.
    if (m_watched.is_open()) {
        zmq_socket_monitor(m_watched.native_handle(), nullptr, 0);
    }
    m_data->events.close();
}

void monitor::receive(const std::shared_ptr<shared_data>& data) {
    data->events.async_receive([weak = std::weak_ptr<shared_data>(data)](
                                   const boost::system::error_code& error, message& frame,
                                   std::size_t) { on_frame(weak, error, frame); });
}

void monitor::on_frame(const std::weak_ptr<shared_data>& weak,
                       const boost::system::error_code& error, message& frame) {
    const auto data = weak.lock();
    if (!data || error == boost::asio::error::operation_aborted) {
        return;
    }
    message endpoint;
    boost::system::error_code endpoint_error;
    const bool first = !error && frame.size() == event_frame_size && frame.more();
    if (first) {
        // Both frames of an event arrive together, so the second one is already there.
        data->events.receive(endpoint, ZMQ_DONTWAIT, endpoint_error);
    }
    receive(data);
    if (!first || endpoint_error || endpoint.more()) {
        return;
    }
    socket_event event;
    std::uint16_t number = 0;
    std::memcpy(&number, frame.data(), sizeof number);
    std::memcpy(&event.value, static_cast<const char*>(frame.data()) + sizeof number,
                sizeof event.value);
    event.event = number;
    event.endpoint = std::string(endpoint.string_view());
    data->on_event(event);
}

}  // namespace kelm::libs::asio_zmq
