#include "config.hpp"

#include <config_parser/config.hpp>
#include <config_parser/result.hpp>
#include <core/exception.hpp>

#include <tuple>

namespace kelm {

config::config(std::istream& _stream) {
    namespace cfg = libs::config;
    const auto document = cfg::config::create<cfg::type::json>(_stream);
    // Both look-ups always run, so one message names every missing endpoint.
    auto input = document->get_by_path<std::string>({"system", "input_address"});
    auto output = document->get_by_path<std::string>({"system", "output_address"});
    const auto endpoints = std::move(input) + std::move(output);
    if (!endpoints.ok()) {
        throw libs::core::exception("Config file is invalid: " + endpoints.reason(),
                                    KELM_SOURCE_LOCATION());
    }
    std::tie(system.input_address, system.output_address) = endpoints.value();
}

}  // namespace kelm
