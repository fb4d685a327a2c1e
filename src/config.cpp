#include "config.hpp"
#include "small_file.hpp"

#include <config_parser/config.hpp>
#include <config_parser/dictionary.hpp>
#include <config_parser/result.hpp>
#include <core/exception.hpp>

#include <boost/asio/ip/address.hpp>

#include <sys/un.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace kelm {
namespace {

namespace cfg = libs::config;

[[noreturn]] void refuse_file(const std::string& _file_name, const std::string& _why) {
    throw std::runtime_error("Cannot parse json: " + _file_name + ": " + _why);
}

bool is_port(const std::string& _text) {
    return !_text.empty() && _text.size() <= 5 &&
           std::all_of(_text.begin(), _text.end(),
                       [](unsigned char _c) { return std::isdigit(_c) != 0; }) &&
           std::stoi(_text) <= 65535;
}

// Why the endpoint can never be bound, or empty when ZeroMQ may bind it.
std::string endpoint_fault(const std::string& _endpoint) {
    if (_endpoint.find('\0') != std::string::npos) {
        return "contains a NUL character";
    }
    const auto separator = _endpoint.find("://");
    if (separator == std::string::npos || separator + 3 == _endpoint.size()) {
        return "not of the form transport://address";
    }
    const std::string transport = _endpoint.substr(0, separator);
    const std::string address = _endpoint.substr(separator + 3);
    if (transport == "ipc") {
        return address.size() < sizeof(sockaddr_un::sun_path)
                   ? std::string()
                   : "ipc path longer than " + std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
                         " bytes";
    }
    if (transport != "tcp") {
        return "unsupported transport, tcp or ipc expected";
    }
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return "tcp address without host:port";
    }
    const std::string port = address.substr(colon + 1);
    if (port == "*") {
        return {};
    }
    if (!is_port(port)) {
        return "tcp port is not a number from 0 to 65535 or *";
    }
    return {};
}

// Why "host:port" is no address to listen on, or empty; the host goes to _host, unbracketed.
std::string listen_fault(const std::string& _address, std::string& _host) {
    const auto colon = _address.rfind(':');
    if (colon == std::string::npos) {
        return "not of the form host:port";
    }
    _host = _address.substr(0, colon);
    const bool bracketed = _host.size() > 1 && _host.front() == '[' && _host.back() == ']';
    if (bracketed) {
        _host = _host.substr(1, _host.size() - 2);
    }
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(_host, error);
    if (error || address.is_v6() != bracketed) {
        return "the host is not an IPv4 address or an IPv6 address in brackets";
    }
    if (!is_port(_address.substr(colon + 1))) {
        return "the port is not a number from 0 to 65535";
    }
    return {};
}

// Whether "system" has the optional member _name.
bool has_member(const cfg::config& _document, const std::string& _name) {
    const auto system = _document.get<const cfg::dictionary&>("system");
    return system && system->get_value(_name);
}

// An optional member of "system" that counts something: absent leaves the default.
void read_count(const cfg::config& _document, const std::string& _name, int& _target,
                std::vector<std::string>& _reasons) {
    if (!has_member(_document, _name)) {
        return;
    }
    const auto found = _document.get_by_path<int>({"system", _name});
    if (!found.ok()) {
        _reasons.push_back(found.reason());
    } else if (found.value() < 0) {
        _reasons.push_back("Field must not be negative: system." + _name);
    } else {
        _target = found.value();
    }
}

// The optional "metrics_address", checked; absent leaves the three targets alone.
void read_metrics_address(const cfg::config& _document, std::string& _address, std::string& _host,
                          unsigned short& _port, std::vector<std::string>& _reasons) {
    if (!has_member(_document, "metrics_address")) {
        return;
    }
    const auto found = _document.get_by_path<std::string>({"system", "metrics_address"});
    if (!found.ok()) {
        _reasons.push_back(found.reason());
        return;
    }
    std::string host;
    const auto fault = listen_fault(found.value(), host);
    if (!fault.empty()) {
        _reasons.push_back("Not an address to listen on: system.metrics_address: " + fault);
        return;
    }
    _address = found.value();
    _host = host;
    _port =
        static_cast<unsigned short>(std::stoi(found.value().substr(found.value().rfind(':') + 1)));
}

