// Damaged copies of corpus files of each layout, made deterministically: cut short, bytes changed,
// header and section fields set to extreme values, and a few defects built on purpose. The dump
// must always end by itself with status 0 or 1 (a crash, a sanitizer report or the time limit
// fails), report every problem on stderr and in the JSON, and write well-formed JSON.
#include "dump_test_util.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>

using nlohmann::json;

namespace {

constexpr std::uint32_t sht_strtab = 3, sht_dynsym = 11, sht_symtab = 2, sht_verneed = 0x6ffffffe;

// An ELF file's bytes with the places of its header and section header fields.
struct ElfBytes : ElfHeaderBytes {
    using ElfHeaderBytes::ElfHeaderBytes;

    // Section header fields, in Elf64_Shdr order: name type flags addr offset size link info
    // addralign entsize.
    Place section_field(unsigned section, int field) const {
        static const Place fields64[] = {{0, 4},  {4, 4},  {8, 8},  {16, 8}, {24, 8},
                                         {32, 8}, {40, 4}, {44, 4}, {48, 8}, {56, 8}};
        static const Place fields32[] = {{0, 4},  {4, 4},  {8, 4},  {12, 4}, {16, 4},
                                         {20, 4}, {24, 4}, {28, 4}, {32, 4}, {36, 4}};
        const Place f = (wide ? fields64 : fields32)[field];
        return {get(shoff()) + section * (wide ? 64 : 40) + f.offset, f.width};
    }
    enum { name, type, flags, addr, offset, size, link, info, addralign, entsize };

    std::uint64_t section(unsigned index, int field) const {
        return get(section_field(index, field));
    }
    void set_section(unsigned index, int field, std::uint64_t value) {
        set(section_field(index, field), value);
    }
    unsigned sections() const { return static_cast<unsigned>(get(shnum())); }
    // The first section of this type.
    unsigned find(std::uint32_t type) const {
        for (unsigned i = 1; i < sections(); ++i)
            if (section(i, ElfBytes::type) == type) return i;
        throw std::runtime_error("no such section");
    }
};

// Small files of every layout, executables with versions, objects, a library with definitions.
const char *const base_files[] = {
    "hello-x86_64",
    "hello-i686",
    "hello-powerpc",
    "hello-s390x",
    "x86_64-linux-gnu/crti.o",
    "i686-linux-gnu/lib/ld-linux.so.2",
};

class DumpHostile : public ::testing::Test {
  protected:
    // Dumps bytes as JSON (and as text when `text`): the run must end with status 0 or 1, status
    // 1 exactly when problems are reported, and the JSON must be well-formed. Returns the JSON.
    json survives(const std::string &bytes, const std::string &what, bool text = false) {
        SCOPED_TRACE(what);
        const std::string path = dir_.file("case");
        write_file(path, bytes);
        const RunResult r = run({dump_tool(), "--json", path}, true, 30);
        EXPECT_FALSE(r.timed_out);
        EXPECT_TRUE(r.exited) << r.err;
        if (!r.exited) return json();
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
        json document;
        try {
            document = json::parse(r.out).at(0);
        } catch (const std::exception &e) {
            ADD_FAILURE() << "bad JSON: " << e.what();
            return json();
        }
        const std::size_t problems =
            document["problems"].size() + document.value("problems_not_shown", 0u);
        EXPECT_EQ(r.status == 1, problems != 0) << r.err;
        EXPECT_EQ(r.status == 1, !r.err.empty()) << r.err;
        if (text) {
            // The text dump finds the same problems in the same order.
            const RunResult plain = run({dump_tool(), path}, false, 30);
            EXPECT_TRUE(plain.exited) << plain.err;
            EXPECT_EQ(plain.status, r.status);
            EXPECT_EQ(plain.err, r.err);
        }
        last_err_ = r.err;
        return document;
    }

    void expect_reported(const std::string &words) {
        EXPECT_NE(last_err_.find(words), std::string::npos) << last_err_;
    }

    std::mt19937_64 random_{20240601};
    std::uint64_t pick(std::uint64_t below) { return random_() % below; }

