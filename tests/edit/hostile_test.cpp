// quenza-edit on damaged copies of real files of all four layouts: cut short, segments
// overlapping, absurd counts, program headers and dynamic entries pointing outside the file,
// string offsets outside the dynamic string table. Every edit must end by itself (a crash, a
// sanitizer report or the time limit fails), refuse the file with status 1 and a message naming
// it, and leave the original byte-identical with nothing else in its folder. Randomly changed
// copies may be accepted, but then the result must read back without a complaint from readelf.
#include "dump_test_util.hpp"

#include <gtest/gtest.h>

#include <dirent.h>

#include <filesystem>
#include <random>
#include <stdexcept>

namespace {

constexpr std::uint32_t pt_load = 1, pt_dynamic = 2, pt_interp = 3;
constexpr std::int64_t dt_null = 0, dt_needed = 1, dt_strtab = 5, dt_strsz = 10;

std::string edit_tool() {
    return QUENZA_EDIT_TOOL;
}

// An ELF file's bytes with the places of its header, program header and dynamic entry fields.
struct ElfBytes : ElfHeaderBytes {
    using ElfHeaderBytes::ElfHeaderBytes;

    // Program header fields, in Elf64_Phdr order.
    enum { type, flags, offset, vaddr, paddr, filesz, memsz, align };
    Place segment_field(unsigned segment, int field) const {
        static const Place fields64[] = {{0, 4},  {4, 4},  {8, 8},  {16, 8},
                                         {24, 8}, {32, 8}, {40, 8}, {48, 8}};
        static const Place fields32[] = {{0, 4},  {24, 4}, {4, 4},  {8, 4},
                                         {12, 4}, {16, 4}, {20, 4}, {28, 4}};
        const Place f = (wide ? fields64 : fields32)[field];
        return {get(phoff()) + segment * (wide ? 56 : 32) + f.offset, f.width};
    }

    std::uint64_t segment(unsigned index, int field) const {
        return get(segment_field(index, field));
    }
    void set_segment(unsigned index, int field, std::uint64_t value) {
        set(segment_field(index, field), value);
    }
    unsigned segments() const { return static_cast<unsigned>(get(phnum())); }
    // The first segment of this type, and the one after it of the same type.
    unsigned find(std::uint32_t segment_type, unsigned after = 0) const {
        for (unsigned i = after; i < segments(); ++i)
            if (segment(i, type) == segment_type) return i;
        throw std::runtime_error("no such segment");
    }

