#include "zap_handler.hpp"

#include "curve_keys.hpp"

#include <asio_zmq/socket.hpp>
#include <core/exception.hpp>

#include <boost/asio/error.hpp>

#include <array>
#include <chrono>
#include <map>
#include <set>
#include <vector>

namespace kelm {
namespace {

using libs::asio_zmq::message;
using clock = std::chrono::steady_clock;

constexpr std::chrono::minutes refusal_log_period{1};
// Refusals remembered for the period above at most; past this many distinct ones in a minute,
// the others are refused without a line until older ones are forgotten.
constexpr std::size_t refusal_log_limit = 4096;
// A ZAP request: version, request id, domain, address, routing id, mechanism, credentials.
constexpr std::size_t request_frames = 7;
constexpr std::size_t raw_key_size = 32;

}  // namespace

struct zap_handler::shared_data {
    shared_data(boost::asio::io_context& _io_context, const libs::core::logger& _logger)
        : socket(_io_context), logger(_logger) {}

    // Whether the request may go through, and why not when it may not.
    std::string refusal(const std::vector<message>& _request) const;
    // Reads the rest of the request and sends the answer; never throws.
    void answer(message _first);
    void log_refusal(const std::vector<message>& _request, const std::string& _reason);
    void read_again(folder& _folder, const char* _name);

    libs::asio_zmq::rep_socket socket;
    const libs::core::logger& logger;
    folder producers;
    folder subscribers;
    // When each domain, key and address was last logged as refused.
    std::map<std::string, clock::time_point> logged_refusals;
};

zap_handler::zap_handler(boost::asio::io_context& _io_context, const libs::core::logger& _logger,
                         folder _producers, folder _subscribers)
    : m_data(std::make_shared<shared_data>(_io_context, _logger)) {
    m_data->producers = std::move(_producers);
    m_data->subscribers = std::move(_subscribers);
    m_data->socket.set_option(ZMQ_LINGER, 0);
    m_data->socket.bind("inproc://zeromq.zap.01");
    receive(m_data);
}

zap_handler::~zap_handler() {
    m_data->socket.close();
}

void zap_handler::reload() {
    m_data->read_again(m_data->producers, "producers");
    m_data->read_again(m_data->subscribers, "subscribers");
    log_key_counts();
}

void zap_handler::log_key_counts() const {
    m_data->logger.info("CURVE keys: %1% producers in %2%, %3% subscribers in %4%") %
        m_data->producers.keys.size() % m_data->producers.path % m_data->subscribers.keys.size() %
        m_data->subscribers.path;
}

// A request comes whole, so after its first frame the others are already there. The next
// receive is armed once the answer is sent, as a REP socket takes no receive before that.
void zap_handler::receive(const std::shared_ptr<shared_data>& _data) {
    _data->socket.async_receive(
        [weak = std::weak_ptr<shared_data>(_data)](const boost::system::error_code& _error,
                                                   message& _frame, std::size_t) {
            const auto data = weak.lock();
            if (!data || _error == boost::asio::error::operation_aborted) {
                return;
            }
            if (_error) {
                data->logger.log_error(_error, KELM_SOURCE_LOCATION());
            } else {
                data->answer(std::move(_frame));
            }
            receive(data);
        });
}

std::string zap_handler::shared_data::refusal(const std::vector<message>& _request) const {
    if (_request[5].string_view() != "CURVE") {
        return "not a CURVE handshake";
    }
    const auto domain = _request[2].string_view();
    const std::string key(_request[6].string_view());
    if (domain == input_domain) {
        return producers.keys.count(key) != 0 ? "" : "the key is not among the producers'";
    }
    if (domain == output_domain) {
        return subscribers.keys.count(key) != 0 ? "" : "the key is not among the subscribers'";
    }
    return "unknown ZAP domain";
}

void zap_handler::shared_data::answer(message _first) {
    std::vector<message> request;
    request.push_back(std::move(_first));
    boost::system::error_code error;
    while (!error && request.back().more()) {
        request.emplace_back();
        socket.receive(request.back(), ZMQ_DONTWAIT, error);
    }
    // libzmq sends well-formed requests only; anything else is answered as a fault.
    const bool well_formed =
        !error && request.size() == request_frames && request[0].string_view() == "1.0";
    const std::string reason = well_formed ? refusal(request) : "malformed ZAP request";
    if (!well_formed) {
        logger.warning("Malformed ZAP request of %1% frames") % request.size();
    } else if (!reason.empty()) {
        log_refusal(request, reason);
    }
    const char* status = reason.empty() ? "200" : well_formed ? "400" : "500";
    std::array<message, 6> reply{message(std::string_view("1.0")),
                                 request.size() > 1 ? std::move(request[1]) : message(),
                                 message(std::string_view(status)),
                                 message(std::string_view(reason.empty() ? "OK" : reason)),
                                 message(),
                                 message()};
    boost::system::error_code send_error;
    for (std::size_t i = 0; i < reply.size() && !send_error; ++i) {
        socket.send(reply[i], i + 1 < reply.size() ? ZMQ_SNDMORE : 0, send_error);
    }
    if (send_error) {
        logger.log_error(send_error, KELM_SOURCE_LOCATION());
    }
}

void zap_handler::shared_data::log_refusal(const std::vector<message>& _request,
                                           const std::string& _reason) {
    const auto now = clock::now();
    const std::string credentials(_request[6].string_view());
    const std::string key = credentials.size() == raw_key_size ? curve::encode(credentials) : "-";
    const std::string address(_request[3].string_view());
    const std::string domain(_request[2].string_view());
    const std::string identity = domain + ' ' + key + ' ' + address;
    if (logged_refusals.size() >= refusal_log_limit) {
        for (auto entry = logged_refusals.begin(); entry != logged_refusals.end();) {
            entry = now - entry->second >= refusal_log_period ? logged_refusals.erase(entry)
                                                              : std::next(entry);
        }
    }
    const auto logged = logged_refusals.find(identity);
    if (logged != logged_refusals.end() && now - logged->second < refusal_log_period) {
        return;
    }
    if (logged == logged_refusals.end() && logged_refusals.size() >= refusal_log_limit) {
        return;
    }
    logged_refusals[identity] = now;
    logger.warning("Refused a peer of %1% from %2% with key %3%: %4%") %
        (domain == input_domain    ? "the input"
         : domain == output_domain ? "the output"
                                   : domain) %
        address % key % _reason;
}

void zap_handler::shared_data::read_again(folder& _folder, const char* _name) {
    try {
        _folder.keys = curve::read_key_folder(_folder.path);
    } catch (const libs::core::exception& e) {
        logger.warning("Keeping the %1% keys of %2% read before: %3%") % _folder.keys.size() %
            _name % e.get_string_error();
    }
}

}  // namespace kelm
