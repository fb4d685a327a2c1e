#pragma once

#include "request_handle.hpp"
#include "shared_curl_data.hpp"
#include "transfer.hpp"
#include "transfer_worker.hpp"

#include <core/events_loop.hpp>
#include <core/http/client.hpp>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kelm::libs::core::http {

// Runs asynchronous requests on a worker thread, at most the pool size of them at a
// time. Destroying the client waits for the transfers in progress; requests still
// queued are dropped and their handles never complete.
class client_impl final : public client {
public:
    client_impl(events_loop& _main_events_loop, const component_logger& _logger,
                std::string _address, std::chrono::seconds _timeout,
                const std::vector<method>& _disabled_methods, int _num_threads);
    ~client_impl() override;

    result perform_request(method _method, boost::string_view _address) override;
    result perform_request(method _method, boost::string_view _address,
                           boost::string_view _body) override;
    handle::ptr perform_async_request(method _method, std::string _address,
                                      callback _callback) override;
    handle::ptr perform_async_request(method _method, std::string _address, std::string _body,
                                      callback _callback) override;
    handle::ptr perform_async_request(method _method, std::string _address,
                                      std::string _body) override;

private:
    std::shared_ptr<request_handle> perform_async_request_impl(method _method, std::string _address,
                                                               std::string _body);

    const std::string m_address;
    const std::set<method> m_disabled_methods;
    // How many connections the shared cache keeps: one per transfer the worker runs at
    // once and libcurl's usual five for synchronous callers. libcurl would otherwise
    // keep five, and a larger pool would close and reopen connections all the time.
    const long m_max_connections;
    shared_curl_data m_shared_curl_data;
    const transfer_settings m_settings;
    // Gone first: its transfers use the shared data.
    transfer_worker m_worker;
};

}  // namespace kelm::libs::core::http