    // Dynamic entries: the file offset of entry `index`'s tag (its value follows).
    std::size_t dynamic_entry(unsigned index) const {
        return segment(find(pt_dynamic), offset) + index * (wide ? 16 : 8);
    }
    std::int64_t tag(unsigned index) const {
        const std::uint64_t raw = get_field(bytes, dynamic_entry(index), wide ? 8 : 4, big);
        return wide ? static_cast<std::int64_t>(raw) : static_cast<std::int32_t>(raw);
    }
    Place value(unsigned index) const {
        return {dynamic_entry(index) + (wide ? 8 : 4), wide ? 8 : 4};
    }
    // The first dynamic entry with this tag.
    unsigned entry(std::int64_t wanted) const {
        for (unsigned i = 0; tag(i) != dt_null; ++i)
            if (tag(i) == wanted) return i;
        throw std::runtime_error("no such dynamic entry");
    }
    unsigned entries() const {
        unsigned i = 0;
        while (tag(i) != dt_null)
            ++i;
        return i + 1;
    }
};

// Executables of every layout (with a dynamic section, a hash table and versions), and shared
// libraries of both byte orders.
const char *const base_files[] = {
    "hello-x86_64",
    "hello-i686",
    "hello-powerpc",
    "hello-s390x",
    "x86_64-linux-gnu/libm.so.6",
    "powerpc-linux-gnu/lib/libm.so.6",
};

// Edits that rewrite the dynamic section, its strings and the interpreter, growing and not.
const std::vector<std::vector<std::string>> edits = {
    {"--set-rpath", "/opt/" + std::string(300, 'r')},
    {"--set-rpath", "/x"},
    {"--add-needed", "libextra.so.1"},
    {"--set-interpreter", "/lib/" + std::string(200, 'i') + ".so"},
    {"--set-soname", "libhostile-" + std::string(100, 's') + ".so"},
    {"--remove-needed", "libc.so.6", "--shrink-rpath"},
};
const char *const prints[] = {"--print-rpath", "--print-needed", "--print-soname",
                              "--print-interpreter"};

std::vector<std::string> folder_contents(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (const dirent *entry = readdir(dir))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names.emplace_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

class EditHostile : public ::testing::Test {
  protected:
    // Runs one edit on a copy of bytes in a folder of its own: it must end by itself with status
    // 0 or 1, say why on stderr when it is 1, and then leave the copy as it was and add nothing
    // to the folder. Returns the status (-1 when it did not exit).
    int attempt(const std::string &bytes, const std::vector<std::string> &edit,
                const std::string &what) {
        SCOPED_TRACE(what);
        const std::string folder = dir_.file("case" + std::to_string(++cases_));
        std::filesystem::create_directories(folder);
        const std::string path = folder + "/input";
        write_file(path, bytes);
        std::vector<std::string> argv = {edit_tool()};
        argv.insert(argv.end(), edit.begin(), edit.end());
        argv.push_back(path);
        std::string command;
        for (const std::string &arg : argv)
            command += (arg.size() > 40 ? arg.substr(0, 40) + "..." : arg) + " ";
        const RunResult r = run(argv, false, 30);
        EXPECT_FALSE(r.timed_out) << command;
        EXPECT_TRUE(r.exited) << command << "\n" << r.err;
        if (!r.exited) return -1;
        EXPECT_TRUE(r.status == 0 || r.status == 1) << command << ": status " << r.status;
        if (r.status != 0) {
            EXPECT_FALSE(r.err.empty()) << command << ": status 1 without a message";
            EXPECT_NE(r.err.find(path), std::string::npos)
                << command << ": the message does not name the file: " << r.err;
            EXPECT_TRUE(read_file(path) == bytes) << command << ": refused, but changed the file";
        }
        const std::vector<std::string> left = folder_contents(folder);
        EXPECT_EQ(left, std::vector<std::string>{"input"}) << command << ": left files behind";
        last_output_ = path;
        return r.status;
    }

    // Damaged beyond use: every edit must refuse it; printing must not crash.
    void refused(const std::string &bytes, const std::string &what) {
        for (const auto &edit : edits)
            EXPECT_EQ(attempt(bytes, edit, what), 1) << what << ": accepted " << edit[0];
        for (const char *print : prints)
            attempt(bytes, {print}, what);
    }

    std::mt19937_64 random_{20261208};
    std::uint64_t pick(std::uint64_t below) { return random_() % below; }

    TempDir dir_;
    int cases_ = 0;
    std::string last_output_;
};

TEST_F(EditHostile, CutShort) {
    for (const char *base : base_files) {
        const ElfBytes elf(read_file(corpus_file(base)));
        const std::uint64_t size = elf.bytes.size();
        // Inside the file header, the program headers, the dynamic section, and the last byte.
        const std::uint64_t dynamic = elf.segment(elf.find(pt_dynamic), ElfBytes::offset);
        for (const std::uint64_t cut :
             {std::uint64_t{10}, std::uint64_t{elf.wide ? 60u : 48u}, elf.get(elf.phoff()) + 40,
              dynamic + 20, size / 2, size - 1})
            refused(elf.bytes.substr(0, cut), std::string(base) + " cut at " + std::to_string(cut));
    }
}

TEST_F(EditHostile, SegmentsOverlapOrLieOutside) {
    for (const char *base : base_files) {
        const ElfBytes elf(read_file(corpus_file(base)));
        const unsigned first = elf.find(pt_load), second = elf.find(pt_load, first + 1);

        // The second loadable segment mapped over the first.
        ElfBytes overlap = elf;
        overlap.set_segment(second, ElfBytes::vaddr, elf.segment(first, ElfBytes::vaddr));
        refused(overlap.bytes, std::string(base) + ": loadable segments overlap");

        // A loadable segment whose bytes run past the end of the file.
        ElfBytes past = elf;
        past.set_segment(second, ElfBytes::filesz, elf.bytes.size());
        refused(past.bytes, std::string(base) + ": segment past the end");

        // The dynamic segment outside the file, and its size absurd.
        const unsigned dynamic = elf.find(pt_dynamic);
        ElfBytes outside = elf;
        outside.set_segment(dynamic, ElfBytes::offset, elf.bytes.size() + 0x1000);
        refused(outside.bytes, std::string(base) + ": dynamic segment outside the file");
        ElfBytes huge = elf;
        huge.set_segment(dynamic, ElfBytes::filesz, elf.wide ? 0x7fffffffffffff00 : 0xffffff00);
        refused(huge.bytes, std::string(base) + ": dynamic segment of absurd size");

        // The interpreter's path running past the end of the file (executables only).
        for (unsigned i = 0; i < elf.segments(); ++i) {
            if (elf.segment(i, ElfBytes::type) != pt_interp) continue;
            ElfBytes interp = elf;
            interp.set_segment(i, ElfBytes::offset, elf.bytes.size() - 2);
            refused(interp.bytes, std::string(base) + ": interpreter outside the file");
        }
    }
}

TEST_F(EditHostile, HeaderTablesOutsideOrCountsAbsurd) {
    for (const char *base : base_files) {
        const ElfBytes elf(read_file(corpus_file(base)));
        ElfBytes late = elf;
        late.set(late.phoff(), elf.bytes.size() - 10);
        refused(late.bytes, std::string(base) + ": program headers run past the end");
        ElfBytes far = elf;
        far.set(far.phoff(), elf.wide ? 0xfffffffffffffff0 : 0xfffffff0);
        refused(far.bytes, std::string(base) + ": program headers at an absurd offset");
        ElfBytes many = elf;
        many.set(many.phnum(), 0xfffe);
        refused(many.bytes, std::string(base) + ": 65534 program headers");
        ElfBytes entry_size = elf;
        entry_size.set(entry_size.phentsize(), 7);
        refused(entry_size.bytes, std::string(base) + ": program header entry size 7");

        // The section header table: too many entries, entries of the wrong size, a name table
        // past its end.
        ElfBytes sections = elf;
        sections.set(sections.shnum(), 0xffff);
        refused(sections.bytes, std::string(base) + ": 65535 section headers");
        ElfBytes section_size = elf;
        section_size.set(section_size.shentsize(), 7);
        refused(section_size.bytes, std::string(base) + ": section header entry size 7");
        ElfBytes names = elf;
        names.set(names.shstrndx(), elf.get(elf.shnum()) + 5);
        refused(names.bytes, std::string(base) + ": section name table past the table's end");
    }
}

TEST_F(EditHostile, DynamicEntriesPointOutside) {
    for (const char *base : base_files) {
        const ElfBytes elf(read_file(corpus_file(base)));
        // The string table at an address no segment maps, or running past its segment.
        ElfBytes unmapped = elf;
        unmapped.set(unmapped.value(elf.entry(dt_strtab)), elf.wide ? 0x7fff00000000 : 0xfff00000);
        refused(unmapped.bytes, std::string(base) + ": string table at an unmapped address");
        ElfBytes long_table = elf;
        long_table.set(long_table.value(elf.entry(dt_strsz)),
                       elf.wide ? 0x7fff0000000 : 0x7fff0000);
        refused(long_table.bytes, std::string(base) + ": string table larger than the file");

        // A needed library's name at an offset past the end of the string table.
        ElfBytes name = elf;
        name.set(name.value(elf.entry(dt_needed)), 0x7ffffff0);
        refused(name.bytes, std::string(base) + ": needed name outside the string table");
        ElfBytes just_past = elf;
        just_past.set(just_past.value(elf.entry(dt_needed)),
                      elf.get(elf.value(elf.entry(dt_strsz))));
        refused(just_past.bytes, std::string(base) + ": needed name just past the string table");

        // No terminating entry: the table runs into whatever follows it.
        ElfBytes endless = elf;
        const unsigned count = elf.entries();
        for (unsigned i = 0; i < count; ++i) {
            if (elf.tag(i) != dt_null) continue;
            set_field(endless.bytes, elf.dynamic_entry(i), elf.wide ? 8 : 4, elf.big, 0x6fffff00);
        }
        const unsigned dynamic = elf.find(pt_dynamic);
        endless.set_segment(dynamic, ElfBytes::filesz, count * (elf.wide ? 16u : 8u));
        for (const auto &edit : edits)
            attempt(endless.bytes, edit, std::string(base) + ": no DT_NULL");
    }
}

// Random bytes changed in the file header, the program headers and the dynamic section. The
// editor may accept such a file, but then what it wrote must read back cleanly.
TEST_F(EditHostile, BytesChanged) {
    for (const char *base : base_files) {
        const ElfBytes elf(read_file(corpus_file(base)));
        const std::uint64_t phdrs = elf.get(elf.phoff());
        const std::uint64_t phdr_bytes = elf.segments() * (elf.wide ? 56u : 32u);
        const std::uint64_t dynamic = elf.segment(elf.find(pt_dynamic), ElfBytes::offset);
        const std::uint64_t dynamic_bytes = elf.segment(elf.find(pt_dynamic), ElfBytes::filesz);
        for (int round = 0; round < 12; ++round) {
            ElfBytes copy = elf;
            const int changes = 1 + static_cast<int>(pick(6));
            for (int k = 0; k < changes; ++k) {
                const std::uint64_t region = pick(3);
                const std::uint64_t at = region == 0   ? 16 + pick(elf.wide ? 48 : 36)
                                         : region == 1 ? phdrs + pick(phdr_bytes)
                                                       : dynamic + pick(dynamic_bytes);
                copy.bytes.at(at) = static_cast<char>(pick(256));
            }
            const auto &edit = edits[static_cast<std::size_t>(round) % edits.size()];
            const std::string what = std::string(base) + " round " + std::to_string(round);
            if (attempt(copy.bytes, edit, what) != 0) continue;
            // Accepted: readelf finds nothing wrong in the result that it did not find before.
            const std::string damaged = dir_.file("damaged");
            write_file(damaged, copy.bytes);
            const RunResult before = run({"/usr/bin/readelf", "-ldW", damaged}, false);
            const RunResult after = run({"/usr/bin/readelf", "-ldW", last_output_}, false);
            if (before.err.empty()) {
                EXPECT_TRUE(after.err.empty()) << what << " " << edit[0] << ": " << after.err;
            }
        }
    }
}

} // namespace
