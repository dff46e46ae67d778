// Valid but rare records the corpus lacks, made by patching corpus files, against readelf -W:
// relocations against unnamed and IFUNC symbols, a program header aligned to 0, a MIPS64 relocation
// with a special symbol, a negative second addend of R_SPARC_OLO10; and one bad symbol index used
// by many relocations, which must count as one problem.
#include "dump_test_util.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

using nlohmann::json;

namespace {

// A 64-bit ELF file's bytes, with its sections' places.
struct Elf64Bytes {
    std::string bytes;
    bool big;

    explicit Elf64Bytes(const std::string &path) : bytes(read_file(path)), big(bytes.at(5) == 2) {
        if (bytes.at(4) != 2) throw std::runtime_error(path + " is not a 64-bit file");
    }
    std::uint64_t get(std::size_t at, int width) const { return get_field(bytes, at, width, big); }
    void set(std::size_t at, int width, std::uint64_t value) {
        set_field(bytes, at, width, big, value);
    }
    std::size_t section_header(unsigned index) const { return get(40, 8) + index * 64u; }
    std::uint32_t type(unsigned index) const {
        return static_cast<std::uint32_t>(get(section_header(index) + 4, 4));
    }
    std::size_t offset(unsigned index) const { return get(section_header(index) + 24, 8); }
    std::size_t size(unsigned index) const { return get(section_header(index) + 32, 8); }
    // The first section of this type.
    unsigned find(std::uint32_t wanted) const {
        for (unsigned i = 1; i < get(60, 2); ++i)
            if (type(i) == wanted) return i;
        throw std::runtime_error("no such section");
    }
    std::string write(const TempDir &dir, const std::string &name) const {
        const std::string path = dir.file(name);
        write_file(path, bytes);
        return path;
    }
};

constexpr std::uint32_t sht_symtab = 2, sht_rela = 4;

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// readelf -W with `option` and quenza-dump with it: both succeed; quenza-dump says nothing on
// stderr. Returns both texts as lines.
std::pair<std::vector<std::string>, std::vector<std::string>> both(const std::string &option,
                                                                   const std::string &path) {
    const RunResult readelf = run({"/usr/bin/readelf", "-W", option, path});
    const RunResult ours = run({dump_tool(), option, path});
    EXPECT_EQ(readelf.status, 0);
    EXPECT_EQ(ours.status, 0) << ours.err;
    EXPECT_EQ(ours.err, "");
    return {lines(readelf.out), lines(ours.out)};
}

json dump_json(const std::string &option, const std::string &path) {
    const RunResult ours = run({dump_tool(), "--json", option, path});
    EXPECT_EQ(ours.status, 0) << ours.err;
    return json::parse(ours.out).at(0);
}

TEST(DumpCrafted, UnnamedSymbolsInRelocationsAsReadelfNamesThem) {
    TempDir dir;
    Elf64Bytes file(corpus_file("x86_64-linux-gnu/crt1.o"));
    const std::size_t symbols = file.offset(file.find(sht_symtab));
    // Symbol 5 (main) loses its name; symbol 1 (the section symbol of .text) moves to SHN_ABS.
    file.set(symbols + 5 * 24, 4, 0);
    file.set(symbols + 1 * 24 + 6, 2, 0xfff1);
    const std::string path = file.write(dir, "unnamed.o");
    const auto [readelf, ours] = both("-r", path);
    EXPECT_EQ(ours, readelf);
    ASSERT_GE(ours.size(), 4u);
    EXPECT_NE(ours[3].find(" <null> - 4"), std::string::npos) << ours[3];
    // The JSON keeps the name as it is (none) for the unnamed symbol.
    const json relocation = dump_json("-r", path)["relocation_sections"][0]["relocations"][0];
    EXPECT_EQ(relocation["symbol"], 5);
    EXPECT_EQ(relocation["symbol_name"], "");
}

TEST(DumpCrafted, IfuncSymbolsInRelocationsShowTheirNameForTheirValue) {
    TempDir dir;
    Elf64Bytes file(corpus_file("x86_64-linux-gnu/crt1.o"));
    const std::size_t symbols = file.offset(file.find(sht_symtab));
    // main and __libc_start_main become IFUNC symbols (GLOBAL, type 10); the second loses its
    // name.
    file.bytes.at(symbols + 5 * 24 + 4) = 0x1a;
    file.bytes.at(symbols + 9 * 24 + 4) = 0x1a;
    file.set(symbols + 9 * 24, 4, 0);
    const std::string path = file.write(dir, "ifunc.o");
    const auto [readelf, ours] = both("-r", path);
    EXPECT_EQ(ours, readelf);
    ASSERT_GE(ours.size(), 5u);
    EXPECT_NE(ours[3].find(" main()           main - 4"), std::string::npos) << ours[3];
    EXPECT_NE(ours[4].find(" ?\?()             <null> - 4"), std::string::npos) << ours[4];
}

TEST(DumpCrafted, ZeroAlignmentShowsAsZero) {
    TempDir dir;
    for (const char *suffix : {"hello-x86_64", "hello-i686"}) {
        std::string bytes = read_file(corpus_file(suffix));
        const bool wide = bytes.at(4) == 2;
        // The first program header's p_align (its last field).
        const std::size_t phoff = get_field(bytes, wide ? 32 : 28, wide ? 8 : 4, false);
        set_field(bytes, phoff + (wide ? 48 : 28), wide ? 8 : 4, false, 0);
        const std::string path = dir.file(std::string("align-") + suffix);
        write_file(path, bytes);
        SCOPED_TRACE(path);
        auto [readelf, ours] = both("-l", path);
        // readelf ends with the section-to-segment mapping, which quenza-dump does not show.
        readelf.resize(ours.size());
        EXPECT_EQ(ours, readelf);
        ASSERT_GE(ours.size(), 8u);
        EXPECT_EQ(ours[7].substr(ours[7].size() - 2), " 0") << ours[7];
    }
}

TEST(DumpCrafted, MipsSpecialSymbolIsShownAndCarried) {
    TempDir dir;
    for (const char *triplet : {"mips64el-linux-gnuabi64", "mips64-linux-gnuabi64"}) {
        Elf64Bytes file(corpus_file(std::string(triplet) + "/lib/crt1.o"));
        // r_ssym is the byte after the 32-bit symbol index, in either byte order.
        const std::size_t relocation = file.offset(file.find(sht_rela));
        file.bytes.at(relocation + 8 + 4) = 1;
        const std::string path = file.write(dir, std::string(triplet) + ".o");
        SCOPED_TRACE(path);
        auto [readelf, ours] = both("-r", path);
        // readelf does not show the special symbol: quenza-dump adds one line for it.
        ASSERT_EQ(ours.size(), readelf.size() + 1);
        EXPECT_EQ(ours[6], "                    Ssym: RSS_GP           ");
        ours.erase(ours.begin() + 6);
        EXPECT_EQ(ours, readelf);
        const json first = dump_json("-r", path)["relocation_sections"][0]["relocations"][0];
        EXPECT_EQ(first["ssym"], 1);
        EXPECT_EQ(first["ssym_name"], "RSS_GP");
        EXPECT_EQ(first["type_name"], "R_MIPS_GPREL16");
        EXPECT_EQ(first["type2_name"], "R_MIPS_SUB");
        EXPECT_EQ(first["type3_name"], "R_MIPS_HI16");
        EXPECT_EQ(first["symbol"], 1);
        EXPECT_EQ(first["info"], 0x101051807u);
    }
}

TEST(DumpCrafted, SparcNegativeSecondAddend) {
    TempDir dir;
    Elf64Bytes file(corpus_file("sparc64/canonicalize.o"));
    // Each R_SPARC_OLO10 (type 33) gets the second addend -8 in the 24 bits above its type.
    unsigned patched = 0;
    for (unsigned i = 1; i < file.get(60, 2); ++i) {
        if (file.type(i) != sht_rela) continue;
        for (std::size_t at = file.offset(i); at < file.offset(i) + file.size(i); at += 24) {
            if ((file.get(at + 8, 8) & 0xff) != 33) continue;
            file.set(at + 12, 4, 0xfffff800 | 33);
            ++patched;
        }
    }
    ASSERT_GT(patched, 0u);
    const std::string path = file.write(dir, "olo10.o");
    const auto [readelf, ours] = both("-r", path);
    EXPECT_EQ(ours, readelf);
    std::size_t shown = 0;
    for (const std::string &line : ours)
        shown += line.find("R_SPARC_OLO10") != std::string::npos &&
                 line.ends_with(" + fffffffffffffff8");
    EXPECT_EQ(shown, patched);
    const json dump = dump_json("-r", path);
    for (const json &section : dump["relocation_sections"])
        for (const json &relocation : section["relocations"])
            if (relocation["type"] == 33) {
                EXPECT_EQ(relocation["second_addend"], -8);
            }
}

TEST(DumpCrafted, ABadSymbolManyRelocationsUseCountsOnce) {
    TempDir dir;
    Elf64Bytes file(corpus_file("x86_64-linux-gnu/libstdc++.so.6"));
    // Every relocation of .rela.dyn that has a symbol gets one index past the symbol table.
    const unsigned section = file.find(sht_rela);
    unsigned patched = 0;
    for (std::size_t at = file.offset(section); at < file.offset(section) + file.size(section);
         at += 24) {
        if ((file.get(at + 8, 8) >> 32) == 0) continue;
        file.set(at + 12, 4, 0x7fffffff);
        ++patched;
    }
    ASSERT_GT(patched, 1u);
    const std::string path = file.write(dir, "bad-index.so");
    const RunResult text = run({dump_tool(), "-r", path});
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(lines(text.err).size(), 1u) << text.err;
    EXPECT_NE(text.err.find("symbol index 2147483647 is out of range"), std::string::npos);
    const json dump = json::parse(run({dump_tool(), "--json", "-r", path}).out).at(0);
    EXPECT_EQ(dump["problems"].size(), 1u);
    EXPECT_FALSE(dump.contains("problems_not_shown"));

    // 150 different bad indices, each used twice: 150 problems, 100 of them shown.
    file = Elf64Bytes(corpus_file("x86_64-linux-gnu/libstdc++.so.6"));
    unsigned n = 0;
    for (std::size_t at = file.offset(section);
         n < 300 && at < file.offset(section) + file.size(section); at += 24)
        file.set(at + 8, 8, (std::uint64_t{0x7fff0000} + n++ / 2) << 32 | 1);
    ASSERT_EQ(n, 300u);
    const std::string many = file.write(dir, "bad-indices.so");
    const json again = json::parse(run({dump_tool(), "--json", "-r", many}).out).at(0);
    EXPECT_EQ(again["problems"].size(), 100u);
    EXPECT_EQ(again.value("problems_not_shown", 0u), 50u);
}

} // namespace
