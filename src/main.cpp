#include "config.hpp"
#include "curve_keys.hpp"
#include "metrics.hpp"
#include "metrics_server.hpp"
#include "service_notify.hpp"
#include "zap_handler.hpp"

#include <asio_zmq/monitor.hpp>
#include <asio_zmq/socket.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/get_config_file_name.hpp>
#include <core/logger.hpp>
#include <core/version.hpp>

#include <signal.h>
#include <sys/resource.h>
#include <sysexits.h>
#include <unistd.h>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace {

using kelm::libs::asio_zmq::message;
using kelm::libs::asio_zmq::monitor;
using kelm::libs::asio_zmq::pub_socket;
using kelm::libs::asio_zmq::pull_socket;
using kelm::libs::asio_zmq::socket;
using kelm::libs::asio_zmq::socket_event;
using kelm::libs::core::logger;

constexpr int shutdown_linger_ms = 5000;
// A peer that vanished without closing is found out after about idle + count × interval.
constexpr int keepalive_idle_s = 60;
constexpr int keepalive_interval_s = 10;
constexpr int keepalive_count = 5;
// The line echoed to standard error is cut here: it may quote an endpoint of any length.
constexpr std::size_t standard_error_line_limit = 1024;
// What the metrics follow of each socket's peers.
constexpr int peer_events = ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED |
                            ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL |
                            ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH;

void setup_pipeline(const std::shared_ptr<pull_socket>& _pull, pub_socket& _pub,
                    const logger& _logger, kelm::metrics& _metrics);

// One received frame: arm the next receive first, so frames keep their order and a
// failed send loses only its own frame, then publish it as a message of one frame.
void forward(const std::weak_ptr<pull_socket>& _weak_pull, pub_socket& _pub, const logger& _logger,
             kelm::metrics& _metrics, const boost::system::error_code& _error, message& _frame) {
    if (_error == boost::asio::error::operation_aborted) {
        return;
    }
    const auto pull = _weak_pull.lock();
    if (!pull) {
        return;
    }
    setup_pipeline(pull, _pub, _logger, _metrics);
    if (_error) {
        ++_metrics.receive_errors;
        _logger.log_error(_error, KELM_SOURCE_LOCATION());
        return;
    }
    const std::size_t size = _frame.size();
    ++_metrics.frames_received;
    _metrics.bytes_received += size;
    boost::system::error_code send_error;
    _pub.send(_frame, 0, send_error);
    if (send_error) {
        ++_metrics.publish_errors;
        throw boost::system::system_error(send_error, "send");
    }
    ++_metrics.frames_published;
    _metrics.bytes_published += size;
}

// The pending receive holds the PULL socket weakly: shutting down never waits for it.
void setup_pipeline(const std::shared_ptr<pull_socket>& _pull, pub_socket& _pub,
                    const logger& _logger, kelm::metrics& _metrics) {
    _pull->async_receive(
        [weak_pull = std::weak_ptr<pull_socket>(_pull), &_pub, &_logger, &_metrics](
            const boost::system::error_code& _error, message& _frame, std::size_t) {
            forward(weak_pull, _pub, _logger, _metrics, _error, _frame);
        });
}

// Every accepted connection ends with one disconnection, a failed handshake included.
void count_peer(std::int64_t& _peers, std::uint64_t& _handshake_failures,
                const socket_event& _event) {
    if (_event.event == ZMQ_EVENT_ACCEPTED) {
        ++_peers;
    } else if (_event.event == ZMQ_EVENT_DISCONNECTED) {
        --_peers;
    } else {
        ++_handshake_failures;
    }
}

// Follows the peers of both sockets, for as long as the broker serves metrics.
class peer_monitors {
public:
    peer_monitors(boost::asio::io_context& _io_context, socket& _pull, socket& _pub,
                  kelm::metrics& _metrics)
        : m_input(_io_context, _pull, peer_events,
                  [&_metrics](const socket_event& _event) {
                      count_peer(_metrics.producers, _metrics.handshake_failures, _event);
                  }),
          m_output(_io_context, _pub, peer_events, [&_metrics](const socket_event& _event) {
              count_peer(_metrics.subscribers, _metrics.handshake_failures, _event);
          }) {}

private:
    monitor m_input;
    monitor m_output;
};

