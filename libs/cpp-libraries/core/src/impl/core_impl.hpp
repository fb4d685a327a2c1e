#pragma once

#include <core/core.hpp>
#include <core/logger.hpp>

namespace kelm::libs::core {

class core_impl final : public core {
public:
    explicit core_impl(const logger& _logger);

    events_loop::ptr create_events_loop(const std::string& _name) override;

private:
    component_logger::ptr m_logger;
};

}  // namespace kelm::libs::core
