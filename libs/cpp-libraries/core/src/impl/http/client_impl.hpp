#pragma once

#include "shared_curl_data.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/events_loop.hpp>
#include <core/http/client.hpp>

#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kelm::libs::core::http {

// Runs asynchronous requests on a private loop served by a pool of threads, at most
// one transfer per thread at a time. Destroying the client waits for the transfers in
// progress; requests still queued are dropped and their handles never complete.
class client_impl final : public client {
public:
    client_impl(events_loop& _main_events_loop, core& _core, const component_logger& _logger,
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
    using handle_impl = async_operation_handle_impl<result>;

    handle_impl::ptr perform_async_request_impl(method _method, std::string _address,
                                                std::string _body);
    void run_queued_request(const std::weak_ptr<handle_impl>& _handle, method _method,
                            const std::string& _address, const std::string& _body);
    result perform_request_impl(method _method, boost::string_view _address,
                                boost::string_view _body);

    events_loop& m_main_events_loop;
    const component_logger& m_logger;
    const std::string m_address;
    const std::chrono::seconds m_timeout;
    const std::set<method> m_disabled_methods;
    // How many connections the shared cache keeps: one per worker thread and libcurl's
    // usual five for synchronous callers. libcurl would otherwise keep five, and a larger
    // pool would close and reopen connections all the time.
    const long m_max_connections;
    shared_curl_data m_shared_curl_data;
    // Set first thing in the destructor: requests the worker loop still holds are
    // then dropped, also when its own destructor runs what is left in its queue.
    std::atomic<bool> m_stopping{false};
    events_loop::ptr m_worker_events_loop;
    events_loop::work::ptr m_worker_events_loop_work;
    boost::asio::thread_pool m_worker_thread_pool;
};

}  // namespace kelm::libs::core::http
