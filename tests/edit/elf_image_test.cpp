// The shared reader of a file's structure on a real executable of this machine, whole, embedded
// at an offset, cut short at every length of its headers, and with absurd counts: what it reads
// must match the header, and every damaged copy must be reported, never read out of bounds.
#include "elf_image.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<char> read_whole(const char *path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct Loaded {
    bool usable = false;
    ElfImage image;
    std::vector<std::string> problems;
};

// Loads the bytes through a memory stream, the ELF file starting at base.
Loaded load(std::vector<char> bytes, std::uint64_t base = 0) {
    Loaded result;
    FILE *stream = fmemopen(bytes.data(), bytes.size(), "rb");
    if (stream == nullptr) return result;
    result.usable = result.image.load(
        stream, base, [&](const std::string &message) { result.problems.push_back(message); });
    std::fclose(stream);
    return result;
}

const char *const sample = "/bin/sh";

TEST(ElfImage, ReadsARealExecutable) {
    const std::vector<char> bytes = read_whole(sample);
    ASSERT_GT(bytes.size(), 4096U);
    const Loaded loaded = load(bytes);
    ASSERT_TRUE(loaded.usable);
    EXPECT_TRUE(loaded.problems.empty()) << loaded.problems.front();
    const ElfImage &image = loaded.image;
    EXPECT_EQ(image.file_size, bytes.size());
    EXPECT_EQ(image.segments.size(), image.header.e_phnum);
    EXPECT_EQ(image.sections.size(), image.header.e_shnum);
    ASSERT_TRUE(image.has_dynamic);
    EXPECT_EQ(image.dynamic.back().d_tag, DT_NULL);
    // The dynamic segment's address maps back to its offset.
    std::uint64_t offset = 0;
    ASSERT_TRUE(image.file_offset(image.dynamic_address, image.dyn_size(), offset));
    EXPECT_EQ(offset, image.dynamic_offset);
    // Needed names are read from the string table, whole.
    const Elf64_Dyn *needed = image.find_dynamic(DT_NEEDED);
    ASSERT_NE(needed, nullptr);
    FILE *stream = std::fopen(sample, "rb");
    ASSERT_NE(stream, nullptr);
    std::string name;
    EXPECT_TRUE(image.dynamic_string(stream, needed->d_un.d_val, name));
    EXPECT_NE(name.find(".so"), std::string::npos) << name;
    std::fclose(stream);
}

TEST(ElfImage, ReadsAFileEmbeddedAtAnOffset) {
    const std::vector<char> bytes = read_whole(sample);
    std::vector<char> embedded(100 + bytes.size(), 'x');
    std::copy(bytes.begin(), bytes.end(), embedded.begin() + 100);
    const Loaded plain = load(bytes);
    const Loaded moved = load(embedded, 100);
    ASSERT_TRUE(moved.usable);
    EXPECT_TRUE(moved.problems.empty());
    EXPECT_EQ(moved.image.file_size, plain.image.file_size);
    EXPECT_EQ(moved.image.dynamic.size(), plain.image.dynamic.size());
    EXPECT_EQ(moved.image.sections.size(), plain.image.sections.size());
}

TEST(ElfImage, ReportsEveryCutShortCopy) {
    const std::vector<char> bytes = read_whole(sample);
    const Loaded whole = load(bytes);
    // Every length through the headers and the dynamic table, then coarser steps.
    const std::uint64_t fine = std::min<std::uint64_t>(bytes.size(), 1024);
    for (std::uint64_t length = 0; length < bytes.size(); length += length < fine ? 1 : 4093) {
        const Loaded cut =
            load(std::vector<char>(bytes.begin(), bytes.begin() + static_cast<long>(length)));
        // Something the whole file has lies past the cut: the cut must be reported.
        EXPECT_FALSE(cut.usable && cut.problems.empty()) << "length " << length;
        EXPECT_LE(cut.image.sections.size(), whole.image.sections.size());
        EXPECT_LE(cut.image.segments.size(), whole.image.segments.size());
    }
}

TEST(ElfImage, RefusesAbsurdCountsWithoutAllocating) {
    const std::vector<char> bytes = read_whole(sample);
    const Loaded whole = load(bytes);
    ASSERT_TRUE(whole.image.wide);
    struct Change {
        std::size_t offset;
        std::vector<unsigned char> value;
    };
    const Change changes[] = {
        {56, {0xfe, 0xff}},                                     // e_phnum
        {60, {0xfe, 0xff}},                                     // e_shnum
        {32, {0xf0, 0xff, 0xff, 0xff, 0, 0, 0, 0}},             // e_phoff far past the end
        {40, {0xf0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}, // e_shoff at the top
        {54, {57, 0}},                                          // e_phentsize wrong
        {58, {65, 0}},                                          // e_shentsize wrong
    };
    for (const Change &change : changes) {
        std::vector<char> damaged = bytes;
        std::memcpy(damaged.data() + change.offset, change.value.data(), change.value.size());
        const Loaded loaded = load(damaged);
        EXPECT_FALSE(loaded.problems.empty()) << "field at " << change.offset;
        EXPECT_LE(loaded.image.segments.size(), whole.image.segments.size());
        EXPECT_LE(loaded.image.sections.size(), whole.image.sections.size());
    }
}

TEST(ElfImage, RefusesWhatIsNotElf) {
    Loaded loaded = load(std::vector<char>(64, 'x'));
    EXPECT_FALSE(loaded.usable);
    ASSERT_EQ(loaded.problems.size(), 1U);
    EXPECT_EQ(loaded.problems[0], "not an ELF file");
    loaded = load(std::vector<char>{});
    EXPECT_FALSE(loaded.usable);
    EXPECT_EQ(loaded.problems.size(), 1U);
}

} // namespace
