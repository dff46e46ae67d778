// Shared helpers for the codec tests: the four file layouts, a builder of file bytes in a layout's
// byte order (the tests' independent statement of the ELF layouts), and memory streams.
#ifndef QUENZA_CODEC_TEST_SUPPORT_HPP
#define QUENZA_CODEC_TEST_SUPPORT_HPP

#include "quenza.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using ByteVector = std::vector<unsigned char>;

struct FileLayout {
    unsigned char elf_class;
    unsigned char data;
    const char *name;
    bool wide() const { return elf_class == ELFCLASS64; }
    bool big() const { return data == ELFDATA2MSB; }
    // Makes this layout the one every following operation uses.
    void select() const { ASSERT_EQ(quenza_initialize_direct(elf_class, data, EV_CURRENT), 0); }
};

inline const FileLayout all_layouts[] = {
    {ELFCLASS32, ELFDATA2LSB, "Elf32LSB"},
    {ELFCLASS32, ELFDATA2MSB, "Elf32MSB"},
    {ELFCLASS64, ELFDATA2LSB, "Elf64LSB"},
    {ELFCLASS64, ELFDATA2MSB, "Elf64MSB"},
};

inline std::string layout_name(const testing::TestParamInfo<FileLayout> &info) {
    return info.param.name;
}

// Appends fields to a file image in the byte order of a layout.
class FileBytes {
  public:
    explicit FileBytes(const FileLayout &layout) : layout_(layout) {}
    FileBytes &put(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            const int shift = 8 * (layout_.big() ? width - 1 - i : i);
            bytes_.push_back(static_cast<unsigned char>(value >> shift));
        }
        return *this;
    }
    FileBytes &byte(std::uint64_t value) { return put(value, 1); }
    FileBytes &half(std::uint64_t value) { return put(value, 2); }
    FileBytes &word(std::uint64_t value) { return put(value, 4); }
    FileBytes &xword(std::uint64_t value) { return put(value, 8); }
    // Addresses, offsets and sizes: 4 bytes in the 32-bit class, 8 in the 64-bit class.
    FileBytes &addr(std::uint64_t value) { return put(value, layout_.wide() ? 8 : 4); }
    FileBytes &raw(const ByteVector &more) {
        bytes_.insert(bytes_.end(), more.begin(), more.end());
        return *this;
    }
    const ByteVector &bytes() const { return bytes_; }

  private:
    FileLayout layout_;
    ByteVector bytes_;
};

// A read-only stream over a copy of some bytes.
class InputStream {
  public:
    explicit InputStream(ByteVector bytes) : bytes_(std::move(bytes)) {
        if (bytes_.empty()) bytes_.push_back(0), empty_ = true;
        stream_ = fmemopen(bytes_.data(), bytes_.size(), "rb");
        if (empty_) std::fgetc(stream_);
    }
    ~InputStream() { std::fclose(stream_); }
    InputStream(const InputStream &) = delete;
    InputStream &operator=(const InputStream &) = delete;
    FILE *get() const { return stream_; }
    long position() const { return std::ftell(stream_); }

  private:
    ByteVector bytes_;
    bool empty_ = false;
    FILE *stream_;
};

// Runs a writer on a fresh memory stream and returns what it wrote.
template <typename Writer> ByteVector written_by(Writer writer) {
    char *buffer = nullptr;
    std::size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    writer(stream);
    std::fclose(stream);
    ByteVector bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

// Compares records byte for byte, showing both in hex when they differ.
template <typename Record> std::string hex_of(const Record &record) {
    std::string out;
    const auto *bytes = reinterpret_cast<const unsigned char *>(&record);
    for (std::size_t i = 0; i < sizeof record; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x ", bytes[i]);
        out += pair;
    }
    return out;
}

template <typename Record> bool same_bytes(const Record &a, const Record &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

#define EXPECT_SAME_RECORD(actual, expected)                                                       \
    EXPECT_TRUE(same_bytes(actual, expected))                                                      \
        << "actual:   " << hex_of(actual) << "\nexpected: " << hex_of(expected)

#endif // QUENZA_CODEC_TEST_SUPPORT_HPP
