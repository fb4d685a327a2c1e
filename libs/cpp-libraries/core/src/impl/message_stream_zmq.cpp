#include "message_stream_zmq.hpp"

#include <string>
#include <utility>

namespace kelm::libs::core {

namespace {

// The C locale's isalpha, whatever locale the program set.
bool is_ascii_letter(char _c) {
    return (_c >= 'a' && _c <= 'z') || (_c >= 'A' && _c <= 'Z');
}

}  // namespace

message_stream_zmq::message_stream_zmq(boost::asio::io_context& _io_context,
                                       const component_logger& _logger, const std::string& _address,
                                       const socket_setup& _setup)
    : m_stream_zmq_raw(_io_context, _logger, _address, _setup) {}

message_stream::subscription::ptr message_stream_zmq::subscribe(boost::string_view _channel,
                                                                callback _callback) {
    std::string channel(_channel);
    if (!channel.empty() && is_ascii_letter(channel.front())) {
        channel.insert(0, 1, '#');
    }
    return m_stream_zmq_raw.subscribe(channel,
                                      [callback = std::move(_callback)](boost::string_view _frame) {
                                          const auto payload = _frame.find('{');
                                          if (payload != boost::string_view::npos) {
                                              callback(_frame.substr(payload));
                                          }
                                      });
}

}  // namespace kelm::libs::core
