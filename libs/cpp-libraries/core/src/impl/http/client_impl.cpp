#include "client_impl.hpp"

#include <core/core.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/scope_guard.hpp>
#include <core/version.hpp>

#include <boost/asio/post.hpp>
#include <boost/optional.hpp>

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

// What a response body may hold: generous for the JSON services the client is made
// for, and a bound on the memory a server streaming without end can take.
constexpr curl_off_t max_body_size = 64 * 1024 * 1024;

struct response_body {
    std::string m_data;
    bool m_too_large = false;
};

std::size_t write_function(char* _data, std::size_t _size, std::size_t _count,
                           void* _body) noexcept {
    auto& body = *static_cast<response_body*>(_body);
    const auto length = _size * _count;
    // Anything but the full length makes libcurl fail the transfer with a write error.
    if (length > static_cast<std::size_t>(max_body_size) - body.m_data.size()) {
        body.m_too_large = true;
        return 0;
    }
    try {
        body.m_data.append(_data, length);
    } catch (...) {
        return 0;
    }
    return length;
}

struct multi_deleter {
    void operator()(CURLM* _multi) const { curl_multi_cleanup(_multi); }
};

// One multi handle per thread serves every transfer the thread makes: curl_easy_perform
// would make a multi handle, with a wake-up socket pair, for every easy handle, which
// is a good part of the cost of a request. Made on the first transfer, and again after
// one that failed.
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

// Runs one transfer to its end, as curl_easy_perform would; answers the error text of a
// transfer that failed. The multi handle's connection limit is the one the shared cache
// keeps to.
boost::optional<std::string> perform_transfer(CURL* _handle, long _max_connections) {
    if (!thread_multi) {
        thread_multi.reset(curl_multi_init());
        if (!thread_multi) {
            return std::string("curl_multi_init failed");
        }
    }
    CURLM* const multi = thread_multi.get();
    CURLcode code = CURLE_OK;
    CURLMcode multi_code = curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, _max_connections);
    if (multi_code == CURLM_OK) {
        multi_code = curl_multi_add_handle(multi, _handle);
        if (multi_code == CURLM_OK) {
            multi_code = run_transfer(multi, _handle, code);
            curl_multi_remove_handle(multi, _handle);
        }
    }
    if (multi_code != CURLM_OK) {
        // Whatever state the failure left it in, the next transfer starts afresh.
        thread_multi.reset();
        return std::string("curl_multi failed:") + curl_multi_strerror(multi_code);
    }
    if (code != CURLE_OK) {
        return std::string("curl_easy_perform failed:") + curl_easy_strerror(code);
    }
    return boost::none;
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
    // The handle is reached on the caller's loop only: a worker holding it, even for a
    // moment, could be left with the last reference when the caller drops theirs, and
    // would then destroy the callback, and what it holds, here, concurrently with the
    // loop it belongs to.
    m_main_events_loop.post(
        [_handle, outcome = std::move(outcome)]() mutable {
            if (const auto handle = _handle.lock()) {
                handle->return_result(std::move(outcome));
            }
        },
        source_location());
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

    response_body response;
    const std::string url = m_address + std::string(_address);
    curl_easy_setopt(curl_handle, CURLOPT_USERAGENT, constants::project_name.data());
    curl_easy_setopt(curl_handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_handle, CURLOPT_CUSTOMREQUEST, method_text);
    curl_easy_setopt(curl_handle, CURLOPT_WRITEFUNCTION, &write_function);
    curl_easy_setopt(curl_handle, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl_handle, CURLOPT_MAXFILESIZE_LARGE, max_body_size);
    curl_easy_setopt(curl_handle, CURLOPT_TIMEOUT, static_cast<long>(m_timeout.count()));
    curl_easy_setopt(curl_handle, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
    curl_easy_setopt(curl_handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl_handle, CURLOPT_MAXREDIRS, max_redirects);
    // Transfers run on several threads at once, where libcurl's signal-based
    // timeouts are unsafe.
    curl_easy_setopt(curl_handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_handle, CURLOPT_SHARE, m_shared_curl_data.get_ptr());
    curl_easy_setopt(curl_handle, CURLOPT_URL, url.c_str());

    if (auto error = perform_transfer(curl_handle, m_max_connections)) {
        // A body refused for its size fails as one whose declared length is too large.
        return result(response.m_too_large ? std::string("curl_easy_perform failed:") +
                                                 curl_easy_strerror(CURLE_FILESIZE_EXCEEDED)
                                           : std::move(*error));
    }
    long status = 200;
    curl_easy_getinfo(curl_handle, CURLINFO_RESPONSE_CODE, &status);
    return result(std::move(response.m_data), static_cast<int>(status));
}

}  // namespace kelm::libs::core::http
