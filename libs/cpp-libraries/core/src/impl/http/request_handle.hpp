#pragma once

#include "../handle_deliveries.hpp"

#include <core/async_operation_handle.hpp>
#include <core/fwd.hpp>
#include <core/http/method.hpp>
#include <core/http/result.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace kelm::libs::core::http {

class transfer_worker;

// An asynchronous request as the worker needs it, apart from its handle: the worker never
// holds the handle itself, so the handle and its callback go where the caller drops them.
struct request {
    method m_method;
    std::string m_url;
    std::string m_body;
    // A disabled method is answered at once, without a transfer.
    bool m_disabled;
};

// The handle of one asynchronous request. The worker keeps only a weak pointer to it:
// a request whose handle is dropped before the worker takes it is never sent, and a
// dropped handle gets no result.
class request_handle final : public async_operation_handle<result>,
                             public std::enable_shared_from_this<request_handle> {
public:
    request_handle(transfer_worker& _worker, std::shared_ptr<const request> _request)
        : m_worker(_worker), m_request(std::move(_request)) {}

    // Queues the request on the worker.
    void start();
    void restart() override;
    bool is_complete() const override;

    // On the loop's thread.
    void deliver(result _result);

private:
    transfer_worker& m_worker;
    std::shared_ptr<const request> m_request;
    std::atomic<bool> m_completed{false};
};

// Results on their way from the worker to their handles; the transfers a closing client
// waited for still deliver theirs.
using result_deliveries = detail::handle_deliveries<request_handle, result, std::mutex>;

}  // namespace kelm::libs::core::http
