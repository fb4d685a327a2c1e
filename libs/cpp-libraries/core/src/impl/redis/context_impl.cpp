#include "context_impl.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/logger.hpp>

#include <cstdint>
#include <utility>

namespace kelm::libs::core::redis {

namespace {

using open_handle_impl = async_operation_handle_impl<boost::optional<context::ptr>>;

template <class Words>
std::size_t encoded_size(const Words& _words) {
    std::size_t bytes = 0;
    for (const auto& word : _words) {
        bytes += command_text::encoded_size(word.size());
    }
    return bytes;
}

}  // namespace

context::open_handle::ptr context_impl::create(events_loop& _events_loop,
                                               const component_logger& _logger,
                                               boost::string_view _ip, int _port, int _db) {
    auto async = async_context::create(_events_loop, _logger, _ip.to_string(), _port, _db);
    auto result = open_handle_impl::create(
        _events_loop, [&_events_loop, &_logger, ip = _ip.to_string(), async, _port, _db](
                          open_handle_impl::ptr, std::weak_ptr<open_handle_impl> _weak_self) {
            if (async->is_complete()) {
                async->restart();
            }
            async->set_callback([_weak_self, &_events_loop, &_logger, ip, _port,
                                 _db](async_context::ptr _async) {
                const auto self = _weak_self.lock();
                if (!self) {
                    return;
                }
                boost::optional<context::ptr> client;
                if (_async) {
                    try {
                        auto sync =
                            std::make_unique<sync_context>(_events_loop, _logger, ip, _port, _db);
                        client = std::make_unique<context_impl>(std::move(_async), std::move(sync));
                    } catch (...) {
                        // Thrown out of this delivery it would leave the caller waiting
                        // for a result that never comes.
                        _logger.log_exception();
                    }
                }
                self->return_result(std::move(client));
            });
        });
    result->start();
    return result;
}

context_impl::context_impl(async_context::ptr _async, std::unique_ptr<sync_context> _sync)
    : m_async(std::move(_async)), m_sync(std::move(_sync)) {}

context_impl::~context_impl() {
    m_sync.reset();
    m_async.reset();
}

command::ptr context_impl::get(std::string _key) {
    return build({"GET", _key});
}

command::ptr context_impl::set(std::string _key, std::string _value) {
    return build({"SET", _key, _value});
}

command::ptr context_impl::del(std::string _key) {
    return build({"DEL", _key});
}

command::ptr context_impl::add_to_set(std::string _key) {
    return build({"SADD", _key});
}

command::ptr context_impl::add_to_set(std::string _key, std::string _value) {
    return build({"SADD", _key, _value});
}

command::ptr context_impl::remove_from_set(std::string _key, std::string _value) {
    return build({"SREM", _key, _value});
}

command::ptr context_impl::get_set_members(std::string _key) {
    return build({"SMEMBERS", _key});
}

command::ptr context_impl::get_table(std::string _table) {
    return build({"HGETALL", _table});
}

command::ptr context_impl::get_from_table(std::string _table, std::string _field) {
    return build({"HGET", _table, _field});
}

command::ptr context_impl::get_from_table_multi(std::string _table) {
    return build({"HMGET", _table});
}

command::ptr context_impl::set_to_table(std::string _table, std::string _field,
                                        std::string _value) {
    return build({"HSET", _table, _field, _value});
}

command::ptr context_impl::set_to_table_multi(std::string _table) {
    return build({"HMSET", _table});
}

command::ptr context_impl::increment_in_table(std::string _table, std::string _field,
                                              std::string _value) {
    return build({"HINCRBY", _table, _field, _value});
}

command::ptr context_impl::delete_from_table(std::string _table, std::string _field) {
    return build({"HDEL", _table, _field});
}

iteration_result context_impl::scan(boost::string_view _pattern, callback _callback) {
    // The server's cursor is an unsigned 64-bit number; it goes back as its decimal text.
    std::uint64_t cursor = 0;
    do {
        const reply page = build({"SCAN", std::to_string(cursor), "MATCH", _pattern})->execute();
        cursor = std::stoull(page.as_array()[0].as_string_view().to_string());
        const auto visit = [&_callback](const reply_element& _key) {
            return _callback(_key.as_string_view());
        };
        if (page.as_array()[1].as_array().for_each_element(visit) ==
            iteration_result::interrupted) {
            return iteration_result::interrupted;
        }
    } while (cursor != 0);
    return iteration_result::finished;
}

command::ptr context_impl::create_command(args _args) {
    auto result = make_command(encoded_size(_args));
    for (auto& word : _args) {
        result->add_argument(std::move(word));
    }
    return result;
}

std::unique_ptr<command_impl> context_impl::build(
    std::initializer_list<boost::string_view> _words) {
    auto result = make_command(encoded_size(_words));
    for (const auto word : _words) {
        result->append(word);
    }
    return result;
}

std::unique_ptr<command_impl> context_impl::make_command(std::size_t _bytes) {
    auto result = std::make_unique<command_impl>(*m_sync, *m_async);
    result->reserve(_bytes);
    return result;
}

}  // namespace kelm::libs::core::redis