    TempDir dir_;
    std::string last_err_;
};

TEST_F(DumpHostile, CutShort) {
    for (const char *base : base_files) {
        const ElfBytes elf(read_file(corpus_file(base)));
        const std::uint64_t size = elf.bytes.size(), table = elf.get(elf.shoff());
        std::vector<std::uint64_t> cuts = {52, 100, table + 1, table + 70, size - 1};
        while (cuts.size() < 15)
            cuts.push_back(pick(size));
        for (std::size_t i = 0; i < cuts.size(); ++i)
            survives(elf.bytes.substr(0, cuts[i]),
                     std::string(base) + " cut at " + std::to_string(cuts[i]), i % 3 == 0);
    }
}

TEST_F(DumpHostile, BytesChanged) {
    for (const char *base : base_files) {
        const ElfBytes elf(read_file(corpus_file(base)));
        for (int round = 0; round < 15; ++round) {
            ElfBytes copy = elf;
            // Mostly in the headers and the metadata sections, where the structure is.
            const int changes = 1 + static_cast<int>(pick(32));
            for (int k = 0; k < changes; ++k) {
                std::uint64_t at;
                const unsigned section = 1 + static_cast<unsigned>(pick(elf.sections() - 1));
                const std::uint64_t type = elf.section(section, ElfBytes::type);
                if (pick(2) == 0) {
                    at = elf.get(elf.shoff()) + pick(elf.sections() * (elf.wide ? 64 : 40));
                } else if (type != 1 && type != 8 && elf.section(section, ElfBytes::size) != 0) {
                    at = elf.section(section, ElfBytes::offset) +
                         pick(elf.section(section, ElfBytes::size));
                } else {
                    at = pick(elf.wide ? 64 : 52);
                }
                if (at >= 16 && at < copy.bytes.size())
                    copy.bytes[at] = static_cast<char>(pick(256));
            }
            survives(copy.bytes, std::string(base) + " round " + std::to_string(round),
                     round % 3 == 0);
        }
    }
}

TEST_F(DumpHostile, ExtremeHeaderFields) {
    for (const char *base : base_files) {
        const ElfBytes elf(read_file(corpus_file(base)));
        const ElfBytes::Place fields[] = {elf.phoff(),   elf.shoff(),     elf.phentsize(),
                                          elf.phnum(),   elf.shentsize(), elf.shnum(),
                                          elf.shstrndx()};
        for (const ElfBytes::Place field : fields) {
            const std::uint64_t max = field.width == 8 ? ~0ULL : (1ULL << (8 * field.width)) - 1;
            const std::uint64_t others[] = {0, 1, elf.bytes.size() - 1, max / 2 + 1};
            for (const std::uint64_t value : {max, others[pick(4)]}) {
                ElfBytes copy = elf;
                copy.set(field, value);
                survives(copy.bytes, std::string(base) + " header field at " +
                                         std::to_string(field.offset) + " = " +
                                         std::to_string(value));
            }
        }
    }
}

TEST_F(DumpHostile, ExtremeSectionFields) {
    for (const char *base : base_files) {
        const ElfBytes elf(read_file(corpus_file(base)));
        for (int round = 0; round < 12; ++round) {
            const unsigned section = static_cast<unsigned>(pick(elf.sections()));
            const int field = static_cast<int>(pick(10));
            const int width = elf.section_field(section, field).width;
            const std::uint64_t max = width == 8 ? ~0ULL : (1ULL << (8 * width)) - 1;
            const std::uint64_t values[] = {
                0, 1, section, max, elf.bytes.size() - 1, 24 * 5000000ULL & max};
            ElfBytes copy = elf;
            copy.set_section(section, field, values[pick(6)]);
            survives(copy.bytes,
                     std::string(base) + " section " + std::to_string(section) + " field " +
                         std::to_string(field),
                     round % 3 == 0);
        }
    }
}

TEST_F(DumpHostile, DefectsNamedPrecisely) {
    const ElfBytes elf(read_file(corpus_file("hello-x86_64")));
    const unsigned dynsym = elf.find(sht_dynsym);
    const std::string label = "section " + std::to_string(dynsym) + " (.dynsym): ";

    ElfBytes uneven = elf;
    uneven.set_section(dynsym, ElfBytes::size, 1000);
    survives(uneven.bytes, "uneven size", true);
    expect_reported(label + "size 1000 is not a multiple of entry size 24");

    ElfBytes millions = elf;
    millions.set_section(dynsym, ElfBytes::size, 24 * 5000000);
    survives(millions.bytes, "millions of symbols", true);
    expect_reported(label + "offset 0x3c0 and size 0x7270e00 run past the end of the file");

    ElfBytes self = elf;
    self.set_section(dynsym, ElfBytes::link, dynsym);
    survives(self.bytes, "linked to itself", true);
    expect_reported(label + "links to itself as its string table");

    ElfBytes unnamed = elf;
    set_field(unnamed.bytes, elf.section(dynsym, ElfBytes::offset) + 24, 4, false, 0x7fffffff);
    const json names = survives(unnamed.bytes, "name out of range", true);
    expect_reported(label + "symbol 1: name offset 0x7fffffff is past the end of its string table");
    EXPECT_EQ(names["symbol_tables"][0]["symbols"][1]["name"], "<corrupt>");

    // Extended numbering claiming four billion sections.
    ElfBytes many = elf;
    many.set(many.shnum(), 0);
    many.set_section(0, ElfBytes::size, 0xffffffff);
    survives(many.bytes, "four billion sections", true);
    expect_reported("section header table: 4294967295 entries at offset");
}

TEST_F(DumpHostile, VersionChainsEndAndDoNotLoop) {
    const ElfBytes elf(read_file(corpus_file("hello-x86_64")));
    const unsigned needs = elf.find(sht_verneed);
    const std::uint64_t at = elf.section(needs, ElfBytes::offset);

    // Far more requirements claimed than there are, each record pointing just past itself.
    ElfBytes endless = elf;
    endless.set_section(needs, ElfBytes::info, 0xffffffff);
    set_field(endless.bytes, at + 12, 4, false, 4); // vn_next
    survives(endless.bytes, "endless requirements", true);
    expect_reported("runs past the end of the section");

    // An auxiliary chain that stops before its count, and one that points back at its record.
    ElfBytes short_chain = elf;
    set_field(short_chain.bytes, at + 2, 2, false, 0xffff); // vn_cnt
    survives(short_chain.bytes, "short chain", true);
    expect_reported("its chain ends after 1 of 65535 entries");

    ElfBytes overlapping = elf;
    set_field(overlapping.bytes, at + 2, 2, false, 0xffff);  // vn_cnt
    set_field(overlapping.bytes, at + 8, 4, false, 0);       // vn_aux: the record itself
    set_field(overlapping.bytes, at + 16 + 12, 4, false, 1); // vna_next
    survives(overlapping.bytes, "overlapping chain", true);
}

// No corpus file has symbol information, so one is made from the hash section of executables of
// both byte orders: three entries bound to the object itself, its parent and a needed object.
TEST_F(DumpHostile, SymbolInformationInBothByteOrders) {
    constexpr std::uint32_t sht_hash = 5, sht_syminfo = 0x6ffffffc;
    for (const char *base : {"hello-i686", "hello-s390x"}) {
        ElfBytes elf(read_file(corpus_file(base)));
        const unsigned hash = elf.find(sht_hash);
        elf.set_section(hash, ElfBytes::type, sht_syminfo);
        elf.set_section(hash, ElfBytes::size, 12);
        elf.set_section(hash, ElfBytes::entsize, 4);
        const std::uint64_t at = elf.section(hash, ElfBytes::offset);
        const unsigned entries[3][2] = {{0xffff, 1}, {0xfffe, 4}, {1, 9}};
        for (int i = 0; i < 3; ++i) {
            set_field(elf.bytes, at + 4 * i, 2, elf.big, entries[i][0]);
            set_field(elf.bytes, at + 4 * i + 2, 2, elf.big, entries[i][1]);
        }
        const json dump = survives(elf.bytes, base, true);
        ASSERT_EQ(dump["symbol_information"].size(), 1u);
        const json &shown = dump["symbol_information"][0]["entries"];
        ASSERT_EQ(shown.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(shown[i]["boundto"], entries[i][0]);
            EXPECT_EQ(shown[i]["flags"], entries[i][1]);
            EXPECT_EQ(shown[i]["name"], dump["symbol_tables"][0]["symbols"][i]["name"]);
        }
    }
}

// Thousands of symbol tables over the same bytes: the reading stops at a budget proportional to
// the file size instead of taking quadratic time.
TEST_F(DumpHostile, OverlappingTablesAreBounded) {
    ElfBytes elf(read_file(corpus_file("hello-x86_64")));
    const unsigned count = 20000;
    const std::uint64_t table = elf.bytes.size();
    elf.bytes.resize(table + count * 64ULL, '\0');
    elf.set(elf.shoff(), table);
    elf.set(elf.shnum(), 0); // extended numbering: the count is in section 0
    elf.set(elf.shstrndx(), 0);
    elf.set_section(0, ElfBytes::size, count);
    for (unsigned i = 1; i < count; ++i) {
        elf.set_section(i, ElfBytes::type, i % 2 == 0 ? sht_symtab : sht_strtab);
        elf.set_section(i, ElfBytes::size, 0x3000);
        elf.set_section(i, ElfBytes::entsize, 24);
        elf.set_section(i, ElfBytes::link, i % 2 == 0 ? i - 1 : 0);
    }
    const std::string path = dir_.file("overlapping");
    write_file(path, elf.bytes);
    const RunResult r = run({dump_tool(), "-s", path}, false, 60);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the tables overlap so much that reading them all would take more than 4 "
                         "times the file size; the rest are skipped"),
              std::string::npos)
        << r.err;
}

