#pragma once

#include <core/async_operation_handle.hpp>
#include <core/fwd.hpp>
#include <core/http/client.hpp>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The HTTP and Redis clients live in archives of their own, libkelm_http and libkelm_redis, so
// that a program which never makes one (the broker, its tools) neither links nor maps libcurl and
// hiredis. A loop's factories are virtual and the linker keeps whatever they call, so they reach
// each part through its entry below, declared weak: the entry is null in a program linked without
// the part. Each part's archive defines its entry next to a symbol that its CMake target and the
// kelm-core pkg-config module name to the linker as undefined (-u), which is what pulls the entry
// in although nothing but a weak reference calls it.
namespace kelm::libs::core::parts {

[[gnu::weak]] http::client::ptr create_http_client(
    events_loop& _events_loop, const component_logger& _logger, const std::string& _address,
    std::chrono::seconds _timeout, const std::vector<http::method>& _disabled_methods,
    int _num_threads);

[[gnu::weak]] std::shared_ptr<
    async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>>
create_redis_context(events_loop& _events_loop, const component_logger& _logger,
                     boost::string_view _ip, int _port, int _db);

}  // namespace kelm::libs::core::parts
