// quenza-dump's machine knowledge against binutils readelf, on the C libraries of many
// architectures: relocation type names (every row of real files, and each machine's whole table
// through made-up files), and the generator that writes the tables from <elf.h>.
#include "dump_test_util.hpp"

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
