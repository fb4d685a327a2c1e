#include "client_impl.hpp"

#include <core/core.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/scope_guard.hpp>
#include <core/version.hpp>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

namespace kelm::libs::core::http {

namespace {

constexpr long connect_timeout_seconds = 10;
constexpr long connections_for_synchronous_callers = 5;
// A redirect loop then fails with libcurl's error instead of running into the timeout.
constexpr long max_redirects = 10;

std::size_t write_function(char* _data, std::size_t _size, std::size_t _count,
                           void* _response) noexcept {
    const auto length = _size * _count;
    try {
        static_cast<std::string*>(_response)->append(_data, length);
    } catch (...) {
        // Anything but the full length makes libcurl fail the transfer with a write error.
        return 0;
    }
    return length;
}

struct multi_deleter {
    void operator()(CURLM* _multi) const { curl_multi_cleanup(_multi); }
};

void check_multi(CURLMcode _code) {
    if (_code != CURLM_OK) {
        throw exception(std::string("curl_multi failed:") + curl_multi_strerror(_code),
                        KELM_SOURCE_LOCATION());
    }
}

// Runs one transfer to its end, as curl_easy_perform would. That one makes a multi handle,
// with a wake-up socket pair, for every easy handle; here one multi handle per thread
// serves every transfer the thread makes, which takes a good part of the cost off each
// request. The multi handle's connection limit is the one the shared cache keeps to.
CURLcode perform_transfer(CURL* _handle, long _max_connections) {
    thread_local const std::unique_ptr<CURLM, multi_deleter> multi(curl_multi_init());
    if (!multi) {
        throw check_failed_exception("multi_handle != NULL", KELM_SOURCE_LOCATION());
    }
    check_multi(curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, _max_connections));
    check_multi(curl_multi_add_handle(multi.get(), _handle));
    const scope_guard remove =
        make_scope_guard([&] { curl_multi_remove_handle(multi.get(), _handle); });
    for (int running = 1; running > 0;) {
        check_multi(curl_multi_perform(multi.get(), &running));
        if (running > 0) {
            check_multi(curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr));
        }
    }
    int queued = 0;
    const CURLMsg* const message = curl_multi_info_read(multi.get(), &queued);
    if (message == nullptr || message->msg != CURLMSG_DONE) {
        throw check_failed_exception("message->msg == CURLMSG_DONE", KELM_SOURCE_LOCATION());
    }
    return message->data.result;
}

}  // namespace

client_impl::client_impl(events_loop& _main_events_loop, core& _core,
                         const component_logger& _logger, std::string _address,
                         std::chrono::seconds _timeout,
                         const std::vector<method>& _disabled_methods, int _num_threads)
    : m_main_events_loop(_main_events_loop),
      m_logger(_logger),
      m_address(std::move(_address)),
      m_timeout(_timeout),
      m_disabled_methods(_disabled_methods.begin(), _disabled_methods.end()),
      m_max_connections(std::max(_num_threads, 0) + connections_for_synchronous_callers),
      m_worker_events_loop(_core.create_events_loop("http_client::worker")),
      m_worker_events_loop_work(m_worker_events_loop->create_work()),
      m_worker_thread_pool(static_cast<std::uint32_t>(_num_threads)) {
    for (int i = 0; i < _num_threads; ++i) {
        boost::asio::post(m_worker_thread_pool, [this] {
            m_worker_events_loop->run_catch_exceptions(KELM_SOURCE_LOCATION());
        });
    }
}

client_impl::~client_impl() {
    m_stopping = true;
    m_worker_events_loop_work.reset();
    m_worker_events_loop->stop();
    m_worker_thread_pool.join();
}

result client_impl::perform_request(method _method, boost::string_view _address) {
    return perform_request(_method, _address, boost::string_view());
}

result client_impl::perform_request(method _method, boost::string_view _address,
                                    boost::string_view _body) {
    return perform_request_impl(_method, _address, _body);
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

client_impl::handle_impl::ptr client_impl::perform_async_request_impl(method _method,
                                                                      std::string _address,
                                                                      std::string _body) {
    auto address = std::make_shared<const std::string>(std::move(_address));
    auto body = std::make_shared<const std::string>(std::move(_body));
    auto handle = handle_impl::create(
        m_main_events_loop,
        [this, _method, address, body](handle_impl::ptr, std::weak_ptr<handle_impl> _weak_handle) {
            m_worker_events_loop->post(
                [this, _method, address, body, weak_handle = std::move(_weak_handle)] {
                    run_queued_request(weak_handle, _method, *address, *body);
                },
                source_location());
        });
    handle->start();
    return handle;
}

void client_impl::run_queued_request(const std::weak_ptr<handle_impl>& _handle, method _method,
                                     const std::string& _address, const std::string& _body) {
    if (m_stopping || _handle.expired()) {
        return;
    }
    auto outcome = [&] {
        try {
            return perform_request_impl(_method, _address, _body);
        } catch (...) {
            // The worker goes on with the next request and the caller still gets an answer.
            m_logger.log_exception();
            return result(exception_to_string());
        }
    }();
    if (const auto handle = _handle.lock()) {
        handle->return_result(std::move(outcome));
    }
}

result client_impl::perform_request_impl(method _method, boost::string_view _address,
                                         boost::string_view _body) {
    const char* const method_text = to_string(_method);
    if (m_disabled_methods.count(_method) != 0) {
        return result(std::string(), 200);
    }

    CURL* const curl_handle = curl_easy_init();
    if (curl_handle == nullptr) {
        throw check_failed_exception("curl_handle != NULL", KELM_SOURCE_LOCATION());
    }
    curl_slist* headers = nullptr;
    const scope_guard cleanup = make_scope_guard([&] {
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl_handle);
    });

    if (!_body.empty()) {
        curl_slist* const appended = curl_slist_append(headers, "content-type: application/json");
        if (appended == nullptr) {
            throw check_failed_exception("headers != NULL", KELM_SOURCE_LOCATION());
        }
        headers = appended;
        curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(_body.size()));
        curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDS, _body.data());
    }

    std::string response;
    const std::string url = m_address + std::string(_address);
    curl_easy_setopt(curl_handle, CURLOPT_USERAGENT, constants::project_name.data());
    curl_easy_setopt(curl_handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_handle, CURLOPT_CUSTOMREQUEST, method_text);
    curl_easy_setopt(curl_handle, CURLOPT_WRITEFUNCTION, &write_function);
    curl_easy_setopt(curl_handle, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl_handle, CURLOPT_TIMEOUT, static_cast<long>(m_timeout.count()));
    curl_easy_setopt(curl_handle, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
    curl_easy_setopt(curl_handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl_handle, CURLOPT_MAXREDIRS, max_redirects);
    // Transfers run on several threads at once, where libcurl's signal-based
    // timeouts are unsafe.
    curl_easy_setopt(curl_handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_handle, CURLOPT_SHARE, m_shared_curl_data.get_ptr());
    curl_easy_setopt(curl_handle, CURLOPT_URL, url.c_str());

    const CURLcode code = perform_transfer(curl_handle, m_max_connections);
    if (code != CURLE_OK) {
        return result(std::string("curl_easy_perform failed:") + curl_easy_strerror(code));
    }
    long status = 200;
    curl_easy_getinfo(curl_handle, CURLINFO_RESPONSE_CODE, &status);
    return result(std::move(response), static_cast<int>(status));
}

}  // namespace kelm::libs::core::http