// What both sockets share: keepalive and heartbeats reclaim peers that vanished without
// closing, the frame size limit bounds what one peer can make the broker hold.
void apply_limits(socket& _socket, const kelm::config& _configuration, int _max_message_size) {
    _socket.set_option(ZMQ_MAXMSGSIZE, std::int64_t{_max_message_size});
    _socket.set_option(ZMQ_TCP_KEEPALIVE, 1);
    _socket.set_option(ZMQ_TCP_KEEPALIVE_IDLE, keepalive_idle_s);
    _socket.set_option(ZMQ_TCP_KEEPALIVE_INTVL, keepalive_interval_s);
    _socket.set_option(ZMQ_TCP_KEEPALIVE_CNT, keepalive_count);
    if (_configuration.system.heartbeat_interval_ms > 0) {
        _socket.set_option(ZMQ_HEARTBEAT_IVL, _configuration.system.heartbeat_interval_ms);
        if (_configuration.system.heartbeat_timeout_ms > 0) {
            _socket.set_option(ZMQ_HEARTBEAT_TIMEOUT, _configuration.system.heartbeat_timeout_ms);
        }
    }
}

// What CURVE needs, read before anything binds: the broker's keys and those of its peers.
struct curve_setup {
    kelm::curve::key_pair server;
    kelm::zap_handler::folder producers;
    kelm::zap_handler::folder subscribers;
};

// A relative secret key file is looked up among the credentials systemd passes to the service
// (LoadCredential=), when it passes any: that is how a DynamicUser service gets a key that
// belongs to it.
std::string secret_key_path(const std::string& _file_name) {
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    return _file_name.front() == '/' || credentials == nullptr || *credentials == '\0'
               ? _file_name
               : std::string(credentials) + "/" + _file_name;
}

std::optional<curve_setup> read_curve(const kelm::config& _configuration) {
    const auto& files = _configuration.system.curve;
    if (!files) {
        return std::nullopt;
    }
    return curve_setup{kelm::curve::read_secret_key(secret_key_path(files->secret_key_file)),
                       {files->producers, kelm::curve::read_key_folder(files->producers)},
                       {files->subscribers, kelm::curve::read_key_folder(files->subscribers)}};
}

// A CURVE server with the broker's key; the ZAP domain tells the handler which socket asks.
void require_curve(socket& _socket, const curve_setup& _curve, const char* _domain) {
    _socket.set_option(ZMQ_CURVE_SERVER, 1);
    _socket.set_option(ZMQ_CURVE_SECRETKEY, _curve.server.secret_key);
    _socket.set_option(ZMQ_ZAP_DOMAIN, _domain);
}

// SIGHUP reads the keys of the peers again; without CURVE there are none to read.
void reload_on_hangup(const std::shared_ptr<boost::asio::signal_set>& _hangup,
                      kelm::zap_handler* _zap, const logger& _logger) {
    _hangup->async_wait([weak = std::weak_ptr<boost::asio::signal_set>(_hangup), _zap, &_logger](
                            const boost::system::error_code& _error, int) {
        const auto hangup = weak.lock();
        if (_error || !hangup) {
            return;
        }
        reload_on_hangup(hangup, _zap, _logger);
        if (_zap != nullptr) {
            _zap->reload();
        } else {
            _logger.info("SIGHUP: no keys to read again without system.curve");
        }
    });
}

void warn_if_exposed(const std::string& _endpoint, const char* _name, const char* _action,
                     const logger& _logger) {
    if (kelm::reachable_from_network(_endpoint)) {
        _logger.warning(
            "The %1% %2% is not on loopback and system.curve is not set: anyone who reaches "
            "that port can %3%") %
            _name % _endpoint % _action;
    }
}

// Once the drain has begun, a second SIGINT or SIGTERM ends it: what is still queued for
// subscribers is given up, and the broker ends as if the drain had run out.
extern "C" void end_drain(int) {
    ::_exit(EXIT_SUCCESS);
}

// Blocks SIGINT and SIGTERM on this thread while the drain's handler replaces the events
// loop's signal handling, which gives both signals their default action back when it ends.
// libzmq's threads block every signal, so one that comes meanwhile waits for the handler.
class drain_signals {
public:
    explicit drain_signals(kelm::libs::core::events_loop::signals_handle::ptr& _signals) {
        sigemptyset(&m_stopping);
        sigaddset(&m_stopping, SIGINT);
        sigaddset(&m_stopping, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &m_stopping, &m_previous);
        _signals.reset();
        struct sigaction action {};
        action.sa_handler = end_drain;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
    }
    drain_signals(const drain_signals&) = delete;
    drain_signals& operator=(const drain_signals&) = delete;
    ~drain_signals() { ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }

private:
    sigset_t m_stopping;
    sigset_t m_previous;
};

// What the "Bound ..." line adds for the metrics listener, if there is one.
std::string metrics_url(const std::optional<kelm::metrics_server>& _server) {
    if (!_server) {
        return {};
    }
    std::ostringstream url;
    url << ", metrics http://" << _server->local_endpoint() << "/metrics";
    return url.str();
}

