#include "config.hpp"

#include <asio_zmq/socket.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/get_config_file_name.hpp>
#include <core/logger.hpp>

#include <sysexits.h>
#include <boost/asio/error.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>

namespace {

using kelm::libs::asio_zmq::message;
using kelm::libs::asio_zmq::pub_socket;
using kelm::libs::asio_zmq::pull_socket;
using kelm::libs::core::logger;

constexpr int shutdown_linger_ms = 5000;

void setup_pipeline(const std::shared_ptr<pull_socket>& _pull, pub_socket& _pub,
                    const logger& _logger);

// One received frame: arm the next receive first, so frames keep their order and a
// failed send loses only its own frame, then publish it as a message of one frame.
void forward(const std::weak_ptr<pull_socket>& _weak_pull, pub_socket& _pub, const logger& _logger,
             const boost::system::error_code& _error, message& _frame) {
    if (_error == boost::asio::error::operation_aborted) {
        return;
    }
    const auto pull = _weak_pull.lock();
    if (!pull) {
        return;
    }
    setup_pipeline(pull, _pub, _logger);
    if (_error) {
        _logger.log_error(_error, KELM_SOURCE_LOCATION());
        return;
    }
    _pub.send(_frame, 0);
}

// The pending receive holds the PULL socket weakly: shutting down never waits for it.
void setup_pipeline(const std::shared_ptr<pull_socket>& _pull, pub_socket& _pub,
                    const logger& _logger) {
    _pull->async_receive([weak_pull = std::weak_ptr<pull_socket>(_pull), &_pub, &_logger](
                             const boost::system::error_code& _error, message& _frame,
                             std::size_t) { forward(weak_pull, _pub, _logger, _error, _frame); });
}

// A configuration file that cannot be opened fails like an unreadable document, but
// says which file and why instead of what the JSON reader makes of an empty stream.
std::ifstream open_config(const std::string& _file_name) {
    std::ifstream stream(_file_name, std::ios_base::in);
    if (!stream) {
        throw std::runtime_error("Cannot parse json: cannot open " + _file_name + ": " +
                                 std::strerror(errno));
    }
    return stream;
}

void run_broker(const kelm::config& _configuration, const logger& _logger) {
    const auto core = kelm::libs::core::core::create(_logger);
    const auto loop = core->create_events_loop("main");
    const auto signals = loop->stop_on_signals();
    pub_socket pub(loop->get_io_context());
    pub.bind(_configuration.system.output_address);
    const auto pull = std::make_shared<pull_socket>(loop->get_io_context());
    pull->bind(_configuration.system.input_address);

    setup_pipeline(pull, pub, _logger);
    // An exception out of a handler is logged and forwarding goes on; only a signal
    // ends the run.
    while (!_logger.execute([&] { loop->run(); })) {
    }
    pull->cancel();
    // Frames still queued for connected subscribers get this long to leave; one that
    // stopped reading would otherwise hold the exit up for good.
    pub.set_option(ZMQ_LINGER, shutdown_linger_ms);
    _logger.info("exit").location(KELM_SOURCE_LOCATION());
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
            auto stream = open_config(file_name);
            const kelm::config configuration(stream);
            failure_status = EXIT_FAILURE;
            run_broker(configuration, log);
        } catch (...) {
            // The system log may not be where the person starting the broker looks.
            std::cerr << kelm::libs::core::exception_to_string() << std::endl;
            throw;
        }
    });
    return clean ? EXIT_SUCCESS : failure_status;
}
