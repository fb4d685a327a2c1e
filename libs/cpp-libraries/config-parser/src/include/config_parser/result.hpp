#pragma once

#include <boost/optional.hpp>
#include <boost/optional/bad_optional_access.hpp>
#include <boost/throw_exception.hpp>
#include <boost/variant.hpp>

#include <string>
#include <tuple>
#include <utility>

namespace kelm::libs::config {

struct error_reason {
    std::string reason;
};

template <typename T>
class result {
public:
    using value_type = boost::variant<T, error_reason>;

    result(T _value) : m_value(std::move(_value)) {}
    result(error_reason _reason) : m_value(std::move(_reason)) {}

    bool ok() const { return boost::get<T>(&m_value) != nullptr; }

    // One prvalue on purpose: returning a named empty optional of a trivial type trips GCC 12's
    // maybe-uninitialized warning in sanitizer builds.
    boost::optional<T> try_get() const {
        const T* stored = boost::get<T>(&m_value);
        return stored != nullptr ? boost::optional<T>(*stored) : boost::optional<T>();
    }

    // Fails the way an empty optional does, so callers can treat both alike.
    T value() const {
        if (const T* stored = boost::get<T>(&m_value)) {
            return *stored;
        }
        boost::throw_exception(boost::bad_optional_access(), BOOST_CURRENT_LOCATION);
    }

    std::string reason() const {
        if (const error_reason* failure = boost::get<error_reason>(&m_value)) {
            return failure->reason;
        }
        return {};
    }

private:
    value_type m_value;
};

// Every failed look-up keeps its reason, so a caller checking several keys at once can report
// all that are wrong in one go.
template <typename A, typename B>
result<std::tuple<A, B>> operator+(const result<A>& _a, const result<B>& _b) {
    if (_a.ok() && _b.ok()) {
        return std::make_tuple(_a.value(), _b.value());
    }
    if (_a.ok()) {
        return error_reason{_b.reason()};
    }
    if (_b.ok()) {
        return error_reason{_a.reason()};
    }
    return error_reason{_a.reason() + "\n" + _b.reason()};
}

}  // namespace kelm::libs::config
