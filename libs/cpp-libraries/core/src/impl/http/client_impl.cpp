#include "client_impl.hpp"

#include <core/exception.hpp>

#include <boost/optional.hpp>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

namespace kelm::libs::core::http {

namespace {

constexpr long connections_for_synchronous_callers = 5;

struct multi_deleter {
    void operator()(CURLM* _multi) const { curl_multi_cleanup(_multi); }
};

// One multi handle per calling thread serves every synchronous transfer it makes:
// curl_easy_perform would make a multi handle, with a wake-up socket pair, for every
// easy handle, which is a good part of the cost of a request. Made on the first
// transfer, and again after one that failed.
thread_local std::unique_ptr<CURLM, multi_deleter> thread_multi;

CURLMcode run_transfer(CURLM* _multi, CURL* _handle, CURLcode& _code) {
    CURLMcode code = CURLM_OK;
    for (int running = 1; code == CURLM_OK && running > 0;) {
        code = curl_multi_perform(_multi, &running);
        if (code == CURLM_OK && running > 0) {
            code = curl_multi_poll(_multi, nullptr, 0, 1000, nullptr);
        }
    }
    if (code != CURLM_OK) {
        return code;
    }
    int queued = 0;
    const CURLMsg* const message = curl_multi_info_read(_multi, &queued);
    if (message == nullptr || message->msg != CURLMSG_DONE || message->easy_handle != _handle) {
        return CURLM_INTERNAL_ERROR;
    }
    _code = message->data.result;
    return CURLM_OK;
}

// Runs one transfer to its end on this thread, as curl_easy_perform would. The multi
// handle's connection limit is the one the shared cache keeps to.
result perform_transfer(transfer& _transfer, long _max_connections) {
    if (!thread_multi) {
        thread_multi.reset(curl_multi_init());
        if (!thread_multi) {
            return _transfer.fail("curl_multi_init failed");
        }
    }
    CURLM* const multi = thread_multi.get();
    CURLcode code = CURLE_OK;
    CURLMcode multi_code = curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, _max_connections);
    if (multi_code == CURLM_OK) {
        multi_code = curl_multi_add_handle(multi, _transfer.get());
        if (multi_code == CURLM_OK) {
            multi_code = run_transfer(multi, _transfer.get(), code);
            curl_multi_remove_handle(multi, _transfer.get());
        }
    }
    if (multi_code != CURLM_OK) {
        // Whatever state the failure left it in, the next transfer starts afresh.
        thread_multi.reset();
        return _transfer.fail(std::string("curl_multi failed:") + curl_multi_strerror(multi_code));
    }
    return _transfer.finish(code);
}

}  // namespace

client_impl::client_impl(events_loop& _main_events_loop, const component_logger& _logger,
                         std::string _address, std::chrono::seconds _timeout,
                         const std::vector<method>& _disabled_methods, int _num_threads)
    : m_address(std::move(_address)),
      m_disabled_methods(_disabled_methods.begin(), _disabled_methods.end()),
      m_max_connections(std::max(_num_threads, 0) + connections_for_synchronous_callers),
      m_settings{_timeout, m_shared_curl_data.get_ptr()},
      m_worker(_logger, m_settings, m_max_connections,
               static_cast<std::size_t>(std::max(_num_threads, 0)),
               std::make_shared<result_deliveries>(_main_events_loop)) {}

client_impl::~client_impl() = default;

result client_impl::perform_request(method _method, boost::string_view _address) {
    return perform_request(_method, _address, boost::string_view());
}

result client_impl::perform_request(method _method, boost::string_view _address,
                                    boost::string_view _body) {
    if (m_disabled_methods.count(_method) != 0) {
        return result(std::string(), 200);
    }
    transfer running(m_settings, _method, m_address + std::string(_address), _body);
    return perform_transfer(running, m_max_connections);
}

client::handle::ptr client_impl::perform_async_request(method _method, std::string _address,
                                                       callback _callback) {
    return perform_async_request(_method, std::move(_address), std::string(), std::move(_callback));
}

client::handle::ptr client_impl::perform_async_request(method _method, std::string _address,
                                                       std::string _body, callback _callback) {
    auto handle = perform_async_request_impl(_method, std::move(_address), std::move(_body));
    handle->set_callback(std::move(_callback));
    return handle;
}

client::handle::ptr client_impl::perform_async_request(method _method, std::string _address,
                                                       std::string _body) {
    return perform_async_request_impl(_method, std::move(_address), std::move(_body));
}

std::shared_ptr<request_handle> client_impl::perform_async_request_impl(method _method,
                                                                        std::string _address,
                                                                        std::string _body) {
    auto request = std::make_shared<const http::request>(http::request{
        _method, m_address + _address, std::move(_body), m_disabled_methods.count(_method) != 0});
    auto handle = std::make_shared<request_handle>(m_worker, std::move(request));
    handle->start();
    return handle;
}

}  // namespace kelm::libs::core::http
