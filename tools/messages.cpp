#include "messages.hpp"

#include <cstdio>
#include <vector>

std::string format_message(const char *pattern, ...) {
    va_list arguments;
    va_start(arguments, pattern);
    std::string text = format_message_v(pattern, arguments);
    va_end(arguments);
    return text;
}

std::string format_message_v(const char *pattern, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    char small[256];
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the caller started it (false positive)
    const int length = std::vsnprintf(small, sizeof small, pattern, arguments);
    std::string text;
    if (length < 0) {
        text = "unprintable message";
    } else if (static_cast<std::size_t>(length) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(length));
    } else {
        std::vector<char> large(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), pattern, again);
        text.assign(large.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}

std::string one_line(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            line += c;
        } else {
            line += '^';
            line += byte == 0x7f ? '?' : static_cast<char>(byte + 0x40);
        }
    }
    return line;
}
