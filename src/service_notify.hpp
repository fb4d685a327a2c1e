#pragma once

namespace kelm {

// Tells the service manager the broker's state ("READY=1", "STOPPING=1") on the datagram
// socket named by $NOTIFY_SOCKET: a path, or an abstract name when it starts with '@'.
// Without that variable there is no manager to tell, and nothing is sent. Returns whether the
// state was sent; a manager that is not listening only loses the notification.
bool notify_service_manager(const char* _state);

}  // namespace kelm
