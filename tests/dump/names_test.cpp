// quenza-dump's machine knowledge against binutils readelf, on the C libraries of many
// architectures and on made-up files that hold every processor-specific value: relocation type
// names (and the generator that writes their tables from <elf.h>), section, segment, dynamic-tag
// and symbol types, dynamic values, the e_flags words and the section-flag legend.
#include "dump_test_util.hpp"

#include <elf.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

using nlohmann::json;

namespace {

// The cross C libraries of scripts/test.sh, and this machine's own.
const char *const triplets[] = {
    "mips-linux-gnu",    "mips64-linux-gnuabi64", "mips64el-linux-gnuabi64", "sparc64-linux-gnu",
    "hppa-linux-gnu",    "m68k-linux-gnu",        "powerpc64-linux-gnu",     "arm-linux-gnueabihf",
    "aarch64-linux-gnu", "riscv64-linux-gnu",     "i686-linux-gnu",          "powerpc-linux-gnu",
    "s390x-linux-gnu",   "x86_64-linux-gnu",
};

// An architecture's C library (libc.so.6), dynamic loader, crt1.o and crti.o, and the members of
// libc_nonshared.a, extracted into dir.
std::vector<std::string> library_files(const std::string &triplet, const TempDir &dir) {
    namespace fs = std::filesystem;
    const std::string root =
        triplet == "x86_64-linux-gnu" ? "/usr/lib/x86_64-linux-gnu" : "/usr/" + triplet + "/lib";
    std::vector<std::string> files;
    for (const char *name : {"libc.so.6", "crt1.o", "crti.o"})
        if (fs::exists(root + "/" + name)) files.push_back(root + "/" + name);
    // The dynamic loader: ld*.so.N in lib, or in lib64 beside it.
    for (const std::string &lib : {root, root + "64"}) {
        std::error_code error;
        for (const auto &entry : fs::directory_iterator(lib, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("ld", 0) == 0 && name.find(".so.") != std::string::npos &&
                entry.is_regular_file() && !entry.is_symlink()) {
                files.push_back(entry.path().string());
                break;
            }
        }
        if (files.size() > 3) break;
    }
    const std::string archive = root + "/libc_nonshared.a";
    const std::string members = dir.file(triplet);
    fs::create_directories(members);
    if (run({"/usr/bin/ar", "--output=" + members, "x", archive}).status == 0)
        for (const auto &entry : fs::directory_iterator(members))
            files.push_back(entry.path().string());
    return files;
}

std::string readelf(const std::string &options, const std::string &file) {
    const RunResult result = run({"/usr/bin/readelf", options, "-W", file});
    return result.out;
}

std::string dump(const std::vector<std::string> &options, const std::string &file) {
    std::vector<std::string> argv{dump_tool()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(file);
    const RunResult result = run(argv);
    EXPECT_TRUE(result.exited && result.status == 0) << file << ": " << result.err;
    EXPECT_EQ(result.err, "") << file;
    return result.out;
}

std::vector<std::string> lines(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::string word(const std::string &line, std::size_t n) {
    std::istringstream in(line);
    std::string w;
    for (std::size_t i = 0; i <= n; ++i)
        if (!(in >> w)) return "";
    return w;
}

// The relocation type names of a relocation listing, row by row: the Type column, and the
// Type2/Type3 lines of MIPS64.
std::vector<std::string> relocation_types(const std::string &text) {
    static const std::regex row("^[0-9a-f]{8,16}  [0-9a-f]{8,16} .*");
    static const std::regex more("^ +Type[23]: .*");
    std::vector<std::string> names;
    for (const std::string &line : lines(text)) {
        if (std::regex_match(line, row)) names.push_back(word(line, 2));
        if (std::regex_match(line, more)) names.push_back(word(line, 1));
    }
    return names;
}

TEST(MachineNames, RelocationTypesOfEveryArchitecture) {
    TempDir dir;
    for (const char *triplet : triplets) {
        SCOPED_TRACE(triplet);
        const std::vector<std::string> files = library_files(triplet, dir);
        ASSERT_GE(files.size(), 4U);
        for (const std::string &file : files) {
            SCOPED_TRACE(file);
            // MIPS64 keeps three types in each r_info; until the dump shows them apart there is
            // nothing to compare row by row.
            if (std::string(triplet).rfind("mips64", 0) == 0 &&
                run({dump_tool(), "-r", file}).out.find("Type2:") == std::string::npos)
                continue;
            EXPECT_EQ(relocation_types(dump({"-r"}, file)), relocation_types(readelf("-r", file)));
        }
    }
}

// The lines of a listing that the named view shows: the Flags line of -h, the section table
// with its legend (-S), the program header rows (-l), the dynamic rows (-d), the symbol rows (-s).
std::vector<std::string> view(const std::string &option, const std::string &text) {
    static const std::regex symbol_row("^ +[0-9]+: .*");
    std::vector<std::string> picked;
    bool inside = false;
    for (const std::string &line : lines(text)) {
        if (option == "-h") {
            if (line.find("  Flags:") == 0) picked.push_back(line);
        } else if (option == "-S") {
            if (line == "Section Headers:") inside = true;
            if (inside) picked.push_back(line);
            if (line.find("  ") != 0 && line.find("Key to Flags") != 0 && !picked.empty() &&
                line != "Section Headers:")
                inside = false;
        } else if (option == "-l") {
            if (line == "Program Headers:") inside = true;
            if (line.empty()) inside = false;
            if (inside) picked.push_back(line);
        } else if (option == "-d") {
            if (line.find(" 0x") == 0) picked.push_back(line);
        } else if (std::regex_match(line, symbol_row)) {
            picked.push_back(line);
        }
    }
    return picked;
}

// Line by line, so that a failure names the lines that differ.
void expect_same_lines(const std::vector<std::string> &ours,
                       const std::vector<std::string> &theirs) {
    EXPECT_EQ(ours.size(), theirs.size());
    for (std::size_t i = 0; i < ours.size() && i < theirs.size(); ++i)
        EXPECT_EQ(ours[i], theirs[i]) << "line " << i;
}

// What readelf prints in parentheses or as the first word of a column, for the JSON checks.
std::string between(const std::string &line, char open, char close) {
    const auto start = line.find(open);
    if (start == std::string::npos) return "";
    return line.substr(start + 1, line.find(close, start + 1) - start - 1);
}

// The output of one run over several files, cut at its "File: NAME" lines.
std::map<std::string, std::string> by_file(const std::string &text) {
    std::map<std::string, std::string> parts;
    std::string *part = nullptr;
    for (const std::string &line : lines(text)) {
        if (line.rfind("File: ", 0) == 0) {
            part = &parts[line.substr(6)];
        } else if (part != nullptr) {
            *part += line + "\n";
        }
    }
    return parts;
}

// readelf's output for each file, with one option; and the dump's, which must be clean.
std::map<std::string, std::string> readelf_all(const std::string &option,
                                               const std::vector<std::string> &files) {
    std::vector<std::string> argv{"/usr/bin/readelf", "-W", option};
    argv.insert(argv.end(), files.begin(), files.end());
    return by_file(run(argv).out);
}
std::string dump_all(const std::vector<std::string> &options,
                     const std::vector<std::string> &files) {
    std::vector<std::string> argv{dump_tool()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), files.begin(), files.end());
    const RunResult result = run(argv, true, 120);
    EXPECT_TRUE(result.exited && result.status == 0);
    EXPECT_EQ(result.err, "");
    return result.out;
}

// Each view of each file as text, and the names in the JSON, against readelf. Each tool runs
// once per view on all the files.
void expect_views_agree(const std::vector<std::string> &files) {
    std::map<std::string, std::map<std::string, std::string>> theirs_by_option;
    for (const char *option : {"-h", "-S", "-l", "-d", "-s"}) {
        SCOPED_TRACE(option);
        auto &theirs = theirs_by_option[option];
        theirs = readelf_all(option, files);
        const std::map<std::string, std::string> ours = by_file(dump_all({option}, files));
        for (const std::string &file : files) {
            SCOPED_TRACE(file);
            ASSERT_TRUE(theirs.count(file) && ours.count(file));
            expect_same_lines(view(option, ours.at(file)), view(option, theirs.at(file)));
        }
    }
    const json all = json::parse(dump_all({"--json", "-h", "-S", "-l", "-d", "-s"}, files));
    ASSERT_EQ(all.size(), files.size());
    for (const json &ours : all) {
        const std::string file = ours.at("file");
        SCOPED_TRACE(file);
        const auto readelf_view = [&](const std::string &option) {
            return view(option, theirs_by_option.at(option).at(file));
        };

        const std::vector<std::string> flags = readelf_view("-h");
        ASSERT_EQ(flags.size(), 1U);
        const auto comma = flags[0].find(", ");
        const json &description = ours.at("header").at("flags_description");
        if (comma == std::string::npos) {
            EXPECT_TRUE(description.is_null());
        } else {
            EXPECT_EQ(description, flags[0].substr(comma + 2));
        }

        std::vector<std::string> theirs, mine;
        for (const std::string &line : readelf_view("-S"))
            if (line.find("  [") == 0 && line.find("[Nr]") == std::string::npos) {
                // "  [ 1] NAME TYPE ...", where NAME may be empty.
                const std::string rest = line.substr(line.find(']') + 2);
                theirs.push_back(word(rest, rest[0] == ' ' ? 0 : 1));
            }
        for (const json &section : ours.at("sections"))
            mine.push_back(section.at("type_name").is_null() ? "?" : section.at("type_name"));
        EXPECT_EQ(mine, theirs) << "section types";

        theirs.clear();
        mine.clear();
        for (const std::string &line : readelf_view("-l"))
            if (line.find("  ") == 0 && line[2] != ' ' && line.find("Type") != 2)
                theirs.push_back(word(line, 0));
        for (const json &segment : ours.at("segments"))
            mine.push_back(segment.at("type_name").is_null()
                               ? "?"
                               : segment.at("type_name").get<std::string>().substr(0, 14));
        EXPECT_EQ(mine, theirs) << "segment types";

        theirs.clear();
        mine.clear();
        for (const std::string &line : readelf_view("-d"))
            theirs.push_back(between(line, '(', ')'));
        if (ours.at("dynamic").is_object())
            for (const json &entry : ours.at("dynamic").at("entries"))
                mine.push_back(entry.at("tag_name").is_null() ? "?" : entry.at("tag_name"));
        for (std::size_t i = 0; i < theirs.size() && i < mine.size(); ++i)
            if (mine[i] == "?") mine[i] = theirs[i]; // unnamed: its text row is checked above
        EXPECT_EQ(mine, theirs) << "dynamic tags";

        theirs.clear();
        mine.clear();
        for (const std::string &line : readelf_view("-s"))
            if (line.find('<') == std::string::npos) theirs.push_back(word(line, 3));
        for (const json &table : ours.at("symbol_tables"))
            for (const json &symbol : table.at("symbols"))
                if (!symbol.at("type_name").is_null()) mine.push_back(symbol.at("type_name"));
        EXPECT_EQ(mine, theirs) << "symbol types";
    }
}

TEST(MachineNames, EveryViewOfEveryArchitecture) {
    TempDir dir;
    for (const char *triplet : triplets) {
        SCOPED_TRACE(triplet);
        expect_views_agree(library_files(triplet, dir));
    }
}

// A 64-bit little-endian shared object of the given machine and OS/ABI that holds one section
// of each given type, one segment of each given type, a dynamic table with each given tag (value
// 0x1ff) and a symbol of each type 0-15; nothing else is in it.
std::string processor_file(unsigned machine, unsigned osabi, std::uint32_t flags,
                           const std::vector<std::uint32_t> &section_types,
                           const std::vector<std::uint32_t> &segment_types,
                           const std::vector<std::uint32_t> &tags) {
    const std::string names("\0.s\0", 4);
    const std::size_t segments = segment_types.size() + 1; // and PT_DYNAMIC
    const std::size_t names_at = 64 + segments * 56;
    const std::size_t dynamic_at = names_at + 8, dynamic_size = (tags.size() + 1) * 16;
    const std::size_t symbols_at = dynamic_at + dynamic_size, symbols_size = 17 * 24;
    const std::size_t strings_at = symbols_at + symbols_size;
    const std::size_t shoff = strings_at + 8;
    const std::size_t sections = section_types.size() + 5;
    std::string bytes(shoff + sections * 64, '\0');
    bytes.replace(0, 4,
                  "\x7f"
                  "ELF");
    bytes[4] = 2;
    bytes[5] = 1;
    bytes[6] = 1;
    bytes[7] = static_cast<char>(osabi);
    set_field(bytes, 16, 2, false, 3); // ET_DYN
    set_field(bytes, 18, 2, false, machine);
    set_field(bytes, 20, 4, false, 1);
    set_field(bytes, 32, 8, false, 64);
    set_field(bytes, 40, 8, false, shoff);
    set_field(bytes, 48, 4, false, flags);
    set_field(bytes, 52, 2, false, 64);
    set_field(bytes, 54, 2, false, 56);
    set_field(bytes, 56, 2, false, segments);
    set_field(bytes, 58, 2, false, 64);
    set_field(bytes, 60, 2, false, sections);
    set_field(bytes, 62, 2, false, 1);
    for (std::size_t i = 0; i < segments; ++i) {
        const std::size_t at = 64 + i * 56;
        const bool dynamic = i == segment_types.size();
        set_field(bytes, at, 4, false, dynamic ? PT_DYNAMIC : segment_types[i]);
        set_field(bytes, at + 4, 4, false, 6);
        set_field(bytes, at + 48, 8, false, 8);
        if (!dynamic) continue;
        set_field(bytes, at + 8, 8, false, dynamic_at);
        set_field(bytes, at + 32, 8, false, dynamic_size);
        set_field(bytes, at + 40, 8, false, dynamic_size);
    }
    bytes.replace(names_at, names.size(), names);
    for (std::size_t i = 0; i < tags.size(); ++i) {
        set_field(bytes, dynamic_at + i * 16, 8, false, tags[i]);
        set_field(bytes, dynamic_at + i * 16 + 8, 8, false, 0x1ff);
    }
    for (unsigned type = 0; type < 16; ++type) {
        const std::size_t at = symbols_at + (type + 1) * 24;
        bytes[at + 4] = static_cast<char>(STB_GLOBAL << 4 | type);
        set_field(bytes, at + 6, 2, false, SHN_ABS);
    }
    const auto section = [&](std::size_t index, std::uint32_t type, std::uint64_t offset,
                             std::uint64_t size, std::uint32_t link, std::uint32_t info,
                             std::uint64_t entsize) {
        const std::size_t at = shoff + index * 64;
        set_field(bytes, at, 4, false, index == 0 ? 0 : 1);
        set_field(bytes, at + 4, 4, false, type);
        set_field(bytes, at + 24, 8, false, offset);
        set_field(bytes, at + 32, 8, false, size);
        set_field(bytes, at + 40, 4, false, link);
        set_field(bytes, at + 44, 4, false, info);
        set_field(bytes, at + 48, 8, false, 8);
        set_field(bytes, at + 56, 8, false, entsize);
    };
    const std::size_t strings = sections - 1;
    section(1, SHT_STRTAB, names_at, names.size(), 0, 0, 0);
    section(2, SHT_DYNAMIC, dynamic_at, dynamic_size, static_cast<std::uint32_t>(strings), 0, 16);
    section(3, SHT_SYMTAB, symbols_at, symbols_size, static_cast<std::uint32_t>(strings), 1, 24);
    for (std::size_t i = 0; i < section_types.size(); ++i)
        section(4 + i, section_types[i], names_at, 0, 0, 0, 0);
    section(strings, SHT_STRTAB, strings_at, 1, 0, 0, 0);
    return bytes;
}

std::vector<std::uint32_t> range(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint32_t> values;
    for (std::uint32_t i = 0; i < count; ++i)
        values.push_back(first + i);
    return values;
}

// Runs readelf and the dump once on all the files, with one option, and compares what that
// option's view shows of each file.
void expect_all_agree(const std::vector<std::string> &files, const std::string &option) {
    SCOPED_TRACE(option);
    std::vector<std::string> argv{"/usr/bin/readelf", "-W", option};
    argv.insert(argv.end(), files.begin(), files.end());
    const std::string theirs = run(argv).out;
    argv = {dump_tool(), option};
    argv.insert(argv.end(), files.begin(), files.end());
    const RunResult ours = run(argv);
    EXPECT_EQ(ours.err, "");
    expect_same_lines(view(option, ours.out), view(option, theirs));
}

// Every processor-specific section, segment, dynamic-tag and symbol type readelf knows for the
// machines of the C libraries here (and a few more), with both OS/ABIs that change the names and
// the legend: the dump shows each as readelf does.
TEST(MachineNames, ProcessorSpecificValuesOfEachMachine) {
    TempDir dir;
    std::vector<std::uint32_t> sections = range(SHT_LOPROC, 0x30);
    for (std::uint32_t type : {0x7ffffffdU, 0x7fffffffU, 0x6ffffff6U, 0x80000000U, 0x6000000dU})
        sections.push_back(type);
    std::vector<std::uint32_t> segments = range(PT_LOPROC, 4);
    for (std::uint32_t type : {0x7fffffffU, 0x6474e554U, 0x60000000U})
        segments.push_back(type);
    std::vector<std::uint32_t> tags = range(DT_LOPROC, 0x38);
    for (std::uint32_t tag : {0x60000014U, 0x60000016U, 0x6ffff000U})
        tags.push_back(tag);
    std::vector<std::string> files;
    for (unsigned machine : {EM_NONE, EM_MIPS, EM_MIPS_RS3_LE, EM_PARISC, EM_ARM, EM_AARCH64,
                             EM_RISCV, EM_X86_64, EM_386, EM_IA_64, EM_SPARCV9, EM_SPARC, EM_PPC,
                             EM_PPC64, EM_S390, EM_68K, EM_ALPHA, EM_CSKY, EM_SH})
        for (unsigned osabi : {ELFOSABI_SYSV, ELFOSABI_GNU}) {
            files.push_back(dir.file(std::to_string(machine) + "-" + std::to_string(osabi)));
            write_file(files.back(), processor_file(machine, osabi, 0, sections, segments, tags));
        }
    for (const char *option : {"-S", "-l", "-d", "-s"})
        expect_all_agree(files, option);
}

// The Flags line for each bit alone and for values of each field, on every machine that has
// words for them.
TEST(MachineNames, FlagWordsOfEachMachine) {
    TempDir dir;
    std::vector<std::uint32_t> values;
    for (int bit = 0; bit < 32; ++bit)
        values.push_back(std::uint32_t{1} << bit);
    for (std::uint32_t cpu = 0x80; cpu < 0xa8; ++cpu)
        values.push_back(cpu << 16 | 0x1000); // MIPS CPUs
    for (std::uint32_t isa = 0; isa < 16; ++isa)
        values.push_back(isa << 28 | 0x0e00f6ff); // MIPS instruction sets, with every other bit
    for (std::uint32_t version = 0; version < 7; ++version)
        for (std::uint32_t bits : {0x0U, 0x21U, 0x600U, 0xc00ffeU})
            values.push_back(version << 24 | bits); // ARM EABI versions
    for (std::uint32_t low = 0; low < 0x80; ++low)
        values.push_back(low | 0x20b0000); // m68k ColdFire, PA-RISC, SPARC, RISC-V fields
    for (std::uint32_t value : {0x20bU, 0x210U, 0x214U, 0x810000U, 0x1000000U, 0x2000000U,
                                0x3000000U, 0x5000400U, 0x70001007U, 0x80000007U, 0x202U})
        values.push_back(value);
    std::vector<std::string> files;
    for (unsigned machine : {EM_ARM, EM_MIPS, EM_PARISC, EM_SPARCV9, EM_SPARC32PLUS, EM_PPC,
                             EM_PPC64, EM_RISCV, EM_68K, EM_S390, EM_AARCH64, EM_X86_64})
        for (std::uint32_t flags : values) {
            files.push_back(dir.file(std::to_string(machine) + "-" + std::to_string(flags)));
            write_file(files.back(), processor_file(machine, ELFOSABI_SYSV, flags, {}, {}, {}));
        }
    expect_all_agree(files, "-h");
}

// <elf.h>'s EM_ values.
std::map<std::string, unsigned> machine_numbers() {
    std::map<std::string, unsigned> numbers;
    static const std::regex define("#define\\s+(EM_\\w+)\\s+(0x[0-9a-fA-F]+|[0-9]+)\\b.*");
    std::smatch match;
    for (const std::string &line : lines(read_file(QUENZA_ELF_H)))
        if (std::regex_match(line, match, define))
            numbers[match[1]] = static_cast<unsigned>(std::stoul(match[2], nullptr, 0));
    return numbers;
}

// A relocatable file of the given machine with one relocation of each type 0 .. count - 1 and
// no symbols: little-endian, 64-bit (32-bit when wide is false).
std::string relocation_file(unsigned machine, bool wide, unsigned count) {
    const std::size_t header = wide ? 64 : 52, record = wide ? 24 : 12, entry = wide ? 64 : 40;
    const std::string names("\0.rela\0.shstrtab\0", 17);
    const std::size_t table = header, strings = table + count * record;
    const std::size_t shoff = (strings + names.size() + 7) & ~std::size_t{7};
    std::string bytes(shoff + 3 * entry, '\0');
    bytes.replace(0, 4,
                  "\x7f"
                  "ELF");
    bytes[4] = wide ? 2 : 1;
    bytes[5] = 1; // little-endian
    bytes[6] = 1;
    set_field(bytes, 16, 2, false, 1); // ET_REL
    set_field(bytes, 18, 2, false, machine);
    set_field(bytes, 20, 4, false, 1);
    set_field(bytes, wide ? 40 : 32, wide ? 8 : 4, false, shoff);
    const std::size_t after_flags = wide ? 52 : 40;
    set_field(bytes, after_flags, 2, false, header);
    set_field(bytes, after_flags + 6, 2, false, entry);
    set_field(bytes, after_flags + 8, 2, false, 3);
    set_field(bytes, after_flags + 10, 2, false, 2);
    for (unsigned type = 0; type < count; ++type) {
        const std::size_t at = table + type * record;
        const int width = wide ? 8 : 4;
        set_field(bytes, at, width, false, type * 4ULL);
        set_field(bytes, at + static_cast<std::size_t>(width), width, false, type);
    }
    bytes.replace(strings, names.size(), names);
    const auto section = [&](std::size_t index, std::uint64_t name, std::uint64_t type,
                             std::uint64_t offset, std::uint64_t size, std::uint64_t entsize) {
        const std::size_t at = shoff + index * entry;
        const int width = wide ? 8 : 4;
        set_field(bytes, at, 4, false, name);
        set_field(bytes, at + 4, 4, false, type);
        set_field(bytes, at + (wide ? 24 : 16), width, false, offset);
        set_field(bytes, at + (wide ? 32 : 20), width, false, size);
        set_field(bytes, at + (wide ? 56 : 36), width, false, entsize);
    };
    section(1, 1, 4, table, count * record, record); // .rela, SHT_RELA
    section(2, 7, 3, strings, names.size(), 0);      // .shstrtab, SHT_STRTAB
    return bytes;
}

// Generates the tables from the given <elf.h> into dir; returns the C++ text.
std::string generate(const TempDir &dir, const std::string &elf_h, const std::string &names) {
    const RunResult result = run(
        {"/bin/sh", QUENZA_RELOCATION_GENERATOR, elf_h, names, dir.file("relocation_names.inc")});
    EXPECT_TRUE(result.exited && result.status == 0) << result.err;
    return read_file(dir.file("relocation_names.inc"));
}

// Every type of every machine the tables cover: where readelf and the dump both name a type,
// the names are the same. (Each may know types the other does not: readelf knows some that
// <elf.h> lacks, and <elf.h> some that readelf dropped.)
TEST(MachineNames, WholeRelocationTablesAgreeWithReadelf) {
    TempDir dir;
    const std::string generated = generate(dir, QUENZA_ELF_H, QUENZA_RELOCATION_NAMES);
    const std::map<std::string, unsigned> machines = machine_numbers();
    static const std::regex row("\\{(EM_\\w+), relocations_\\w+,");
    std::set<std::string> seen;
    for (std::sregex_iterator it(generated.begin(), generated.end(), row), end; it != end; ++it) {
        const std::string machine = (*it)[1];
        SCOPED_TRACE(machine);
        ASSERT_TRUE(machines.count(machine));
        // MIPS64 packs three types into r_info, and SPARC's upper bits are an addend: both are
        // shown from 32-bit files, which have 8-bit types.
        const bool wide = machine != "EM_MIPS" && machine != "EM_MIPS_RS3_LE" &&
                          machine.rfind("EM_SPARC", 0) != 0;
        const unsigned count = wide ? 1100 : 256;
        const std::string file = dir.file(machine + ".o");
        write_file(file, relocation_file(machines.at(machine), wide, count));
        const std::vector<std::string> theirs = relocation_types(readelf("-r", file));
        const json ours = json::parse(dump({"--json", "-r"}, file));
        const json &rows = ours.at(0).at("relocation_sections").at(0).at("relocations");
        ASSERT_EQ(theirs.size(), count);
        ASSERT_EQ(rows.size(), count);
        int both = 0;
        for (unsigned type = 0; type < count; ++type) {
            const json &name = rows[type].at("type_name");
            if (theirs[type].rfind("R_", 0) != 0 || name.is_null()) continue;
            EXPECT_EQ(name.get<std::string>(), theirs[type]) << "type " << type;
            ++both;
        }
        EXPECT_GT(both, 0);
        seen.insert(machine);
    }
    for (const char *machine : {"EM_386", "EM_X86_64", "EM_MIPS", "EM_SPARCV9", "EM_PARISC",
                                "EM_68K", "EM_PPC64", "EM_ARM", "EM_AARCH64", "EM_RISCV", "EM_S390",
                                "EM_ALPHA", "EM_SH", "EM_IA_64", "EM_LOONGARCH"})
        EXPECT_TRUE(seen.count(machine)) << machine;
}

// The generator on a made-up header: values in hex and as other macros' names, the first of
// several names for a value winning, counts and markers left out, a name given in
// relocation-names.txt taking precedence, machines this header lacks left out, and the machine
// rows sorted by number.
TEST(MachineNames, GeneratorReadsTheHeaderAsDocumented) {
    TempDir dir;
    write_file(dir.file("elf.h"), "#define EM_FOO\t7\t/* Foo */\n"
                                  "#define EM_BAR\t0x20\n"
                                  "#define R_FOO_NONE\t0\n"
                                  "#define R_FOO_A\t\t0x1\t/* first */\n"
                                  "#define R_FOO_B\t\t1\n"
                                  "#define R_FOO_C\t\tR_FOO_A\n"
                                  "#define R_FOO_OLD\t5\n"
                                  "#define R_FOO_NUM\t6\n"
                                  "#define R_FOO_X(a)\t((a) + 1)\n"
                                  "#define R_BAR_LORESERVE 9\n"
                                  "#define R_BAR_32\t2\n");
    write_file(dir.file("names.txt"), "# comment\n\n"
                                      "relocations R_BAR : EM_BAR\n"
                                      "relocations R_FOO R_FO : EM_FOO EM_MISSING\n"
                                      "name R_FOO_NEW 5\n"
                                      "name R_FO_EXTRA 3\n");
    const std::string text = generate(dir, dir.file("elf.h"), dir.file("names.txt"));
    EXPECT_NE(text.find("constexpr TypeName relocations_foo[] = {\n"
                        "    {0, \"R_FOO_NONE\"},\n"
                        "    {1, \"R_FOO_A\"},\n"
                        "    {3, \"R_FO_EXTRA\"},\n"
                        "    {5, \"R_FOO_NEW\"},\n"
                        "};\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("constexpr TypeName relocations_bar[] = {\n"
                        "    {2, \"R_BAR_32\"},\n"
                        "};\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("machine_relocations[] = {\n"
                        "    {EM_FOO, relocations_foo, std::size(relocations_foo)},\n"
                        "    {EM_BAR, relocations_bar, std::size(relocations_bar)},\n"
                        "};\n"),
              std::string::npos)
        << text;

    // A name whose prefix no machine has is refused.
    write_file(dir.file("bad.txt"), "relocations R_FOO : EM_FOO\nname R_QUX_A 1\n");
    const RunResult bad = run({"/bin/sh", QUENZA_RELOCATION_GENERATOR, dir.file("elf.h"),
                               dir.file("bad.txt"), dir.file("bad.inc")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("R_QUX_A"), std::string::npos) << bad.err;
}

// Every relocation name prefix of this <elf.h> belongs to a machine, so a machine added to it
// is noticed; and the real tables hold what readelf calls the types of every architecture here.
TEST(MachineNames, EveryRelocationPrefixOfElfHHasAMachine) {
    std::vector<std::string> prefixes;
    for (const std::string &line : lines(read_file(QUENZA_RELOCATION_NAMES)))
        if (word(line, 0) == "relocations")
            for (std::size_t i = 1; word(line, i) != ":" && !word(line, i).empty(); ++i)
                prefixes.push_back(word(line, i) + "_");
    static const std::regex define("#define\\s+(R_[A-Z0-9_]+)\\s+\\S+.*");
    std::smatch match;
    int checked = 0;
    for (const std::string &line : lines(read_file(QUENZA_ELF_H))) {
        if (!std::regex_match(line, match, define)) continue;
        const std::string name = match[1];
        bool found = false;
        for (const std::string &prefix : prefixes)
            found |= name.rfind(prefix, 0) == 0;
        EXPECT_TRUE(found) << name;
        ++checked;
    }
    EXPECT_GT(checked, 1000);

    TempDir dir;
    const std::string text = generate(dir, QUENZA_ELF_H, QUENZA_RELOCATION_NAMES);
    for (const char *entry :
         {"{4, \"R_MIPS_26\"}", "{33, \"R_SPARC_OLO10\"}", "{42, \"R_SPARC_UNUSED_42\"}",
          "{7, \"R_386_JUMP_SLOT\"}", "{10, \"R_ARM_THM_CALL\"}",
          "{1030, \"R_AARCH64_TLS_TPREL64\"}", "{21, \"R_68K_JMP_SLOT\"}",
          "{153, \"R_PARISC_TPREL32\"}", "{57, \"R_RISCV_32_PCREL\"}"})
        EXPECT_NE(text.find(entry), std::string::npos) << entry;
}

} // namespace
