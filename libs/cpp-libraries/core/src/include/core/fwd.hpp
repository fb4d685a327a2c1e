#pragma once

// Declarations for headers that only pass these types around.
namespace boost::asio {
class io_context;
}  // namespace boost::asio

namespace kelm::libs::core {
class component_logger;
class core;
class events_loop;
class logger;
class source_location;
class timers_manager;
}  // namespace kelm::libs::core

namespace kelm::libs::asio_zmq {
class socket;
}  // namespace kelm::libs::asio_zmq

namespace kelm::libs::core::redis {
class context;
}  // namespace kelm::libs::core::redis

namespace kelm::libs::core::tcp {
class manager;
}  // namespace kelm::libs::core::tcp

namespace kelm::libs::core::zmq {
class manager;
}  // namespace kelm::libs::core::zmq
