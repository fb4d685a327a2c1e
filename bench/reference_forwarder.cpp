// The yardstick for the broker benchmark: libzmq's own zmq_proxy between a bound PULL and a
// bound PUB. Usage: reference_forwarder INPUT OUTPUT, or reference_forwarder -c CONFIG.json
// (the broker's own command line, so the benchmark can run it in either role).
// With "curve" in the configuration, both sockets are CURVE servers with the key of its
// "secret_key_file"; with no ZAP handler, libzmq lets every client key in, which changes only
// the handshake, not the cost of a frame. SIGINT or SIGTERM ends it with status 0.
#include <pthread.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <zmq.hpp>

namespace {

struct endpoints {
    std::string input;
    std::string output;
    // The CURVE secret key, Z85, when both sockets are CURVE servers.
    std::string secret_key;
};

// The first line of a key file that is neither blank nor a comment.
std::string read_key(const std::string& _path) {
    std::ifstream file(_path);
    for (std::string line; std::getline(file, line);) {
        line.erase(0, line.find_first_not_of(" \t\r"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (!line.empty() && line[0] != '#') return line;
    }
    throw std::runtime_error("no key in " + _path);
}

endpoints endpoints_from_config(const std::string& _path) {
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(_path, tree);
    const auto secret_key_file = tree.get_optional<std::string>("system.curve.secret_key_file");
    return {tree.get<std::string>("system.input_address"),
            tree.get<std::string>("system.output_address"),
            secret_key_file ? read_key(*secret_key_file) : std::string()};
}

endpoints endpoints_from_arguments(int _argc, char** _argv) {
    if (_argc == 3 && std::string(_argv[1]) == "-c") return endpoints_from_config(_argv[2]);
    if (_argc == 3) return {_argv[1], _argv[2], {}};
    throw std::invalid_argument("usage: reference_forwarder INPUT OUTPUT | -c CONFIG.json");
}

void bind(zmq::socket_t& _socket, const std::string& _endpoint) {
    try {
        _socket.bind(_endpoint);
    } catch (const zmq::error_t& e) {
        if (e.num() == ETERM) throw;
        throw std::runtime_error("cannot bind " + _endpoint + ": " + e.what());
    }
}

// Returns normally once the context is shut down; any other failure propagates.
void forward(zmq::context_t& _context, const endpoints& _endpoints) {
    try {
        zmq::socket_t input(_context, zmq::socket_type::pull);
        zmq::socket_t output(_context, zmq::socket_type::pub);
        input.set(zmq::sockopt::linger, 0);
        output.set(zmq::sockopt::linger, 0);
        if (!_endpoints.secret_key.empty()) {
            for (auto* socket : {&input, &output}) {
                socket->set(zmq::sockopt::curve_server, true);
                socket->set(zmq::sockopt::curve_secretkey, _endpoints.secret_key);
            }
        }
        bind(input, _endpoints.input);
        bind(output, _endpoints.output);
        zmq::proxy(input, output);
    } catch (const zmq::error_t& e) {
        if (e.num() != ETERM) throw;
    }
}

}  // namespace

int main(int argc, char** argv) {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    // Blocked before any thread exists, so only the watcher below ever receives them.
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    zmq::context_t context;
    std::thread watcher([&] {
        int signal = 0;
        sigwait(&stop_signals, &signal);
        context.shutdown();
    });
    int status = 0;
    try {
        forward(context, endpoints_from_arguments(argc, argv));
    } catch (const std::exception& e) {
        std::cerr << "reference_forwarder: " << e.what() << '\n';
        status = 1;
    }
    // Wakes the watcher when forwarding ended without a signal; harmless when it already has.
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    return status;
}
