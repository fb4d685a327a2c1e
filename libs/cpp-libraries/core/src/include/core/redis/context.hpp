#pragma once

#include <core/async_operation_handle.hpp>
#include <core/redis/command.hpp>
#include <core/redis/reply.hpp>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelm::libs::core::redis {

// A Redis client opened through events_loop::create_redis_context: one blocking and
// one asynchronous connection to the same server and database, each of which gives up
// connecting after 1.5 s. The builders only make commands; the caller runs them (see
// command). Use it on the loop's thread.
class context {
public:
    using ptr = std::unique_ptr<context>;
    // An empty optional means the client could not be opened.
    using open_handle = async_operation_handle<boost::optional<ptr>>;
    // Visits one key of a scan; answering false stops the scan.
    using callback = std::function<bool(boost::string_view)>;
    using args = std::vector<std::string>;

    virtual ~context() = default;

    virtual command::ptr get(std::string _key) = 0;
    virtual command::ptr set(std::string _key, std::string _value) = 0;
    virtual command::ptr del(std::string _key) = 0;
    // The one-argument forms of SADD, HMGET and HMSET take their members, fields or
    // field/value pairs through add_argument.
    virtual command::ptr add_to_set(std::string _key) = 0;
    virtual command::ptr add_to_set(std::string _key, std::string _value) = 0;
    virtual command::ptr remove_from_set(std::string _key, std::string _value) = 0;
    virtual command::ptr get_set_members(std::string _key) = 0;
    virtual command::ptr get_table(std::string _table) = 0;
    virtual command::ptr get_from_table(std::string _table, std::string _field) = 0;
    virtual command::ptr get_from_table_multi(std::string _table) = 0;
    virtual command::ptr set_to_table(std::string _table, std::string _field,
                                      std::string _value) = 0;
    virtual command::ptr set_to_table_multi(std::string _table) = 0;
    virtual command::ptr increment_in_table(std::string _table, std::string _field,
                                            std::string _value) = 0;
    virtual command::ptr delete_from_table(std::string _table, std::string _field) = 0;
    // Walks the keys matching the pattern with SCAN on the blocking connection, calling
    // the callback with each key the server returns. Each SCAN waits as execute does.
    virtual iteration_result scan(boost::string_view _pattern, callback _callback) = 0;
    virtual command::ptr create_command(args _args) = 0;
};

}  // namespace kelm::libs::core::redis
