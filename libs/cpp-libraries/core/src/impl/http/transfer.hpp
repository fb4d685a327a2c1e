#pragma once

#include <core/http/method.hpp>
#include <core/http/result.hpp>

#include <curl/curl.h>

#include <boost/utility/string_view.hpp>

#include <chrono>
#include <string>

namespace kelm::libs::core::http {

// What every transfer of one client is made with.
struct transfer_settings {
    std::chrono::seconds timeout;
    // The client's connections, DNS results, TLS sessions and cookies.
    CURLSH* share;
};

// One request as a libcurl easy handle, with the response body it reads; the body to
// send is not copied and must outlive the transfer.
class transfer {
public:
    // Throws for an unknown method, or when libcurl cannot make the handle.
    transfer(const transfer_settings& _settings, method _method, const std::string& _url,
             boost::string_view _body);
    transfer(const transfer&) = delete;
    transfer& operator=(const transfer&) = delete;
    ~transfer();

    CURL* get() const { return m_handle; }

    // The result once libcurl has ended the transfer with that code.
    result finish(CURLcode _code);
    // The result of a transfer the multi interface failed.
    result fail(std::string _error) const;

private:
    friend std::size_t write_body(char* _data, std::size_t _size, std::size_t _count,
                                  void* _transfer) noexcept;

    CURL* m_handle;
    curl_slist* m_headers = nullptr;
    std::string m_body;
    bool m_too_large = false;
};

}  // namespace kelm::libs::core::http
