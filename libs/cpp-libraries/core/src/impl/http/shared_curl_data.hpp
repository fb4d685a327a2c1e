#pragma once

#include <curl/curl.h>

#include <array>
#include <memory>
#include <mutex>

namespace kelm::libs::core::http {

struct curl_share_deleter {
    void operator()(CURLSH* _share) const { curl_share_cleanup(_share); }
};

// The libcurl share handle through which the transfers of one client, on whatever
// thread, reuse connections, DNS results, TLS sessions and cookies. Each kind of
// shared data has its own mutex.
class shared_curl_data {
public:
    shared_curl_data();
    shared_curl_data(const shared_curl_data&) = delete;
    shared_curl_data& operator=(const shared_curl_data&) = delete;

    CURLSH* get_ptr() const { return m_data.get(); }

    // libcurl's lock and unlock callbacks; the user data is the shared_curl_data.
    // Exclusive for shared and single access alike. They are noexcept because libcurl
    // is C: a failure to lock, or a kind of data without a mutex, ends the process
    // instead of unwinding through libcurl's frames.
    static void lock(CURL* _handle, curl_lock_data _data, curl_lock_access _access,
                     void* _user_data) noexcept;
    static void unlock(CURL* _handle, curl_lock_data _data, void* _user_data) noexcept;

private:
    std::unique_ptr<CURLSH, curl_share_deleter> m_data;
    std::array<std::mutex, 8> m_mutexes;
};

}  // namespace kelm::libs::core::http
