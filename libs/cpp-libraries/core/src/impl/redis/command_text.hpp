#pragma once

#include <boost/utility/string_view.hpp>

#include <charconv>
#include <cstddef>
#include <string>

namespace kelm::libs::core::redis {

// A command's words kept in the server's wire format (an array of bulk strings) in one
// buffer: built once as the words are added, then handed to hiredis as it stands on
// every send, so that a send neither formats the words again nor needs a table of word
// pointers. Words are binary-safe.
class command_text {
public:
    command_text() : m_text(header_room, '\0') { write_header(); }

    // Makes room for that many more words of that many bytes in all, so that adding
    // them allocates once.
    void reserve(std::size_t _words, std::size_t _bytes) {
        m_text.reserve(m_text.size() + _words * word_overhead + _bytes);
    }

    void add(boost::string_view _word) {
        char digits[max_digits];
        const auto end = std::to_chars(digits, digits + max_digits, _word.size()).ptr;
        m_text += '$';
        m_text.append(digits, end);
        m_text += "\r\n";
        if (m_words == 0) {
            m_name_offset = m_text.size();
            m_name_length = _word.size();
        }
        m_text.append(_word.data(), _word.size());
        m_text += "\r\n";
        ++m_words;
        write_header();
    }

    // The whole command as it goes on the wire.
    boost::string_view text() const { return boost::string_view(m_text).substr(m_header); }

    // The first word alone, for error messages; empty for a command without words.
    std::string name() const { return m_text.substr(m_name_offset, m_name_length); }

private:
    static constexpr std::size_t max_digits = 20;
    // '*', the word count, CR LF: the header is rewritten in place as words are added.
    static constexpr std::size_t header_room = 1 + max_digits + 2;
    // '$', the length, CR LF before the word, CR LF after it.
    static constexpr std::size_t word_overhead = 1 + max_digits + 2 + 2;

    void write_header() {
        char header[header_room];
        header[0] = '*';
        auto* end = std::to_chars(header + 1, header + 1 + max_digits, m_words).ptr;
        *end++ = '\r';
        *end++ = '\n';
        const auto length = static_cast<std::size_t>(end - header);
        m_header = header_room - length;
        m_text.replace(m_header, length, header, length);
    }

    std::string m_text;
    // Where the header starts; it ends where the first word's length begins.
    std::size_t m_header = header_room;
    std::size_t m_words = 0;
    std::size_t m_name_offset = 0;
    std::size_t m_name_length = 0;
};

}  // namespace kelm::libs::core::redis
