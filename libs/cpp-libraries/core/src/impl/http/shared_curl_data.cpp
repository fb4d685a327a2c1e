#include "shared_curl_data.hpp"

#include <core/exception.hpp>

#include <mutex>
#include <string>

namespace kelm::libs::core::http {

namespace {

// libcurl's global start-up is not thread-safe and must come before any other libcurl
// call; the global clean-up is never called, since a client may exist until exit.
void init_curl_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        const auto code = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (code != CURLE_OK) {
            throw exception(std::string("curl_global_init failed:") + curl_easy_strerror(code),
                            KELM_SOURCE_LOCATION());
        }
    });
}

CURLSH* init_share() {
    init_curl_once();
    return curl_share_init();
}

}  // namespace

shared_curl_data::shared_curl_data() : m_data(init_share()) {
    if (!m_data) {
        throw check_failed_exception("share_handle != NULL", KELM_SOURCE_LOCATION());
    }
    for (const auto kind : {CURL_LOCK_DATA_COOKIE, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION,
                            CURL_LOCK_DATA_CONNECT}) {
        curl_share_setopt(m_data.get(), CURLSHOPT_SHARE, kind);
    }
    curl_share_setopt(m_data.get(), CURLSHOPT_USERDATA, this);
    curl_share_setopt(m_data.get(), CURLSHOPT_LOCKFUNC, &shared_curl_data::lock);
    curl_share_setopt(m_data.get(), CURLSHOPT_UNLOCKFUNC, &shared_curl_data::unlock);
}

void shared_curl_data::lock(CURL*, curl_lock_data _data, curl_lock_access,
                            void* _user_data) noexcept {
    static_cast<shared_curl_data*>(_user_data)->m_mutexes.at(_data).lock();
}

void shared_curl_data::unlock(CURL*, curl_lock_data _data, void* _user_data) noexcept {
    static_cast<shared_curl_data*>(_user_data)->m_mutexes.at(_data).unlock();
}

}  // namespace kelm::libs::core::http
