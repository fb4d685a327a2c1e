#pragma once

#include <core/events_loop.hpp>
#include <core/fwd.hpp>

#include <memory>
#include <string>

namespace kelm::libs::core {

// The runtime's root: makes events loops, which log through its "core" component.
// Loops must be destroyed before the core that made them.
class core {
public:
    using ptr = std::unique_ptr<core>;

    virtual ~core() = default;

    // The name is for the caller's records; the loop does not use it.
    virtual events_loop::ptr create_events_loop(const std::string& _name) = 0;

    static ptr create(const logger& _logger);
};

}  // namespace kelm::libs::core
