#pragma once

namespace kelm::libs::core {

// The address family of a wildcard bind: 0.0.0.0 for v4, :: for v6.
enum class ip_protocol { v4 = 0, v6 = 1 };

}  // namespace kelm::libs::core
