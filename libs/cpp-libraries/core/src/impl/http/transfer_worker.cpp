#include "transfer_worker.hpp"

#include <core/logger.hpp>

#include <algorithm>
#include <chrono>
#include <utility>

namespace kelm::libs::core::http {

namespace {

// Longest wait in libcurl; a wake-up or libcurl's own timers end it sooner.
constexpr int wait_milliseconds = 1000;

}  // namespace

transfer_worker::transfer_worker(const component_logger& _logger, transfer_settings _settings,
                                 long _max_connections, std::size_t _max_transfers,
                                 std::shared_ptr<result_deliveries> _deliveries)
    : m_logger(_logger),
      m_settings(_settings),
      m_max_connections(_max_connections),
      m_max_transfers(_max_transfers),
      m_deliveries(std::move(_deliveries)),
      m_multi(make_multi()),
      m_thread([this] { run(); }) {}

transfer_worker::~transfer_worker() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        wake_locked();
    }
    m_thread.join();
}

void transfer_worker::queue(std::weak_ptr<request_handle> _handle,
                            std::shared_ptr<const request> _request) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back({std::move(_handle), std::move(_request)});
    if (m_waiting) {
        m_waiting = false;
        wake_locked();
    }
}

void transfer_worker::run() {
    while (take_jobs()) {
        perform();
        if (m_done.empty()) {
            wait();
            continue;
        }
        // Slots came free: the next transfers go out before the results are handed over.
        const auto running = m_active.size();
        if (take_jobs() && m_active.size() > running) {
            perform();
        }
        m_deliveries->push(m_done);
    }
}

transfer_worker::multi_ptr transfer_worker::make_multi() const {
    multi_ptr made(curl_multi_init());
    if (made) {
        curl_multi_setopt(made.get(), CURLMOPT_MAXCONNECTS, m_max_connections);
    }
    return made;
}

// Starts queued requests while there is room; answers false once the worker is to end.
bool transfer_worker::take_jobs() {
    std::vector<job> taken;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            m_queue.clear();
            return !m_active.empty();
        }
        if (!m_multi) {
            m_multi = make_multi();
        }
        while (!m_queue.empty() && m_active.size() + taken.size() < m_max_transfers) {
            // A request whose handle is gone is never sent.
            if (!m_queue.front().m_handle.expired()) {
                taken.push_back(std::move(m_queue.front()));
            }
            m_queue.pop_front();
        }
    }
    for (auto& next : taken) {
        start(std::move(next));
    }
    return true;
}

void transfer_worker::start(job _job) {
    const auto& request = *_job.m_request;
    if (request.m_disabled) {
        m_done.emplace_back(std::move(_job.m_handle), result(std::string(), 200));
        return;
    }
    try {
        auto running =
            std::make_unique<transfer>(m_settings, request.m_method, request.m_url, request.m_body);
        if (!m_multi) {
            m_done.emplace_back(std::move(_job.m_handle), running->fail("curl_multi_init failed"));
            return;
        }
        const auto code = curl_multi_add_handle(m_multi.get(), running->get());
        if (code != CURLM_OK) {
            m_done.emplace_back(
                std::move(_job.m_handle),
                running->fail(std::string("curl_multi failed:") + curl_multi_strerror(code)));
            return;
        }
        m_active.push_back({std::move(_job), std::move(running)});
    } catch (...) {
        // The worker goes on with the next request and the caller still gets an answer.
        m_logger.log_exception();
        m_done.emplace_back(std::move(_job.m_handle), result(exception_to_string()));
    }
}

void transfer_worker::perform() {
    if (m_active.empty()) {
        return;
    }
    int running = 0;
    const auto code = curl_multi_perform(m_multi.get(), &running);
    if (code != CURLM_OK) {
        fail_all(std::string("curl_multi failed:") + curl_multi_strerror(code));
        return;
    }
    collect();
}

void transfer_worker::collect() {
    int queued = 0;
    while (const CURLMsg* const message = curl_multi_info_read(m_multi.get(), &queued)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        const auto ended =
            std::find_if(m_active.begin(), m_active.end(), [message](const active_transfer& _a) {
                return _a.m_transfer->get() == message->easy_handle;
            });
        if (ended == m_active.end()) {
            continue;
        }
        const auto code = message->data.result;
        curl_multi_remove_handle(m_multi.get(), ended->m_transfer->get());
        m_done.emplace_back(std::move(ended->m_job.m_handle), ended->m_transfer->finish(code));
        m_active.erase(ended);
    }
}

// Whatever state a failure left the multi handle in, the next transfers start afresh.
void transfer_worker::fail_all(const std::string& _error) {
    for (auto& failed : m_active) {
        curl_multi_remove_handle(m_multi.get(), failed.m_transfer->get());
        m_done.emplace_back(std::move(failed.m_job.m_handle), failed.m_transfer->fail(_error));
    }
    m_active.clear();
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_multi.reset();
}

void transfer_worker::wait() {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool room = !m_stopping && m_active.size() < m_max_transfers;
        if (room && !m_queue.empty()) {
            return;
        }
        m_waiting = room;
        if (!m_multi) {
            // Nothing runs without a multi handle: wait for a request to try again with.
            m_wakeup.wait_for(lock, std::chrono::milliseconds(wait_milliseconds));
            m_waiting = false;
            return;
        }
    }
    const auto code = curl_multi_poll(m_multi.get(), nullptr, 0, wait_milliseconds, nullptr);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting = false;
    }
    if (code != CURLM_OK) {
        fail_all(std::string("curl_multi failed:") + curl_multi_strerror(code));
        m_deliveries->push(m_done);
    }
}

void transfer_worker::wake_locked() {
    if (m_multi) {
        curl_multi_wakeup(m_multi.get());
    } else {
        m_wakeup.notify_one();
    }
}

}  // namespace kelm::libs::core::http
