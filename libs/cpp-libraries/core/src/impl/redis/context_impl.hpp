#pragma once

#include "async_context.hpp"
#include "command_impl.hpp"
#include "sync_context.hpp"

#include <core/fwd.hpp>
#include <core/redis/context.hpp>

#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>

namespace kelm::libs::core::redis {

class context_impl final : public context {
public:
    // Opens the asynchronous connection, then, once it is up, the blocking one. The
    // handle delivers the client, or an empty optional (logged) when either fails;
    // restarting it opens both connections anew.
    static open_handle::ptr create(events_loop& _events_loop, const component_logger& _logger,
                                   boost::string_view _ip, int _port, int _db);

    context_impl(async_context::ptr _async, std::unique_ptr<sync_context> _sync);
    ~context_impl() override;

    command::ptr get(std::string _key) override;
    command::ptr set(std::string _key, std::string _value) override;
    command::ptr del(std::string _key) override;
    command::ptr add_to_set(std::string _key) override;
    command::ptr add_to_set(std::string _key, std::string _value) override;
    command::ptr remove_from_set(std::string _key, std::string _value) override;
    command::ptr get_set_members(std::string _key) override;
    command::ptr get_table(std::string _table) override;
    command::ptr get_from_table(std::string _table, std::string _field) override;
    command::ptr get_from_table_multi(std::string _table) override;
    command::ptr set_to_table(std::string _table, std::string _field, std::string _value) override;
    command::ptr set_to_table_multi(std::string _table) override;
    command::ptr increment_in_table(std::string _table, std::string _field,
                                    std::string _value) override;
    command::ptr delete_from_table(std::string _table, std::string _field) override;
    iteration_result scan(boost::string_view _pattern, callback _callback) override;
    command::ptr create_command(args _args) override;

private:
    // create_command for words the caller still owns: each is copied once, straight into
    // the command.
    std::unique_ptr<command_impl> build(std::initializer_list<boost::string_view> _words);
    std::unique_ptr<command_impl> make_command(std::size_t _bytes);

    async_context::ptr m_async;
    std::unique_ptr<sync_context> m_sync;
};

}  // namespace kelm::libs::core::redis
