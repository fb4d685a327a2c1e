#include "transfer.hpp"

#include <core/exception.hpp>
#include <core/version.hpp>

#include <utility>

namespace kelm::libs::core::http {

namespace {

constexpr long connect_timeout_seconds = 10;
// A redirect loop then fails with libcurl's error instead of running into the timeout.
constexpr long max_redirects = 10;

// What a response body may hold: generous for the JSON services the client is made
// for, and a bound on the memory a server streaming without end can take.
constexpr curl_off_t max_body_size = 64 * 1024 * 1024;

}  // namespace

std::size_t write_body(char* _data, std::size_t _size, std::size_t _count,
                       void* _transfer) noexcept {
    auto& self = *static_cast<transfer*>(_transfer);
    const auto length = _size * _count;
    // Anything but the full length makes libcurl fail the transfer with a write error.
    if (length > static_cast<std::size_t>(max_body_size) - self.m_body.size()) {
        self.m_too_large = true;
        return 0;
    }
    try {
        self.m_body.append(_data, length);
    } catch (...) {
        return 0;
    }
    return length;
}

transfer::transfer(const transfer_settings& _settings, method _method, const std::string& _url,
                   boost::string_view _body)
    : m_handle(nullptr) {
    const char* const method_text = to_string(_method);
    m_handle = curl_easy_init();
    if (m_handle == nullptr) {
        throw check_failed_exception("curl_handle != NULL", KELM_SOURCE_LOCATION());
    }
    if (!_body.empty()) {
        m_headers = curl_slist_append(nullptr, "content-type: application/json");
        if (m_headers == nullptr) {
            curl_easy_cleanup(m_handle);
            throw check_failed_exception("headers != NULL", KELM_SOURCE_LOCATION());
        }
        curl_easy_setopt(m_handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(_body.size()));
        curl_easy_setopt(m_handle, CURLOPT_POSTFIELDS, _body.data());
    }
    curl_easy_setopt(m_handle, CURLOPT_USERAGENT, constants::project_name.data());
    curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_handle, CURLOPT_CUSTOMREQUEST, method_text);
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, &write_body);
    curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(m_handle, CURLOPT_MAXFILESIZE_LARGE, max_body_size);
    curl_easy_setopt(m_handle, CURLOPT_TIMEOUT, static_cast<long>(_settings.timeout.count()));
    curl_easy_setopt(m_handle, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
    curl_easy_setopt(m_handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_handle, CURLOPT_MAXREDIRS, max_redirects);
    // Transfers run on several threads at once, where libcurl's signal-based timeouts
    // are unsafe.
    curl_easy_setopt(m_handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_handle, CURLOPT_SHARE, _settings.share);
    curl_easy_setopt(m_handle, CURLOPT_URL, _url.c_str());
}

transfer::~transfer() {
    curl_slist_free_all(m_headers);
    curl_easy_cleanup(m_handle);
}

result transfer::finish(CURLcode _code) {
    if (_code != CURLE_OK) {
        return fail(std::string("curl_easy_perform failed:") + curl_easy_strerror(_code));
    }
    long status = 200;
    curl_easy_getinfo(m_handle, CURLINFO_RESPONSE_CODE, &status);
    return result(std::move(m_body), static_cast<int>(status));
}

result transfer::fail(std::string _error) const {
    // A body refused for its size fails as one whose declared length is too large.
    return result(m_too_large ? std::string("curl_easy_perform failed:") +
                                    curl_easy_strerror(CURLE_FILESIZE_EXCEEDED)
                              : std::move(_error));
}

}  // namespace kelm::libs::core::http
