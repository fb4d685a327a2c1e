#include "../parts.hpp"
#include "context_impl.hpp"

// Named to the linker by whoever links this part; see parts.hpp.
extern "C" const char kelm_redis_part = 1;

namespace kelm::libs::core::parts {

std::shared_ptr<async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>>
create_redis_context(events_loop& _events_loop, const component_logger& _logger,
                     boost::string_view _ip, int _port, int _db) {
    return redis::context_impl::create(_events_loop, _logger, _ip, _port, _db);
}

}  // namespace kelm::libs::core::parts
