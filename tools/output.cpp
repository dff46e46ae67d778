#include "output.hpp"

namespace {

bool plain_text_byte(unsigned char c) {
    return c >= 0x20 && c != 0x7f;
}

// Length of the valid UTF-8 sequence starting at text[at], or 0 if there is none.
std::size_t utf8_sequence(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length;
    unsigned lowest = 0; // allowed range of the second byte
    unsigned highest = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, lowest = 0x80, highest = 0xbf;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        lowest = lead == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
        highest = lead == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        lowest = lead == 0xf0 ? 0x90 : 0x80;
        highest = lead == 0xf4 ? 0x8f : 0xbf; // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    if (byte(at + 1) < lowest || byte(at + 1) > highest) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) return 0;
    return length;
}

} // namespace

std::size_t Output::visible(std::string_view text) {
    std::size_t start = 0;
    std::size_t columns = text.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (plain_text_byte(c)) continue;
        put(text.substr(start, i - start));
        put('^');
        put(c == 0x7f ? '?' : static_cast<char>(c + 0x40));
        start = i + 1;
        ++columns;
    }
    put(text.substr(start));
    return columns;
}

void Output::json_string(std::string_view text) {
    put('"');
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            if (const std::size_t length = utf8_sequence(text, i); length != 0) {
                i += length;
                continue;
            }
        }
        put(text.substr(start, i - start));
        if (c == '"' || c == '\\') {
            put('\\');
            put(static_cast<char>(c));
        } else {
            put("\\u00");
            hex(c, 2);
        }
        start = ++i;
    }
    put(text.substr(start));
    put('"');
}
