#include <core/exception.hpp>
#include <core/logger.hpp>

#include <syslog.h>

#include <cerrno>
#include <sstream>

namespace kelm::libs::core {

namespace {

constexpr int socket_linger_ms = 5000;

void write_to_syslog(int _level, const std::string& _text) {
    ::syslog(_level, "%s", _text.c_str());
}

}  // namespace

std::string exception_to_string() {
    if (!std::current_exception()) {
        return "Unknown exception";
    }
    try {
        throw;
    } catch (const located_exception& e) {
        return exception_to_string(e);
    } catch (const std::exception& e) {
        return std::string("std::exception::what(): ") + e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

std::string exception_to_string(const located_exception& _exception) {
    std::ostringstream os;
    _exception.describe(os);
    return os.str();
}

// component_logger

component_logger::component_logger(const logger& _logger, const std::string& _module_name,
                                   const std::string& _component_name)
    : m_logger(_logger),
      m_module_name(_module_name),
      m_zmq_prefix("&" + _module_name + ":" + _component_name + " ") {}

component_logger::ptr component_logger::component(const std::string& _component_name) const {
    return std::make_unique<component_logger>(m_logger, m_module_name, _component_name);
}

component_logger::formatter component_logger::debug(boost::string_view _format) const {
    return formatter(LOG_DEBUG, _format, *this);
}

component_logger::formatter component_logger::info(boost::string_view _format) const {
    return formatter(LOG_INFO, _format, *this);
}

component_logger::formatter component_logger::warning(boost::string_view _format) const {
    return formatter(LOG_WARNING, _format, *this);
}

component_logger::formatter component_logger::error(boost::string_view _format) const {
    return formatter(LOG_ERR, _format, *this);
}

void component_logger::log_error(const boost::system::error_code& _error,
                                 const source_location& _location) const {
    if (m_logger.is_logger_enabled()) {
        error("%1%:%2%: %3%") % _location.short_file() % _location.line() % _error.message();
    }
}

void component_logger::log_exception() const {
    if (m_logger.is_logger_enabled()) {
        error("%1%") % exception_to_string();
    }
}

void component_logger::log_exception(const source_location& _location) const {
    static_cast<const component_logger&>(m_logger).error("Caught exeption").location(_location);
    log_exception();
}

void component_logger::log_exception(const located_exception& _exception) const {
    if (m_logger.is_logger_enabled()) {
        error("%1%") % exception_to_string(_exception);
    }
}

component_logger::indent_guard component_logger::enter_function(
    const source_location& _location) const {
    debug("%1%") % _location.function();
    return indent();
}

component_logger::indent_guard component_logger::enter_function_short(
    const source_location& _location, boost::string_view _text) const {
    debug("%1%: %2%") % _location.short_function() % _text;
    return indent();
}

component_logger::indent_guard component_logger::enter_scope(boost::string_view _name) const {
    debug("%1%") % _name;
    return indent();
}

component_logger::indent_guard component_logger::enter_scope(
    const source_location& _location) const {
    debug("%1%:%2%") % _location.short_file() % _location.line();
    return indent();
}

component_logger::indent_guard component_logger::enter_scope(const source_location& _location,
                                                             boost::string_view _name) const {
    debug("%1%:%2% (%3%)") % _location.short_file() % _location.line() % _name;
    return indent();
}

component_logger::indent_guard component_logger::indent() const {
    // The guard exists before the depth changes, so a failed allocation leaves it as it was.
    auto guard = make_scope_guard([this] { --m_indent; });
    ++m_indent;
    return guard;
}

std::string component_logger::make_indent() const {
    const std::int32_t depth = m_indent;
    if (depth <= 0) {
        return {};
    }
    return std::string(static_cast<std::size_t>(depth) * 4, ' ') + "| ";
}

// formatter

component_logger::formatter::formatter(int _level, boost::string_view _format,
                                       const component_logger& _logger)
    : m_format(_format.data()),
      m_log_level(_level),
      m_logger(_logger),
      m_format_text(_format.data()) {}

component_logger::formatter::~formatter() {
    try {
        emit();
    } catch (...) {
        // Logging must never take the program down; say at least that a line was lost.
        ::syslog(LOG_ERR, "Cannot write the log line \"%s\"", m_format_text);
    }
}

component_logger::formatter& component_logger::formatter::location(
    const source_location& _location) {
    m_source_location = _location;
    return *this;
}

component_logger::formatter& component_logger::formatter::function(
    const source_location& _location) {
    m_function = _location.function();
    return *this;
}

component_logger::formatter& component_logger::formatter::short_function(
    const source_location& _location) {
    m_function = _location.short_function();
    return *this;
}

component_logger::formatter& component_logger::formatter::date_time(timestamp _timestamp) {
    m_timestamp = _timestamp;
    return *this;
}

std::string component_logger::formatter::body() const {
    std::string text;
    if (m_source_location) {
        const auto file = m_source_location->short_file();
        text.append(file.data(), file.size());
        text += ':';
        text += std::to_string(m_source_location->line());
        text += ' ';
    }
    if (!m_function.empty()) {
        text.append(m_function.data(), m_function.size());
        text += ": ";
    }
    return text + m_format.str();
}

void component_logger::formatter::emit() const {
    const logger& root = m_logger.m_logger;
    std::string text;
    int level = m_log_level;
    bool arguments_fit = m_arguments_fit;
    if (arguments_fit) {
        try {
            text = body();
        } catch (const boost::io::format_error&) {
            arguments_fit = false;
        }
    }
    if (!arguments_fit) {
        // A mismatch between format and arguments is a programming error; keep the
        // line visible rather than losing it.
        text = std::string("Log format \"") + m_format_text + "\": its arguments did not fit";
        level = LOG_ERR;
    }

    const bool debug = root.is_debug();
    const bool to_socket = root.is_writing_to_socket();
    std::string time_text;
    if (debug || to_socket) {
        time_text = (m_timestamp ? *m_timestamp : timestamp::now()).to_string() + ' ';
    }

    write_to_syslog(level, debug ? time_text + m_logger.make_indent() + text : text);
    if (to_socket) {
        root.send_to_socket(m_logger.m_zmq_prefix + time_text + m_logger.make_indent() + text);
    }
}

// logger

logger::logger(const std::string& _module_name, const std::string& _component_name)
    : component_logger(*this, _module_name, _component_name),
      m_module_name(_module_name),
      m_debug_socket(m_zmq_context, ::zmq::socket_type::push) {
    m_debug_socket.set(::zmq::sockopt::linger, socket_linger_ms);
    ::openlog(m_module_name.c_str(), 0, LOG_USER);
    set_debug(false);
    info("Starting %1%") % m_module_name;
}

logger::~logger() {
    ::closelog();
}

void logger::set_debug(bool _debug) {
    ::closelog();
    ::openlog(m_module_name.c_str(), _debug ? LOG_PERROR : 0, LOG_USER);
    ::setlogmask(_debug ? LOG_UPTO(LOG_DEBUG) : LOG_UPTO(LOG_INFO));
    m_debug = _debug;
}

void logger::connect(const std::string& _address) {
    {
        std::lock_guard<std::mutex> lock(m_socket_mutex);
        // From the second collector on, lines go only to those connected: one that is down
        // would otherwise hold every n-th line until it is back. ZeroMQ applies that rule to
        // later connects, so the first collector is connected anew; lines still queued for it
        // are dropped there (the system log has them).
        const bool second = m_collectors.size() == 1;
        if (second) {
            m_debug_socket.set(::zmq::sockopt::immediate, true);
        }
        m_debug_socket.connect(_address);
        if (second) {
            m_debug_socket.disconnect(m_collectors.front());
            m_debug_socket.connect(m_collectors.front());
        }
        m_collectors.push_back(_address);
    }
    debug("Connected to socket");
}

void logger::set_curve_keys(const std::string& _server_key, const std::string& _public_key,
                            const std::string& _secret_key) {
    std::lock_guard<std::mutex> lock(m_socket_mutex);
    m_debug_socket.set(::zmq::sockopt::curve_serverkey, _server_key);
    m_debug_socket.set(::zmq::sockopt::curve_publickey, _public_key);
    m_debug_socket.set(::zmq::sockopt::curve_secretkey, _secret_key);
}

void logger::send_to_socket(const std::string& _text) const {
    std::unique_lock<std::mutex> lock(m_socket_mutex);
    const int sent = ::zmq_send(m_debug_socket.handle(), _text.data(), _text.size(), ZMQ_DONTWAIT);
    if (sent >= 0) {
        return;
    }
    const int error = ::zmq_errno();
    lock.unlock();
    // No collector connected, or its queue is full: the system log has the line.
    if (error != EAGAIN) {
        write_to_syslog(LOG_ERR, std::string("Cannot send a log line to the debug socket: ") +
                                     ::zmq_strerror(error));
    }
}

}  // namespace kelm::libs::core
