// health-watch: GETs a list of URLs once per period and reports each result three ways: a hash
// per URL in Redis, a JSON message "#health{...}" to a broker's input, and a log line, which
// the logger also sends to the broker. Usage: health-watch -c config.json
#include "settings.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/get_config_file_name.hpp>
#include <core/http/client.hpp>
#include <core/logger.hpp>
#include <core/periodic_timer.hpp>
#include <core/redis/command.hpp>
#include <core/redis/context.hpp>
#include <core/timestamp.hpp>
#include <core/zmq/manager.hpp>
#include <core/zmq/socket.hpp>

#include <sysexits.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <list>
#include <string>

namespace health_watch {
namespace {

namespace core = kelm::libs::core;
using std::chrono::steady_clock;

// What one GET came to.
struct check_result {
    std::string url;
    boost::optional<int> status;  // none when no answer came
    std::string error;            // why no answer came
    long ms = 0;
    std::int64_t checked = 0;  // milliseconds since the Unix epoch
};

std::string json_string(const std::string& _text) {
    std::string result = "\"";
    for (const unsigned char c : _text) {
        if (c == '"' || c == '\\') {
            result += '\\';
            result += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            result += escaped;
        } else {
            result += static_cast<char>(c);
        }
    }
    return result + "\"";
}

// The channel message quorvane-sub --json health prints the payload of.
std::string health_message(const check_result& _result) {
    std::string text = "#health{\"url\":" + json_string(_result.url);
    if (_result.status) {
        text += ",\"status\":" + std::to_string(*_result.status);
    }
    text += ",\"ms\":" + std::to_string(_result.ms);
    if (!_result.status) {
        text += ",\"error\":" + json_string(_result.error);
    }
    return text + "}";
}

// The service. Every callback below captures `this`: the timer, requests, Redis client and
// socket that call them are members, and destroying them cancels their calls.
class watcher {
public:
    watcher(const settings& _settings, core::events_loop& _loop, const core::logger& _log)
        : m_settings(_settings),
          m_loop(_loop),
          m_log(_log),
          // One pool of transfers for every URL: the base address is empty, each request
          // names its whole URL.
          m_http(_loop.create_http_client("", request_timeout(_settings.period), {}, 4)),
          m_feed(_loop.get_zmq().connect(core::zmq::socket::type::push, _settings.broker_input)),
          m_timer(_loop.create_periodic_timer(
              _settings.period, core::periodic_timer::execute_now{}, "check",
              [this](core::timer::time_point) { check_all(); }, KELM_SOURCE_LOCATION())) {}

private:
    // A request still running from the last period keeps its URL out of this one.
    struct target {
        std::string url;
        core::http::client::handle::ptr request;
        steady_clock::time_point started;
        bool running = false;
    };
    // A Redis write whose reply is awaited; dropped at the next period once answered.
    struct pending_write {
        core::async_operation_handle<core::redis::reply>::ptr handle;
        bool done = false;
    };

    // A period, and at least a second: a URL whose server hangs skips one period, not more.
    static std::chrono::seconds request_timeout(std::chrono::milliseconds _period) {
        return std::max(std::chrono::seconds(1),
                        std::chrono::duration_cast<std::chrono::seconds>(_period));
    }

    void check_all() {
        m_writes.remove_if([](const pending_write& _write) { return _write.done; });
        if (m_redis_lost) {
            m_writes.clear();
            m_redis.reset();
            m_redis_lost = false;
        }
        if (!m_redis && !m_redis_opening) {
            open_redis();
        }
        for (auto& target : m_targets) {
            if (!target.running) {
                check(target);
            }
        }
    }

    void check(target& _target) {
        _target.running = true;
        _target.started = steady_clock::now();
        _target.request = m_http->perform_async_request(
            core::http::method::get, _target.url,
            [this, &_target](core::http::result _answer) { finish(_target, _answer); });
    }

    void finish(target& _target, const core::http::result& _answer) {
        _target.running = false;
        check_result result;
        result.url = _target.url;
        result.status = _answer.status_code();
        result.error = _answer.status_code() ? "" : _answer.error().value_or("no answer");
        result.ms = std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() -
                                                                          _target.started)
                        .count();
        result.checked = core::timestamp::now().milliseconds();
        if (result.status) {
            m_log.info("GET %1%: %2% in %3% ms") % result.url % *result.status % result.ms;
        } else {
            m_log.warning("GET %1% failed after %2% ms: %3%") % result.url % result.ms %
                result.error;
        }
        store(result);
        publish(result);
    }