// Notes with absurd sizes, a misaligned note section, a property note cut short, group sections
// naming sections and symbols that do not exist, hash tables claiming more than they hold, and
// dumps of sections past the end: each a problem named precisely, the rest of the dump intact.
TEST_F(DumpHostile, DamagedNotesGroupsHashTablesAndDumps) {
    constexpr std::uint32_t sht_note = 7, sht_hash = 5, sht_gnu_hash = 0x6ffffff6, sht_group = 17;
    const ElfBytes elf(read_file(corpus_file("hello-x86_64")));
    const unsigned note = elf.find(sht_note);
    const std::uint64_t at = elf.section(note, ElfBytes::offset);

    ElfBytes huge = elf;
    set_field(huge.bytes, at + 4, 4, false, 0xfffffff0); // descsz
    json dump = survives(huge.bytes, "absurd note size", true);
    expect_reported("data size 0xfffffff0 past the end of the notes");
    EXPECT_FALSE(dump["symbol_tables"].empty());

    ElfBytes named = elf;
    set_field(named.bytes, at, 4, false, 0xffffffff); // namesz
    survives(named.bytes, "absurd name size", true);
    expect_reported("has name size 0xffffffff");

    ElfBytes misaligned = elf;
    misaligned.set_section(note, ElfBytes::addralign, 16);
    survives(misaligned.bytes, "note alignment 16", true);
    expect_reported("note alignment 16 is not 4 or 8");

    // The property note (the first one): a size that is no multiple of 8.
    ElfBytes property = elf;
    set_field(property.bytes, at + 4, 4, false, 12);
    survives(property.bytes, "property note of 12 bytes", true);
    expect_reported("property note size 0xc is damaged");

    // Without section headers the notes come from the NOTE segments.
    ElfBytes segments_only = elf;
    segments_only.set(segments_only.shoff(), 0);
    segments_only.set(segments_only.shnum(), 0);
    segments_only.set(segments_only.shstrndx(), 0);
    dump = survives(segments_only.bytes, "notes from segments", true);
    EXPECT_FALSE(dump["notes"].empty());

    ElfBytes gnu_hash = elf;
    const unsigned table = elf.find(sht_gnu_hash);
    set_field(gnu_hash.bytes, elf.section(table, ElfBytes::offset), 4, false, 0xffffffff);
    survives(gnu_hash.bytes, "four billion buckets", true);
    expect_reported("4294967295 buckets and");

    ElfBytes hash(read_file(corpus_file("hello-i686")));
    set_field(hash.bytes, hash.section(hash.find(sht_hash), ElfBytes::offset) + 4, 4, false,
              0x7fffffff);
    survives(hash.bytes, "hash chains past the end", true);
    expect_reported("2147483647 chains do not fit");

    // Dumps of a section whose bytes are past the end, and of sections that do not exist.
    ElfBytes moved = elf;
    moved.set_section(1, ElfBytes::offset, 0x7fffffff);
    const std::string path = dir_.file("moved");
    write_file(path, moved.bytes);
    const RunResult dumps =
        run({dump_tool(), "-x", "1", "-p", "1", "-x", "999", "-p", ".none", "--json", path});
    EXPECT_EQ(dumps.status, 1);
    EXPECT_NE(dumps.err.find("section 1 (.interp): offset 0x7fffffff"), std::string::npos);
    EXPECT_NE(dumps.err.find("section '999' was not dumped"), std::string::npos);
    EXPECT_NE(dumps.err.find("section '.none' was not dumped"), std::string::npos);
    EXPECT_EQ(json::parse(dumps.out)[0]["problems"].size(), 3u);

    // An object with COMDAT groups, damaged.
    write_file(dir_.file("g.cpp"), "template <class T> T twice(T x) { return x + x; }\n"
                                   "int g(int y) { return twice(y); }\n");
    ASSERT_EQ(run({"/usr/bin/g++", "-c", dir_.file("g.cpp"), "-o", dir_.file("g.o")}).status, 0);
    const ElfBytes object(read_file(dir_.file("g.o")));
    const unsigned group = object.find(sht_group);
    ElfBytes member = object;
    set_field(member.bytes, object.section(group, ElfBytes::offset) + 4, 4, false, 9999);
    survives(member.bytes, "group member out of range", true);
    expect_reported("member 0 names section 9999, which does not exist");
    ElfBytes signature = object;
    signature.set_section(group, ElfBytes::info, 99999);
    survives(signature.bytes, "group signature out of range", true);
    expect_reported("signature symbol 99999 is out of range");
    ElfBytes lost = object;
    lost.set_section(group, ElfBytes::link, 0);
    survives(lost.bytes, "group without symbol table", true);
    expect_reported("link 0 to its symbol table is out of range");
}

} // namespace
