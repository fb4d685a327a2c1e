#pragma once

#include <core/logger.hpp>

#include <boost/asio/io_context.hpp>

#include <memory>
#include <set>
#include <string>

namespace kelm {

// Decides which peers may complete a CURVE handshake with the broker's sockets: libzmq asks it
// over ZAP, on inproc://zeromq.zap.01 of the io_context's ZeroMQ context, and it answers on the
// io_context's thread. A socket tells its role by its ZAP domain: a producer's key opens only
// the input, a subscriber's only the output.
//
// Refusals are logged once per domain, key and address a minute, so a peer that keeps retrying
// does not flood the log.
class zap_handler {
public:
    static constexpr const char* input_domain = "quorvane-input";
    static constexpr const char* output_domain = "quorvane-output";

    // The keys of the peers allowed on each socket, read from a folder of *.pub files.
    struct folder {
        std::string path;
        std::set<std::string> keys;
    };

    // Starts answering with the keys given. Throws boost::system::system_error when the
    // handler's endpoint cannot be bound (another handler already answers in this context).
    zap_handler(boost::asio::io_context& _io_context, const libs::core::logger& _logger,
                folder _producers, folder _subscribers);
    zap_handler(const zap_handler&) = delete;
    zap_handler& operator=(const zap_handler&) = delete;
    ~zap_handler();

    // Reads both folders again; the next handshake goes by what they hold now. A folder that
    // cannot be read keeps the keys read before, and the reason is logged. Ends with the info
    // line of log_key_counts().
    void reload();
    // One info line with the number of keys of each folder.
    void log_key_counts() const;

private:
    struct shared_data;

    static void receive(const std::shared_ptr<shared_data>& _data);

    std::shared_ptr<shared_data> m_data;
};

}  // namespace kelm