void run_broker(const kelm::config& _configuration, const std::optional<curve_setup>& _curve,
                const logger& _logger) {
    const auto& system = _configuration.system;
    // Handlers still queued when the loop is destroyed may count: the counters outlive it.
    kelm::metrics counters;
    const auto core = kelm::libs::core::core::create(_logger);
    const auto loop = core->create_events_loop("main");
    auto& io_context = loop->get_io_context();
    auto signals = loop->stop_on_signals();
    // Answering before either socket binds, so no peer connects unchecked.
    std::optional<kelm::zap_handler> zap;
    if (_curve) {
        zap.emplace(io_context, _logger, _curve->producers, _curve->subscribers);
    }
    const auto hangup = std::make_shared<boost::asio::signal_set>(io_context, SIGHUP);
    reload_on_hangup(hangup, zap ? &*zap : nullptr, _logger);
    pub_socket pub(io_context);
    const auto pull = std::make_shared<pull_socket>(io_context);
    // Watching starts before the binds, so no peer goes uncounted; it ends before the sockets.
    std::optional<peer_monitors> peers;
    if (!system.metrics_address.empty()) {
        peers.emplace(io_context, *pull, pub, counters);
    }
    apply_limits(pub, _configuration, system.max_subscription_size);
    pub.set_option(ZMQ_SNDHWM, system.output_high_water_mark);
    apply_limits(*pull, _configuration, system.max_message_size);
    pull->set_option(ZMQ_RCVHWM, system.input_high_water_mark);
    if (_curve) {
        require_curve(pub, *_curve, kelm::zap_handler::output_domain);
        require_curve(*pull, *_curve, kelm::zap_handler::input_domain);
    }
    pub.bind(system.output_address);
    pull->bind(system.input_address);
    std::optional<kelm::metrics_server> metrics;
    if (!system.metrics_address.empty()) {
        metrics.emplace(
            io_context,
            boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(system.metrics_host),
                                           system.metrics_port),
            [&counters] {
                return kelm::render(counters,
                                    std::string(kelm::libs::core::constants::git_version));
            });
    }
    // A wildcard address or port shows here as what was actually bound.
    _logger.info("Bound input %1% and output %2%%3%") % pull->endpoint() % pub.endpoint() %
        metrics_url(metrics);
    if (zap) {
        zap->log_key_counts();
    } else {
        warn_if_exposed(pull->endpoint(), "input", "publish", _logger);
        warn_if_exposed(pub.endpoint(), "output", "read everything published", _logger);
    }
    kelm::notify_service_manager("READY=1");

    setup_pipeline(pull, pub, _logger, counters);
    // An exception out of a handler is logged and forwarding goes on; only a signal
    // ends the run.
    while (!_logger.execute([&] { loop->run(); })) {
    }
    kelm::notify_service_manager("STOPPING=1");
    {
        // A second signal is held back until "exit" is logged, and then ends the drain.
        const drain_signals second_signal(signals);
        pull->cancel();
        // Frames still queued for connected subscribers get this long to leave; one that
        // stopped reading would otherwise hold the exit up for good.
        pub.set_option(ZMQ_LINGER, shutdown_linger_ms);
        _logger.info("exit").location(KELM_SOURCE_LOCATION());
    }
}

// Servers with many peers need a descriptor for each: take all the system allows.
void raise_open_files_limit(const logger& _logger) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        _logger.warning("Cannot read the limit of open files: %1%") % std::strerror(errno);
        return;
    }
    if (limit.rlim_cur == limit.rlim_max) {
        return;
    }
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        _logger.warning("Cannot raise the limit of open files from %1% to %2%: %3%") % soft %
            limit.rlim_max % std::strerror(errno);
    }
}

std::string cut(const std::string& _line) {
    return _line.size() <= standard_error_line_limit
               ? _line
               : _line.substr(0, standard_error_line_limit) + "... (" +
                     std::to_string(_line.size()) + " bytes)";
}

}  // namespace

int main(int argc, char** argv) {
    logger log("quorvane", "main");

    // What a failure of the current step tells the service manager.
    int failure_status = EX_USAGE;
    const bool clean = log.execute([&] {
        try {
            log.set_writing_to_socket(false);
            const auto file_name = kelm::libs::core::get_config_file_name(argc, argv);
            failure_status = EX_CONFIG;
            std::istringstream stream(kelm::config::read_file(file_name));
            const kelm::config configuration(stream);
            const auto curve = read_curve(configuration);
            failure_status = EXIT_FAILURE;
            raise_open_files_limit(log);
            run_broker(configuration, curve, log);
        } catch (...) {
            // The system log may not be where the person starting the broker looks.
            std::cerr << cut(kelm::libs::core::exception_to_string()) << std::endl;
            throw;
        }
    });
    return clean ? EXIT_SUCCESS : failure_status;
}
