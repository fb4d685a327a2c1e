#pragma once

#include "request_handle.hpp"
#include "transfer.hpp"

#include <core/fwd.hpp>

#include <curl/curl.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelm::libs::core::http {

// One thread driving one libcurl multi handle: it takes queued requests in their order,
// runs up to the given number of transfers at once and hands each result to the
// deliveries. Destroying the worker drops what is still queued and waits for the
// transfers in progress, whose results are still delivered.
class transfer_worker {
public:
    transfer_worker(const component_logger& _logger, transfer_settings _settings,
                    long _max_connections, std::size_t _max_transfers,
                    std::shared_ptr<result_deliveries> _deliveries);
    transfer_worker(const transfer_worker&) = delete;
    transfer_worker& operator=(const transfer_worker&) = delete;
    ~transfer_worker();

    // From the loop's thread.
    void queue(std::weak_ptr<request_handle> _handle, std::shared_ptr<const request> _request);

private:
    struct job {
        std::weak_ptr<request_handle> m_handle;
        std::shared_ptr<const request> m_request;
    };
    struct active_transfer {
        job m_job;
        std::unique_ptr<transfer> m_transfer;
    };
    struct multi_deleter {
        void operator()(CURLM* _multi) const { curl_multi_cleanup(_multi); }
    };
    using multi_ptr = std::unique_ptr<CURLM, multi_deleter>;

    multi_ptr make_multi() const;
    void run();
    bool take_jobs();
    void start(job _job);
    void perform();
    void collect();
    void fail_all(const std::string& _error);
    void wait();
    void wake_locked();

    const component_logger& m_logger;
    const transfer_settings m_settings;
    const long m_max_connections;
    const std::size_t m_max_transfers;
    const std::shared_ptr<result_deliveries> m_deliveries;
    // The worker's own: the transfers running and the results of this turn.
    std::vector<active_transfer> m_active;
    std::vector<result_deliveries::delivery> m_done;
    // Shared with the callers; the multi handle is replaced under the mutex, since a
    // caller wakes it.
    std::mutex m_mutex;
    std::deque<job> m_queue;
    multi_ptr m_multi;
    // Wakes the worker while it has no multi handle to wait in.
    std::condition_variable m_wakeup;
    bool m_stopping = false;
    // Whether the worker waits in libcurl and would take a new request.
    bool m_waiting = false;
    std::thread m_thread;
};

}  // namespace kelm::libs::core::http