    // A hash per URL: status, ms and checked, or error in place of status.
    void store(const check_result& _result) {
        if (!m_redis || m_redis_lost) {
            return;
        }
        const std::string key = "health:" + _result.url;
        const std::string ms = std::to_string(_result.ms);
        const std::string checked = std::to_string(_result.checked);
        if (_result.status) {
            write({"HSET", key, "status", std::to_string(*_result.status), "ms", ms, "checked",
                   checked});
            write({"HDEL", key, "error"});
        } else {
            write({"HDEL", key, "status"});
            write({"HSET", key, "error", _result.error, "ms", ms, "checked", checked});
        }
    }

    // Commands on one connection are carried out in order, so the two writes of a result
    // need not wait for each other.
    void write(core::redis::context::args _command) {
        if (m_redis_lost) {
            return;
        }
        core::async_operation_handle<core::redis::reply>::ptr handle;
        try {
            handle = m_redis->create_command(std::move(_command))->execute_async();
        } catch (const core::exception&) {
            // A connection that is gone takes no more commands.
            lose_redis();
            return;
        }
        auto& pending = m_writes.emplace_back(pending_write{std::move(handle), false});
        pending.handle->set_callback([this, &pending](core::redis::reply _reply) {
            pending.done = true;
            written(_reply);
        });
    }

    void written(const core::redis::reply& _reply) {
        if (_reply.get_type() == core::redis::reply_type::ERROR) {
            m_log.error("Redis refused a write: %1%") % _reply.to_string();
        } else if (_reply.get_type() == core::redis::reply_type::NIL) {
            // Pending commands get NIL when the connection goes.
            lose_redis();
        }
    }

    // The next period opens a new connection.
    void lose_redis() {
        if (!m_redis_lost) {
            m_log.error("Lost the connection to Redis");
            m_redis_lost = true;
        }
    }

    void open_redis() {
        m_redis_opening = true;
        m_redis_open = m_loop.create_redis_context(m_settings.redis_host, m_settings.redis_port,
                                                   m_settings.redis_db);
        m_redis_open->set_callback([this](boost::optional<core::redis::context::ptr> _opened) {
            m_redis_opening = false;
            if (_opened) {
                m_redis = std::move(*_opened);
            } else {
                m_log.error("Cannot connect to Redis at %1%:%2%") % m_settings.redis_host %
                    m_settings.redis_port;
            }
        });
    }

    void publish(const check_result& _result) {
        // A broker that is away or behind costs this message, never the loop's time.
        if (!m_feed->try_send(core::zmq::message(health_message(_result)))) {
            m_log.warning("The broker did not take the result for %1%") % _result.url;
        }
    }

    static std::list<target> make_targets(const std::vector<std::string>& _urls) {
        std::list<target> result;
        for (const auto& url : _urls) {
            result.push_back({url, nullptr, {}, false});
        }
        return result;
    }

    // Members go in reverse order: the timer first, the requests before their client.
    const settings& m_settings;
    core::events_loop& m_loop;
    const core::logger& m_log;
    core::http::client::ptr m_http;
    std::list<target> m_targets = make_targets(m_settings.urls);
    core::zmq::socket::ptr m_feed;
    core::redis::context::open_handle::ptr m_redis_open;
    bool m_redis_opening = false;
    core::redis::context::ptr m_redis;
    bool m_redis_lost = false;
    std::list<pending_write> m_writes;
    core::periodic_timer::ptr m_timer;
};

}  // namespace
}  // namespace health_watch

int main(int argc, char** argv) {
    namespace core = kelm::libs::core;
    // Lines go to the system log under "health-watch" and, once connected, to the broker as
    // "&health-watch:main ...".
    core::logger log("health-watch", "main");
    // What a failure of the current step ends the program with, as for the broker.
    int failure_status = EX_USAGE;
    const bool clean = log.execute([&] {
        try {
            const auto file_name = core::get_config_file_name(argc, argv);
            failure_status = EX_CONFIG;
            const auto settings = health_watch::read_settings(file_name);
            log.connect(settings.broker_input);
            failure_status = EXIT_FAILURE;

            const auto runtime = core::core::create(log);
            const auto loop = runtime->create_events_loop("main");
            const auto signals = loop->stop_on_signals();
            {
                health_watch::watcher watcher(settings, *loop, log);
                log.info("Watching %1% URLs every %2% ms") % settings.urls.size() %
                    settings.period.count();
                // Until SIGINT or SIGTERM; an exception out of a callback is logged, not fatal.
                loop->run_catch_exceptions(KELM_SOURCE_LOCATION());
            }
            log.info("Stopped");
        } catch (...) {
            // The system log may not be where the person starting the program looks.
            std::cerr << core::exception_to_string() << std::endl;
            throw;
        }
    });
    return clean ? EXIT_SUCCESS : failure_status;
}
