// Fuzz target: quenza-dump's whole reading path, once as text and once as JSON, over the input as
// a file opened with fmemopen. The JSON output must be exactly one well-formed JSON value in
// valid UTF-8, which a small strict checker below verifies.
#include "dump.hpp"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what, int line) {
    std::fprintf(stderr, "dump_fuzzer.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}

#define CHECK(condition) ((condition) ? (void)0 : fail(#condition, __LINE__))

// A strict recursive-descent JSON checker (RFC 8259), nesting bounded.
class Json {
  public:
    Json(const char *text, std::size_t size)
        : at_(reinterpret_cast<const unsigned char *>(text)), end_(at_ + size) {}

    bool document() {
        space();
        if (!value(0)) return false;
        space();
        return at_ == end_;
    }

  private:
    static constexpr int max_depth = 64;

    bool more() const { return at_ != end_; }
    bool peek(unsigned char c) const { return more() && *at_ == c; }
    bool eat(unsigned char c) {
        if (!peek(c)) return false;
        ++at_;
        return true;
    }
    static bool digit(unsigned char c) { return c >= '0' && c <= '9'; }
    void space() {
        while (more() && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r'))
            ++at_;
    }
    bool word(const char *text) {
        for (; *text != '\0'; ++text)
            if (!eat(static_cast<unsigned char>(*text))) return false;
        return true;
    }
    bool digits() {
        if (!more() || !digit(*at_)) return false;
        while (more() && digit(*at_))
            ++at_;
        return true;
    }

    bool value(int depth) {
        if (depth > max_depth || !more()) return false;
        switch (*at_) {
        case '{':
            return object(depth);
        case '[':
            return array(depth);
        case '"':
            return string();
        case 't':
            return word("true");
        case 'f':
            return word("false");
        case 'n':
            return word("null");
        default:
            return number();
        }
    }

    bool object(int depth) {
        eat('{');
        space();
        if (eat('}')) return true;
        do {
            space();
            if (!string()) return false;
            space();
            if (!eat(':')) return false;
            space();
            if (!value(depth + 1)) return false;
            space();
        } while (eat(','));
        return eat('}');
    }

    bool array(int depth) {
        eat('[');
        space();
        if (eat(']')) return true;
        do {
            space();
            if (!value(depth + 1)) return false;
            space();
        } while (eat(','));
        return eat(']');
    }

    bool number() {
        eat('-');
        if (!eat('0') && !digits()) return false;
        if (eat('.') && !digits()) return false;
        if (eat('e') || eat('E')) {
            if (!eat('+')) eat('-');
            if (!digits()) return false;
        }
        return true;
    }

    bool string() {
        if (!eat('"')) return false;
        while (more() && *at_ != '"') {
            const unsigned char c = *at_;
            if (c < 0x20) return false;
            if (c == '\\') {
                ++at_;
                if (!more()) return false;
                const unsigned char e = *at_++;
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i, ++at_)
                        if (!more() || std::isxdigit(*at_) == 0) return false;
                } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' &&
                           e != 'r' && e != 't') {
                    return false;
                }
            } else if (c < 0x80) {
                ++at_;
            } else if (!utf8()) {
                return false;
            }
        }
        return eat('"');
    }

    // One multi-byte UTF-8 sequence: shortest form, no surrogates, at most U+10FFFF.
    bool utf8() {
        const unsigned char c = *at_;
        int length = 0;
        std::uint32_t code = 0;
        if (c >= 0xc2 && c <= 0xdf) {
            length = 2;
            code = c & 0x1fU;
        } else if (c >= 0xe0 && c <= 0xef) {
            length = 3;
            code = c & 0x0fU;
        } else if (c >= 0xf0 && c <= 0xf4) {
            length = 4;
            code = c & 0x07U;
        } else {
            return false;
        }
        if (end_ - at_ < length) return false;
        for (int i = 1; i < length; ++i) {
            if ((at_[i] & 0xc0U) != 0x80) return false;
            code = (code << 6) | (at_[i] & 0x3fU);
        }
        if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10ffff ||
            (code >= 0xd800 && code <= 0xdfff))
            return false;
        at_ += length;
        return true;
    }

    const unsigned char *at_;
    const unsigned char *end_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static FILE *const sink = std::fopen("/dev/null", "w");
    CHECK(sink != nullptr);
    if (size == 0) return 0;
    // fmemopen wants a writable buffer even to read.
    std::vector<unsigned char> input(data, data + size);

    // Every view, with hex and string dumps of sections by number and by name. Members of thin
    // archives would be files on this machine: they are not opened.
    DumpOptions options;
    options.open_thin_members = false;
    for (const char *section : {"1", "2", ".text", ".dynstr"}) {
        const bool by_index = section[0] != '.';
        options.dumps.push_back({section, by_index, false});
        options.dumps.push_back({section, by_index, true});
    }

    FILE *in = fmemopen(input.data(), input.size(), "rb");
    CHECK(in != nullptr);
    const int text_result = quenza_dump_stream(in, "input", options, sink, sink);
    CHECK(text_result == 0 || text_result == 1);
    std::fclose(in);

    in = fmemopen(input.data(), input.size(), "rb");
    CHECK(in != nullptr);
    char *json = nullptr;
    std::size_t json_size = 0;
    FILE *out = open_memstream(&json, &json_size);
    CHECK(out != nullptr);
    options.json = true;
    const int json_result = quenza_dump_stream(in, "input", options, out, sink);
    std::fclose(in);
    std::fclose(out);
    // The same file has the same problems, whatever the output form.
    CHECK(json_result == text_result);
    // An archive's members are elements of the caller's array: the whole is checked as one.
    std::string array = "[" + std::string(json, json_size) + "]";
    CHECK(Json(array.data(), array.size()).document());
    std::free(json);
    return 0;
}
