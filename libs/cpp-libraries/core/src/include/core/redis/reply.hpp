#pragma once

#include <core/exception.hpp>
#include <core/redis/reply_type.hpp>
#include <core/source_location.hpp>

#include <hiredis/hiredis.h>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <climits>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kelm::libs::core {

// What a visit that may stop early ended with.
enum class iteration_result {
    finished = 0,
    interrupted = 1,
};

}  // namespace kelm::libs::core

namespace kelm::libs::core::redis {

class reply_array;

// A view of one node of a reply tree; valid while the reply that owns the tree lives.
// The conversions check the node's type and throw with the actual type's name.
class reply_element {
public:
    explicit reply_element(const redisReply& _reply) : m_reply(_reply) {}
    virtual ~reply_element() = default;

    reply_type get_type() const { return static_cast<reply_type>(m_reply.get().type); }

    // STRING, STATUS and ERROR nodes carry text; it may contain NUL bytes.
    boost::string_view as_string_view() const {
        if (const auto text = try_string_view()) {
            return *text;
        }
        throw exception(
            "Reply is not string, actual type: " + redis::to_string(get_type()).to_string(),
            KELM_SOURCE_LOCATION());
    }

    boost::optional<boost::string_view> try_string_view() const {
        switch (get_type()) {
            case reply_type::STRING:
            case reply_type::STATUS:
            case reply_type::ERROR:
                return boost::string_view(m_reply.get().str, m_reply.get().len);
            default:
                return boost::none;
        }
    }

    std::string to_string() const { return as_string_view().to_string(); }

    long long to_long_long() const {
        if (get_type() != reply_type::INTEGER) {
            throw exception(
                "Reply is not integer, actual type: " + redis::to_string(get_type()).to_string(),
                KELM_SOURCE_LOCATION());
        }
        return m_reply.get().integer;
    }

    int to_int() const {
        const long long value = to_long_long();
        if (value < INT_MIN || value > INT_MAX) {
            throw exception("Reply integer is out of the range of int: " + std::to_string(value),
                            KELM_SOURCE_LOCATION());
        }
        return static_cast<int>(value);
    }

    reply_array as_array() const;

private:
    std::reference_wrapper<const redisReply> m_reply;
};

// A view of the children of an ARRAY node.
class reply_array {
public:
    using callback = std::function<bool(const reply_element&)>;

    reply_array(redisReply* const* _data, std::size_t _size) : m_data(_data), m_size(_size) {}

    std::size_t size() const { return m_size; }

    reply_element operator[](std::size_t _index) const {
        if (_index >= m_size) {
            throw exception("Index out of range", KELM_SOURCE_LOCATION());
        }
        return reply_element(*m_data[_index]);
    }

    // Visits the children in order until the callback answers false.
    iteration_result for_each_element(const callback& _callback) const {
        for (std::size_t i = 0; i < m_size; ++i) {
            if (!_callback(reply_element(*m_data[i]))) {
                return iteration_result::interrupted;
            }
        }
        return iteration_result::finished;
    }

private:
    redisReply* const* m_data;
    std::size_t m_size;
};

inline reply_array reply_element::as_array() const {
    if (get_type() != reply_type::ARRAY) {
        throw exception(
            "Reply is not array, actual type: " + redis::to_string(get_type()).to_string(),
            KELM_SOURCE_LOCATION());
    }
    return reply_array(m_reply.get().element, m_reply.get().elements);
}

// Owns a whole hiredis reply tree; the base view looks at its root.
class reply : public reply_element {
public:
    struct reply_deleter {
        void operator()(redisReply* _reply) const { freeReplyObject(_reply); }
    };

    // Takes ownership; the record must exist.
    explicit reply(redisReply* _reply) : reply_element(*_reply), m_reply(_reply) {}
    reply(reply&&) noexcept = default;
    reply& operator=(reply&&) noexcept = default;
    ~reply() override = default;

private:
    std::unique_ptr<redisReply, reply_deleter> m_reply;
};

}  // namespace kelm::libs::core::redis
