#include "../parts.hpp"
#include "client_impl.hpp"

// Named to the linker by whoever links this part; see parts.hpp.
extern "C" const char kelm_http_part = 1;

namespace kelm::libs::core::parts {

http::client::ptr create_http_client(events_loop& _events_loop, const component_logger& _logger,
                                     const std::string& _address, std::chrono::seconds _timeout,
                                     const std::vector<http::method>& _disabled_methods,
                                     int _num_threads) {
    return std::make_unique<http::client_impl>(_events_loop, _logger, _address, _timeout,
                                               _disabled_methods, _num_threads);
}

}  // namespace kelm::libs::core::parts
