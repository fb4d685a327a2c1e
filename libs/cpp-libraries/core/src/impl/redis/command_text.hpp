#pragma once

#include <core/exception.hpp>
#include <core/source_location.hpp>

#include <boost/container/small_vector.hpp>
#include <boost/utility/string_view.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>
#include <system_error>

namespace kelm::libs::core::redis {

// The first word of a command's wire text, for error messages.
inline boost::string_view first_word_of(boost::string_view _text) {
    // The word count's line, then the first word's length after its '$'.
    const auto count_end = _text.find("\r\n");
    if (count_end == boost::string_view::npos || _text.size() < count_end + 3) {
        return {};
    }
    std::size_t length = 0;
    const char* const digits = _text.data() + count_end + 3;
    const auto parsed = std::from_chars(digits, _text.data() + _text.size(), length);
    const auto word = static_cast<std::size_t>(parsed.ptr - _text.data()) + 2;
    return parsed.ec == std::errc() ? _text.substr(word, length) : boost::string_view();
}

// A command's words kept in the server's wire format (an array of bulk strings) in one
// buffer: built once as the words are added, then handed to hiredis as it stands on
// every send, so that a send neither formats the words again nor needs a table of word
// pointers. Words are binary-safe. A short command lives inside the object itself.
class command_text {
public:
    command_text() : m_text(header_room, boost::container::default_init) { write_header(); }

    // Makes room for more words taking that many bytes in all (see encoded_size), so
    // that adding them allocates once.
    void reserve(std::size_t _bytes) { m_text.reserve(m_text.size() + _bytes); }

    // What a word of that length takes: '$', the length, CR LF, the word, CR LF.
    static std::size_t encoded_size(std::size_t _length) {
        std::size_t digits = 1;
        for (auto rest = _length / 10; rest != 0; rest /= 10) {
            ++digits;
        }
        return 1 + digits + 2 + _length + 2;
    }

    void add(boost::string_view _word) {
        char length[max_digits];
        const auto digits = static_cast<std::size_t>(
            std::to_chars(length, length + max_digits, _word.size()).ptr - length);
        auto at = m_text.size();
        m_text.resize(at + encoded_size(_word.size()), boost::container::default_init);
        char* const out = m_text.data();
        out[at++] = '$';
        at = put(out, at, length, digits);
        at = put(out, at, "\r\n", 2);
        at = put(out, at, _word.data(), _word.size());
        put(out, at, "\r\n", 2);
        ++m_words;
        write_header();
    }

    // The whole command as it goes on the wire.
    boost::string_view text() const {
        return boost::string_view(m_text.data() + m_header, m_text.size() - m_header);
    }

    bool empty() const { return m_words == 0; }

    // The first word alone; empty for a command without words.
    boost::string_view first_word() const { return first_word_of(text()); }

    // The first word as error messages show it.
    std::string name() const { return first_word().to_string(); }

    // Whether the command puts the connection into a mode where it gets many replies.
    bool replies_more_than_once() const {
        static constexpr boost::string_view words[] = {"SUBSCRIBE", "PSUBSCRIBE", "UNSUBSCRIBE",
                                                       "PUNSUBSCRIBE", "MONITOR"};
        const auto name = first_word();
        return std::any_of(std::begin(words), std::end(words), [name](boost::string_view _word) {
            return name.size() == _word.size() &&
                   std::equal(name.begin(), name.end(), _word.begin(), [](char _a, char _b) {
                       return std::toupper(static_cast<unsigned char>(_a)) == _b;
                   });
        });
    }

private:
    static constexpr std::size_t max_digits = 20;
    // '*', the word count (hiredis counts words in an int), CR LF: the header is
    // rewritten in place as words are added.
    static constexpr std::size_t header_room = 1 + 10 + 2;
    // Room for the header and a few short words (a key, a field, a short value)
    // without a buffer of its own.
    static constexpr std::size_t inline_bytes = 128;

    static std::size_t put(char* _out, std::size_t _at, const char* _bytes, std::size_t _size) {
        std::memcpy(_out + _at, _bytes, _size);
        return _at + _size;
    }

    void write_header() {
        char header[header_room];
        header[0] = '*';
        auto* end = std::to_chars(header + 1, header + header_room - 2, m_words).ptr;
        *end++ = '\r';
        *end++ = '\n';
        const auto length = static_cast<std::size_t>(end - header);
        m_header = header_room - length;
        put(m_text.data(), m_header, header, length);
    }

    boost::container::small_vector<char, inline_bytes> m_text;
    // Where the header starts; it ends where the first word's length begins.
    std::size_t m_header = header_room;
    std::size_t m_words = 0;
};

// Refuses, before anything is sent, what neither connection can serve: a command without
// words, which the server ignores and never answers, and one that replies more than once,
// after which every reply would belong to an earlier command.
inline void check_sendable(const command_text& _command, const source_location& _location) {
    if (_command.empty()) {
        throw exception("Command: <empty>, error: no words", _location);
    }
    if (_command.replies_more_than_once()) {
        throw exception("Command: " + _command.name() +
                            ", error: not supported on this connection, it replies more than once",
                        _location);
    }
}

}  // namespace kelm::libs::core::redis
