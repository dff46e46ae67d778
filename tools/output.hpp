// A write buffer with the few formatters the dump needs. Dumps of large files are tens of
// megabytes of text, so numbers are formatted by hand into one large buffer that goes out in big
// fwrite calls, instead of one printf per field.
#ifndef QUENZA_DUMP_OUTPUT_HPP
#define QUENZA_DUMP_OUTPUT_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

class Output {
  public:
    // file may be null: everything is then formatted and dropped.
    explicit Output(FILE *file) : file_(file), buffer_(new char[capacity]) {}
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output() { flush(); }

    void flush() {
        if (used_ != 0 && file_ != nullptr) std::fwrite(buffer_.get(), 1, used_, file_);
        used_ = 0;
    }

    void put(char c) {
        room(1);
        buffer_[used_++] = c;
    }
    void put(std::string_view text) {
        if (text.empty()) return; // its data() may be null
        if (text.size() > capacity / 2) {
            flush();
            if (file_ != nullptr) std::fwrite(text.data(), 1, text.size(), file_);
            return;
        }
        room(text.size());
        std::memcpy(buffer_.get() + used_, text.data(), text.size());
        used_ += text.size();
    }
    void spaces(std::size_t count) {
        while (count > 0) {
            const std::size_t n = count < 64 ? count : 64;
            room(n);
            std::memset(buffer_.get() + used_, ' ', n);
            used_ += n;
            count -= n;
        }
    }
    // text left-aligned in width columns (never cut).
    void left(std::string_view text, std::size_t width) {
        put(text);
        if (text.size() < width) spaces(width - text.size());
    }
    void right(std::string_view text, std::size_t width) {
        if (text.size() < width) spaces(width - text.size());
        put(text);
    }

    // Lower-case hexadecimal, zero-padded to at least digits places.
    void hex(std::uint64_t value, int digits = 1) {
        char text[16];
        int n = 0;
        do {
            text[15 - n++] = "0123456789abcdef"[value & 15];
            value >>= 4;
        } while (value != 0);
        room(digits > 16 ? 16 : digits);
        while (n < digits && n < 16)
            text[15 - n++] = '0';
        put(std::string_view(text + 16 - n, static_cast<std::size_t>(n)));
    }
    void hex0x(std::uint64_t value, int digits = 1) {
        put("0x");
        hex(value, digits);
    }
    // Decimal, right-aligned in width columns.
    void dec(std::uint64_t value, std::size_t width = 0) {
        char text[20];
        const std::string_view digits = format_decimal(value, text);
        right(digits, width);
    }
    void sdec(std::int64_t value, std::size_t width = 0) {
        if (value >= 0) return dec(static_cast<std::uint64_t>(value), width);
        char text[21];
        const std::string_view digits =
            format_decimal(0 - static_cast<std::uint64_t>(value), text + 1);
        text[20 - digits.size()] = '-';
        right(std::string_view(text + 20 - digits.size(), digits.size() + 1), width);
    }

    // Text for a terminal: control characters become ^X (and DEL ^?), like other ELF tools.
    // Returns the columns it took.
    std::size_t visible(std::string_view text);
    // A JSON string literal, quotes included: control characters, quotes, backslashes and every
    // byte that is not part of valid UTF-8 are escaped (an invalid byte b as \u00bb).
    void json_string(std::string_view text);

  private:
    static constexpr std::size_t capacity = std::size_t{1} << 18;

    void room(std::size_t bytes) {
        if (capacity - used_ < bytes) flush();
    }
    // Digits of value, written at the end of text[20].
    static std::string_view format_decimal(std::uint64_t value, char *text) {
        int n = 0;
        do {
            text[19 - n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        return {text + 20 - n, static_cast<std::size_t>(n)};
    }

    FILE *file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
};

#endif // QUENZA_DUMP_OUTPUT_HPP
