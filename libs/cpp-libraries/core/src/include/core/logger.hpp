#pragma once

#include <core/scope_guard.hpp>
#include <core/source_location.hpp>
#include <core/timestamp.hpp>

#include <boost/format.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>
#include <zmq.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kelm::libs::core {

class located_exception;
class logger;

// Describes the exception being handled; call only inside a catch handler.
std::string exception_to_string();
std::string exception_to_string(const located_exception& _exception);

// A named component of the process logger. Lines are written as
//     log.info("Bound %1% to %2%") % name % address;
// and emitted when the statement ends.
class component_logger {
public:
    using ptr = std::unique_ptr<component_logger>;
    using indent_guard = scope_guard;
    class formatter;

    component_logger(const logger& _logger, const std::string& _module_name,
                     const std::string& _component_name);
    component_logger(const component_logger&) = delete;
    component_logger& operator=(const component_logger&) = delete;

    ptr component(const std::string& _component_name) const;

    formatter debug(boost::string_view _format) const;
    formatter info(boost::string_view _format) const;
    formatter warning(boost::string_view _format) const;
    formatter error(boost::string_view _format) const;

    void log_error(const boost::system::error_code& _error, const source_location& _location) const;
    // These three describe the exception being handled: call them inside a catch handler.
    void log_exception() const;
    void log_exception(const source_location& _location) const;
    void log_exception(const located_exception& _exception) const;

    // Runs the callable; an exception is logged instead of propagated.
    template <class F>
    bool execute(F&& _callable) const {
        try {
            std::forward<F>(_callable)();
            return true;
        } catch (...) {
            log_exception();
            return false;
        }
    }

    // Call tracing: each writes one debug line at the current depth, then indents
    // this component's later lines one step deeper until the guard is destroyed.
    // The depth belongs to the component, shared by every thread that uses it.
    indent_guard enter_function(const source_location& _location) const;
    indent_guard enter_function_short(const source_location& _location,
                                      boost::string_view _text) const;
    indent_guard enter_scope(boost::string_view _name) const;
    indent_guard enter_scope(const source_location& _location) const;
    indent_guard enter_scope(const source_location& _location, boost::string_view _name) const;

    std::string make_indent() const;

private:
    friend class formatter;

    indent_guard indent() const;

    mutable std::atomic<std::int32_t> m_indent{0};
    const logger& m_logger;
    std::string m_module_name;
    std::string m_zmq_prefix;
};

// One log line: fed by operator%, decorated, and emitted by its destructor.
class component_logger::formatter {
public:
    formatter(int _level, boost::string_view _format, const component_logger& _logger);
    formatter(const formatter&) = delete;
    formatter& operator=(const formatter&) = delete;
    ~formatter();

    template <class T>
    formatter& operator%(const T& _argument) {
        try {
            m_format % _argument;
        } catch (const boost::io::too_many_args&) {
            m_arguments_fit = false;
            throw;
        }
        return *this;
    }

    formatter& location(const source_location& _location);
    formatter& function(const source_location& _location);
    formatter& short_function(const source_location& _location);
    formatter& date_time(timestamp _timestamp);

private:
    void emit() const;
    std::string body() const;

    boost::format m_format;
    int m_log_level;
    const component_logger& m_logger;
    boost::optional<source_location> m_source_location;
    boost::string_view m_function;
    boost::optional<timestamp> m_timestamp;
    const char* m_format_text;
    bool m_arguments_fit = true;
};

// The process logger: writes every line to the system log and, while socket output
// is on, to a ZeroMQ PUSH socket connected to a collector. Shared by all threads.
class logger : public component_logger {
public:
    logger(const std::string& _module_name, const std::string& _component_name);
    ~logger();

    bool is_debug() const { return m_debug; }
    // Debug mode lets debug lines into the system log, prefixes them with time and
    // indentation and echoes them to standard error.
    void set_debug(bool _debug);

    bool is_writing_to_socket() const { return m_writing_to_socket; }
    void set_writing_to_socket(bool _writing) { m_writing_to_socket = _writing; }

    bool is_logger_enabled() const { return m_enable_logger; }

    // Adds a collector endpoint; lines go to one connected collector in turn. With one
    // collector, lines wait for it while it is down, up to ZeroMQ's high-water mark; with
    // several, a collector that is down gets none, so the others take them all.
    void connect(const std::string& _address);
    // Makes the connections to collectors CURVE clients, encrypted and authenticated, for a
    // collector such as a broker that requires it: the collector's public key and this
    // program's own key pair, each as 40 Z85 characters. It applies to the collectors
    // connected from then on, so call it before connect. Throws ::zmq::error_t for a key
    // that is not 40 Z85 characters.
    void set_curve_keys(const std::string& _server_key, const std::string& _public_key,
                        const std::string& _secret_key);

private:
    friend class component_logger::formatter;

    void send_to_socket(const std::string& _text) const;

    std::string m_module_name;
    std::atomic<bool> m_debug{false};
    std::atomic<bool> m_writing_to_socket{true};
    bool m_enable_logger = true;
    ::zmq::context_t m_zmq_context;
    mutable std::mutex m_socket_mutex;
    mutable ::zmq::socket_t m_debug_socket;
    // The collectors connected so far, under m_socket_mutex.
    std::vector<std::string> m_collectors;
};

}  // namespace kelm::libs::core
