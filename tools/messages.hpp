// Message text shared by the tools: printf-style formatting into a string of any length, and one
// line for a terminal.
#ifndef QUENZA_TOOLS_MESSAGES_HPP
#define QUENZA_TOOLS_MESSAGES_HPP

#include <cstdarg>
#include <string>
#include <string_view>

// printf into a string, never cut however long the result.
std::string format_message(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format_message_v(const char *pattern, va_list arguments)
    __attribute__((format(printf, 1, 0)));

// The text on one line: control characters become ^X (and DEL ^?), as other ELF tools show them.
std::string one_line(std::string_view text);

#endif
