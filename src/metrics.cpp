#include "metrics.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace kelm {
namespace {

std::string read_file(const char* _name) {
    std::ifstream file(_name);
    return {std::istreambuf_iterator<char>(file), {}};
}

// The fields of /proc/self/stat after the command name, which may itself hold blanks; the
// first of them is the state, field 3 of proc(5).
std::vector<std::string> stat_fields() {
    const std::string stat = read_file("/proc/self/stat");
    const auto name_end = stat.rfind(')');
    std::istringstream rest(name_end == std::string::npos ? "" : stat.substr(name_end + 1));
    return {std::istream_iterator<std::string>(rest), {}};
}

// The system's boot time, in seconds since the epoch.
double boot_time() {
    const std::string stat = read_file("/proc/stat");
    const auto line = stat.find("\nbtime ");
    return line == std::string::npos ? 0 : std::stod(stat.substr(line + 7));
}

double open_files() {
    std::error_code error;
    std::filesystem::directory_iterator entries("/proc/self/fd", error);
    // Less the descriptor that lists them.
    return error ? 0 : static_cast<double>(std::distance(entries, {})) - 1;
}

class exposition {
public:
    exposition& add(const char* _name, const char* _type, const char* _help, double _value,
                    const std::string& _labels = "") {
        m_text << "# HELP " << _name << ' ' << _help << "\n# TYPE " << _name << ' ' << _type << '\n'
               << _name << _labels << ' ' << _value << '\n';
        return *this;
    }
    std::string text() const { return m_text.str(); }

private:
    std::ostringstream m_text = [] {
        std::ostringstream text;
        // Counters print whole up to 10^15, and CPU seconds without binary noise.
        text.precision(15);
        return text;
    }();
};

void add_process(exposition& _out) {
    const auto fields = stat_fields();
    // Fields 14, 15, 22, 23 and 24 of proc(5), counted from the state (field 3) here.
    const auto field = [&](std::size_t _number) {
        return fields.size() > _number - 3 ? std::stod(fields[_number - 3]) : 0.0;
    };
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    _out.add("process_cpu_seconds_total", "counter",
             "Total user and system CPU time spent in seconds.", (field(14) + field(15)) / ticks)
        .add("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
             field(24) * page)
        .add("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", field(23))
        .add("process_open_fds", "gauge", "Number of open file descriptors.", open_files())
        .add("process_max_fds", "gauge", "Maximum number of open file descriptors.",
             static_cast<double>(files.rlim_cur))
        .add("process_start_time_seconds", "gauge",
             "Start time of the process since unix epoch in seconds.",
             boot_time() + field(22) / ticks);
}

// Label values escape the backslash, the double quote and the line feed.
std::string label(const std::string& _value) {
    std::string escaped;
    for (const char c : _value) {
        escaped += c == '\n'                 ? std::string("\\n")
                   : (c == '\\' || c == '"') ? std::string{'\\', c}
                                             : std::string{c};
    }
    return escaped;
}

}  // namespace

std::string render(const metrics& _metrics, const std::string& _version) {
    exposition out;
    out.add("quorvane_frames_received_total", "counter", "Frames taken from the input.",
            static_cast<double>(_metrics.frames_received))
        .add("quorvane_bytes_received_total", "counter",
             "Bytes of the frames taken from the input.",
             static_cast<double>(_metrics.bytes_received))
        .add("quorvane_frames_published_total", "counter", "Frames handed to the output.",
             static_cast<double>(_metrics.frames_published))
        .add("quorvane_bytes_published_total", "counter",
             "Bytes of the frames handed to the output.",
             static_cast<double>(_metrics.bytes_published))
        .add("quorvane_receive_errors_total", "counter", "Receives from the input that failed.",
             static_cast<double>(_metrics.receive_errors))
        .add("quorvane_publish_errors_total", "counter", "Frames the output failed to take.",
             static_cast<double>(_metrics.publish_errors))
        .add("quorvane_producers", "gauge", "Peers connected to the input now.",
             static_cast<double>(_metrics.producers))
        .add("quorvane_subscribers", "gauge", "Peers connected to the output now.",
             static_cast<double>(_metrics.subscribers))
        .add("quorvane_handshake_failures_total", "counter",
             "Peers dropped during the ZeroMQ handshake.",
             static_cast<double>(_metrics.handshake_failures));
    add_process(out);
    out.add("quorvane_build_info", "gauge", "The version of the running broker; always 1.", 1,
            "{version=\"" + label(_version) + "\"}");
    return out.text();
}

}  // namespace kelm