// The optional "curve" object: its three file names are all needed.
void read_curve(const cfg::config& _document,
                std::optional<decltype(config::system)::curve_files>& _curve,
                std::vector<std::string>& _reasons) {
    if (!has_member(_document, "curve")) {
        return;
    }
    decltype(config::system)::curve_files files;
    bool complete = true;
    for (auto [name, target] : {std::make_pair("secret_key_file", &files.secret_key_file),
                                std::make_pair("producers", &files.producers),
                                std::make_pair("subscribers", &files.subscribers)}) {
        const auto found = _document.get_by_path<std::string>({"system", "curve", name});
        if (!found.ok()) {
            _reasons.push_back(found.reason());
        } else if (found.value().empty()) {
            _reasons.push_back(std::string("Field must not be empty: system.curve.") + name);
        } else {
            *target = found.value();
            continue;
        }
        complete = false;
    }
    if (complete) {
        _curve = files;
    }
}

}  // namespace

config::config(std::istream& _stream) {
    const auto document = cfg::config::create<cfg::type::json>(_stream);
    // Both look-ups always run, so one message names every missing endpoint.
    auto input = document->get_by_path<std::string>({"system", "input_address"});
    auto output = document->get_by_path<std::string>({"system", "output_address"});
    const auto endpoints = std::move(input) + std::move(output);
    std::vector<std::string> reasons;
    if (!endpoints.ok()) {
        reasons.push_back(endpoints.reason());
    } else {
        std::tie(system.input_address, system.output_address) = endpoints.value();
        for (const auto& [name, endpoint] :
             {std::make_pair("input_address", system.input_address),
              std::make_pair("output_address", system.output_address)}) {
            const auto fault = endpoint_fault(endpoint);
            if (!fault.empty()) {
                reasons.push_back(std::string("Not an endpoint to bind: system.") + name + ": " +
                                  fault);
            }
        }
    }
    read_count(*document, "max_message_size", system.max_message_size, reasons);
    read_count(*document, "max_subscription_size", system.max_subscription_size, reasons);
    read_count(*document, "input_high_water_mark", system.input_high_water_mark, reasons);
    read_count(*document, "output_high_water_mark", system.output_high_water_mark, reasons);
    read_count(*document, "heartbeat_interval_ms", system.heartbeat_interval_ms, reasons);
    read_count(*document, "heartbeat_timeout_ms", system.heartbeat_timeout_ms, reasons);
    read_metrics_address(*document, system.metrics_address, system.metrics_host,
                         system.metrics_port, reasons);
    read_curve(*document, system.curve, reasons);
    if (!reasons.empty()) {
        std::string text = reasons.front();
        for (auto reason = reasons.begin() + 1; reason != reasons.end(); ++reason) {
            text += "\n" + *reason;
        }
        throw libs::core::exception("Config file is invalid: " + text, KELM_SOURCE_LOCATION());
    }
}

bool reachable_from_network(const std::string& _endpoint) {
    const std::string tcp = "tcp://";
    if (_endpoint.compare(0, tcp.size(), tcp) != 0) {
        return false;
    }
    const auto colon = _endpoint.rfind(':');
    std::string host = _endpoint.substr(tcp.size(), colon - tcp.size());
    if (host.size() > 1 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(host, error);
    return error || !address.is_loopback();
}

// A FIFO would block the start, a device could be read without end, and a directory would
// fail as a baffling syntax error: only a regular file is read, and only a small one.
std::string config::read_file(const std::string& _file_name) {
    try {
        return small_file::read(_file_name, max_file_size).content;
    } catch (const small_file::fault& _fault) {
        if (_fault.failed == small_file::fault::step::open) {
            throw std::runtime_error("Cannot parse json: cannot open " + _file_name + ": " +
                                     _fault.what());
        }
        refuse_file(_file_name, _fault.failed == small_file::fault::step::too_large
                                    ? "larger than 1 MiB"
                                    : _fault.what());
    }
}

}  // namespace kelm
