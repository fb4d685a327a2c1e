#pragma once

#include <core/async_operation_handle.hpp>
#include <core/http/method.hpp>
#include <core/http/result.hpp>

#include <boost/utility/string_view.hpp>

#include <memory>
#include <string>

namespace kelm::libs::core::http {

// Sends requests to one base address: the URL of a request is the base address
// followed directly by the request's address. A non-empty body goes as JSON.
// Synchronous requests block the calling thread. Asynchronous ones wait in the
// client's queue until its worker has room (it runs at most the pool size of them at
// once); their results are delivered on the thread of the loop that made the client,
// and dropping the handle before the worker takes the request means it is never
// sent. Transport failures and HTTP error statuses come back in the result, never as
// exceptions. A response body may hold 64 MiB; a longer one fails the request, as a
// transport failure, without being read to its end.
class client {
public:
    using ptr = std::unique_ptr<client>;
    using handle = async_operation_handle<result>;
    using callback = handle::callback;

    virtual ~client() = default;

    virtual result perform_request(method _method, boost::string_view _address) = 0;
    virtual result perform_request(method _method, boost::string_view _address,
                                   boost::string_view _body) = 0;
    virtual handle::ptr perform_async_request(method _method, std::string _address,
                                              callback _callback) = 0;
    virtual handle::ptr perform_async_request(method _method, std::string _address,
                                              std::string _body, callback _callback) = 0;
    virtual handle::ptr perform_async_request(method _method, std::string _address,
                                              std::string _body) = 0;
};

}  // namespace kelm::libs::core::http
