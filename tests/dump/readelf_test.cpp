// Every corpus file (all four layouts, thirteen architectures) against binutils readelf -W: the
// text of each option, line for line, except for the differences the README documents; and the
// JSON, record by record, against what readelf shows for the same records: sections, segments,
// symbols with their versions, relocations (MIPS64's three types, SPARC's second addend), dynamic
// entries and version records.
#include "dump_test_util.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <sstream>
#include <tuple>

using nlohmann::json;

namespace {

std::vector<std::string> words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

std::uint64_t hex(const std::string &text) {
    return std::stoull(text, nullptr, 16);
}
// "-1c" or "1c" as a signed number.
std::int64_t signed_hex(const std::string &text) {
    return text[0] == '-' ? -static_cast<std::int64_t>(hex(text.substr(1)))
                          : static_cast<std::int64_t>(hex(text));
}

// readelf's output cut into its parts: each heading line with the rows under it.
struct Block {
    std::string heading;
    std::string name; // the quoted section name in the heading, if any
    std::vector<std::string> rows;
};

std::vector<Block> blocks(const std::string &text) {
    static const char *const headings[] = {
        "Section Headers:", "Program Headers:", "Dynamic section at",   "Relocation section '",
        "Symbol table '",   "Version symbols",  "Version definition s", "Version needs section"};
    std::vector<Block> found;
    std::istringstream lines(text);
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        bool heading = false;
        for (const char *start : headings)
            heading |= line.rfind(start, 0) == 0;
        if (heading) {
            Block block{line, "", {}};
            if (const auto quote = line.find('\''); quote != std::string::npos)
                block.name = line.substr(quote + 1, line.find('\'', quote + 1) - quote - 1);
            found.push_back(block);
            inside = true;
        } else if (line.empty() || line.rfind("Key to Flags", 0) == 0) {
            inside = false;
        } else if (inside) {
            found.back().rows.push_back(line);
        }
    }
    return found;
}

const Block *find_block(const std::vector<Block> &all, const std::string &heading,
                        const std::string &name = "") {
    for (const Block &block : all)
        if (block.heading.rfind(heading, 0) == 0 && block.name == name) return &block;
    return nullptr;
}

// Text as readelf shows it: control characters as ^X (RISC-V's local labels hold ^B).
std::string visible(const std::string &text) {
    std::string shown;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            shown += '^';
            shown += static_cast<char>(c + 0x40);
        } else {
            shown += c;
        }
    }
    return shown;
}

// A symbol's name with its version, as readelf shows it.
std::string shown_name(const json &symbol, bool with_index) {
    std::string name = visible(symbol["name"]);
    if (!symbol.contains("version")) return name;
    const std::string kind = symbol["version_kind"], version = symbol["version"];
    name += (kind == "default" ? "@@" : "@") + version;
    if (with_index && kind == "needed")
        name += " (" + std::to_string(symbol["versym"].get<unsigned>() & 0x7fff) + ")";
    return name;
}

void compare_sections(const json &dump, const std::vector<Block> &readelf) {
    const Block *block = find_block(readelf, "Section Headers:");
    if (dump["sections"].empty()) {
        EXPECT_EQ(block, nullptr);
        return;
    }
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(block->rows.size(), dump["sections"].size() + 1); // + the column names
    for (std::size_t i = 0; i < dump["sections"].size(); ++i) {
        const json &s = dump["sections"][i];
        const std::string &row = block->rows[i + 1];
        // "[Nr] Name Type Address Off Size ES [Flg] Lk Inf Al", read from the right.
        std::vector<std::string> w = words(row.substr(row.find(']') + 1));
        ASSERT_GE(w.size(), 8u) << row;
        const bool flags =
            w.size() >= 9 && std::isalpha(static_cast<unsigned char>(w[w.size() - 4][0]));
        const std::size_t type = w.size() - (flags ? 9 : 8);
        std::string name;
        for (std::size_t k = 0; k < type; ++k)
            name += (k == 0 ? "" : " ") + w[k];
        EXPECT_EQ(s["name"], name) << row;
        if (!s["type_name"].is_null()) {
            EXPECT_EQ(s["type_name"], w[type]) << row;
        }
        EXPECT_EQ(s["addr"], hex(w[type + 1])) << row;
        EXPECT_EQ(s["offset"], hex(w[type + 2])) << row;
        EXPECT_EQ(s["size"], hex(w[type + 3])) << row;
        EXPECT_EQ(s["entsize"], hex(w[type + 4])) << row;
        EXPECT_EQ(s["link"], std::stoull(w[w.size() - 3])) << row;
        EXPECT_EQ(s["info"], std::stoull(w[w.size() - 2])) << row;
        EXPECT_EQ(s["addralign"], std::stoull(w[w.size() - 1])) << row;
    }
}

void compare_segments(const json &dump, const std::vector<Block> &readelf) {
    const Block *block = find_block(readelf, "Program Headers:");
    if (dump["segments"].empty()) {
        EXPECT_EQ(block, nullptr);
        return;
    }
    ASSERT_NE(block, nullptr);
    std::size_t i = 0;
    for (std::size_t r = 1; r < block->rows.size(); ++r) {
        const std::string &row = block->rows[r];
        if (row.find("[Requesting program interpreter: ") != std::string::npos) {
            EXPECT_EQ("[Requesting program interpreter: " +
                          dump["segments"][i - 1]["interpreter"].get<std::string>() + "]",
                      row.substr(row.find('[')));
            continue;
        }
        ASSERT_LT(i, dump["segments"].size());
        const json &p = dump["segments"][i++];
        const std::vector<std::string> w = words(row);
        ASSERT_GE(w.size(), 7u) << row;
        if (!p["type_name"].is_null()) {
            // The text cuts the type to its 14 columns (RISCV_ATTRIBUT).
            EXPECT_EQ(p["type_name"].get<std::string>().substr(0, 14), w[0]) << row;
        }
        EXPECT_EQ(p["offset"], hex(w[1])) << row;
        EXPECT_EQ(p["vaddr"], hex(w[2])) << row;
        EXPECT_EQ(p["paddr"], hex(w[3])) << row;
        EXPECT_EQ(p["filesz"], hex(w[4])) << row;
        EXPECT_EQ(p["memsz"], hex(w[5])) << row;
        EXPECT_EQ(p["align"], hex(w.back())) << row;
        const std::string flags = row.substr(row.rfind(" 0x") - 3, 3);
        const unsigned bits = p["flags"];
        const std::string expected = {(bits & 4) ? 'R' : ' ', (bits & 2) ? 'W' : ' ',
                                      (bits & 1) ? 'E' : ' '};
        EXPECT_EQ(flags, expected) << row;
    }
    EXPECT_EQ(i, dump["segments"].size());
}

void compare_dynamic(const json &dump, const std::vector<Block> &readelf) {
    const Block *block = find_block(readelf, "Dynamic section at");
    if (dump["dynamic"].is_null()) {
        EXPECT_EQ(block, nullptr);
        return;
    }
    ASSERT_NE(block, nullptr);
    const json &entries = dump["dynamic"]["entries"];
    ASSERT_EQ(block->rows.size(), entries.size() + 1);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const json &d = entries[i];
        const std::string &row = block->rows[i + 1];
        const std::vector<std::string> w = words(row);
        EXPECT_EQ(static_cast<std::uint64_t>(d["tag"].get<std::int64_t>()) &
                      (dump["header"]["class"] == 2 ? ~0ULL : 0xffffffffULL),
                  hex(w[0]))
            << row;
        if (!d["tag_name"].is_null()) {
            EXPECT_EQ("(" + d["tag_name"].get<std::string>() + ")", w[1]) << row;
        }
        const std::string value = row.substr(row.find(w[1]) + w[1].size());
        const std::string shown = value.substr(value.find_first_not_of(' '));
        if (d.contains("name")) {
            EXPECT_EQ(shown.substr(shown.find('[')), "[" + d["name"].get<std::string>() + "]")
                << row;
        } else if (shown.rfind("0x", 0) == 0) {
            EXPECT_EQ(d["value"], hex(shown)) << row;
        } else if (std::isdigit(static_cast<unsigned char>(shown[0]))) {
            EXPECT_EQ(d["value"], std::stoull(shown)) << row; // "N" or "N (bytes)"
        }
    }
}

void compare_relocations(const json &dump, const std::vector<Block> &readelf) {
    std::size_t seen = 0;
    for (const json &section : dump["relocation_sections"]) {
        SCOPED_TRACE(section["name"].get<std::string>());
        const Block *block = find_block(readelf, "Relocation section '", section["name"]);
        ASSERT_NE(block, nullptr);
        ++seen;
        if (section.contains("relr")) {
            // "  N offsets", then one address a row.
            ASSERT_EQ(block->rows.size(), section["addresses"].size() + 1);
            for (std::size_t i = 0; i < section["addresses"].size(); ++i)
                EXPECT_EQ(section["addresses"][i], hex(block->rows[i + 1]));
            continue;
        }
        const json &entries = section["relocations"];
        // A MIPS64 relocation's row is followed by its second and third types' rows.
        const bool mips64 = !entries.empty() && entries[0].contains("type2");
        ASSERT_EQ(block->rows.size(), entries.size() * (mips64 ? 3 : 1) + 1);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const json &r = entries[i];
            const std::size_t at = 1 + i * (mips64 ? 3 : 1);
            const std::string &row = block->rows[at];
            std::vector<std::string> w = words(row);
            ASSERT_GE(w.size(), 3u) << row;
            EXPECT_EQ(r["offset"], hex(w[0])) << row;
            EXPECT_EQ(r["info"], hex(w[1])) << row;
            if (!r["type_name"].is_null()) {
                EXPECT_EQ(r["type_name"], w[2]) << row;
            }
            if (mips64) {
                for (const std::string field : {"type2", "type3"}) {
                    const std::vector<std::string> t =
                        words(block->rows[at + (field == "type2" ? 1 : 2)]);
                    ASSERT_EQ(t.size(), 2u) << block->rows[at + 1];
                    EXPECT_EQ(t[0], field == "type2" ? "Type2:" : "Type3:");
                    EXPECT_EQ(r[field + "_name"], t[1]) << row;
                }
                EXPECT_EQ(r["info"], r["symbol"].get<std::uint64_t>() << 32 |
                                         r["ssym"].get<std::uint64_t>() << 24 |
                                         r["type3"].get<std::uint64_t>() << 16 |
                                         r["type2"].get<std::uint64_t>() << 8 |
                                         r["type"].get<std::uint64_t>());
            }
            // R_SPARC_OLO10's second addend ends the row: "+ 1c".
            if (r.contains("second_addend")) {
                ASSERT_GE(w.size(), 5u) << row;
                EXPECT_EQ(w[w.size() - 2], "+") << row;
                EXPECT_EQ(static_cast<std::uint64_t>(r["second_addend"].get<std::int64_t>()),
                          hex(w.back()))
                    << row;
                w.resize(w.size() - 2);
            }
            std::size_t next = 3;
            if (r["symbol"] != 0) {
                ASSERT_GE(w.size(), 5u) << row;
                EXPECT_EQ(r["symbol_value"], hex(w[3])) << row;
                // An unnamed symbol that is not a section's shows as <null>.
                json symbol = {{"name", r["symbol_name"] == "" ? "<null>" : r["symbol_name"]}};
                if (r.contains("version"))
                    symbol.update({{"version", r["version"]}, {"version_kind", r["version_kind"]}});
                // Names may end in spaces (RISC-V's ".L0 "): the row holds the name whole.
                const std::string name = shown_name(symbol, false);
                EXPECT_EQ(name.substr(0, name.find_last_not_of(' ') + 1), w[4]) << row;
                EXPECT_NE((row + " ").find(" " + name + " "), std::string::npos) << row;
                next = 5;
            }
            // The addend: "+ 1c" or "- 1c" after a symbol, else "1c" or "-1c".
            if (!r.contains("addend")) {
                EXPECT_EQ(w.size(), next) << row;
            } else if (next == 5) {
                ASSERT_EQ(w.size(), 7u) << row;
                EXPECT_EQ(r["addend"], signed_hex((w[5] == "-" ? "-" : "") + w[6])) << row;
            } else {
                ASSERT_EQ(w.size(), 4u) << row;
                EXPECT_EQ(r["addend"], signed_hex(w[3])) << row;
            }
        }
    }
    std::size_t blocks_seen = 0;
    for (const Block &block : readelf)
        blocks_seen += block.heading.rfind("Relocation section '", 0) == 0;
    EXPECT_EQ(seen, blocks_seen);
}

void compare_symbols(const json &dump, const std::vector<Block> &readelf) {
    std::size_t seen = 0;
    for (const json &table : dump["symbol_tables"]) {
        SCOPED_TRACE(table["name"].get<std::string>());
        const Block *block = find_block(readelf, "Symbol table '", table["name"]);
        ASSERT_NE(block, nullptr);
        ++seen;
        const json &symbols = table["symbols"];
        ASSERT_EQ(block->rows.size(), symbols.size() + 1);
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            const json &s = symbols[i];
            const std::string &row = block->rows[i + 1];
            const std::vector<std::string> w = words(row);
            ASSERT_GE(w.size(), 7u) << row;
            EXPECT_EQ(w[0], std::to_string(i) + ":") << row;
            EXPECT_EQ(s["value"], hex(w[1])) << row;
            EXPECT_EQ(s["size"], w[2].rfind("0x", 0) == 0 ? hex(w[2]) : std::stoull(w[2])) << row;
            EXPECT_EQ(s["type_name"], w[3]) << row;
            EXPECT_EQ(s["bind_name"], w[4]) << row;
            EXPECT_EQ(s["visibility_name"], w[5]) << row;
            const unsigned ndx = s["shndx"];
            EXPECT_EQ(ndx == 0        ? "UND"
                      : ndx == 0xfff1 ? "ABS"
                      : ndx == 0xfff2 ? "COM"
                                      : std::to_string(ndx),
                      w[6])
                << row;
            // The name is the rest of the row after the Ndx column.
            const std::size_t ndx_end = row.find(w[6], row.find(w[5]) + w[5].size()) + w[6].size();
            EXPECT_EQ(row.size() > ndx_end ? row.substr(ndx_end + 1) : "", shown_name(s, true))
                << row;
        }
    }
    std::size_t blocks_seen = 0;
    for (const Block &block : readelf)
        blocks_seen += block.heading.rfind("Symbol table '", 0) == 0;
    EXPECT_EQ(seen, blocks_seen);
}

void compare_versions(const json &dump, const std::vector<Block> &readelf) {
    for (const json &section : dump["version_sections"]) {
        const std::string kind = section["kind"];
        SCOPED_TRACE(section["name"].get<std::string>());
        const char *heading = kind == "symbols"       ? "Version symbols"
                              : kind == "definitions" ? "Version definition s"
                                                      : "Version needs section";
        const Block *block = find_block(readelf, heading, section["name"]);
        ASSERT_NE(block, nullptr);
        std::vector<std::vector<std::string>> rows; // after the "Addr:" line
        for (std::size_t r = 1; r < block->rows.size(); ++r)
            rows.push_back(words(block->rows[r]));
        if (kind == "symbols") {
            // "000:   0 (*local*)    2h(GLIBC_2.0) ...": the numbers, 'h' for hidden.
            std::vector<unsigned> shown;
            for (std::size_t r = 1; r < block->rows.size(); ++r) {
                std::istringstream row(block->rows[r].substr(block->rows[r].find(':') + 1));
                unsigned value;
                while (row >> std::hex >> value) {
                    const char mark = static_cast<char>(row.get());
                    shown.push_back(value | (mark == 'h' ? 0x8000 : 0));
                    row.ignore(1000, ')');
                }
            }
            EXPECT_EQ(shown, section["entries"].get<std::vector<unsigned>>());
            continue;
        }
        std::size_t r = 0;
        for (const json &entry : section["entries"]) {
            ASSERT_LT(r, rows.size());
            const std::vector<std::string> &w = rows[r++];
            if (kind == "definitions") {
                // "000000: Rev: 1  Flags: BASE  Index: 1  Cnt: 1  Name: libc.so.6"
                ASSERT_EQ(w.size(), 11u);
                EXPECT_EQ(entry["offset"], hex(w[0]));
                EXPECT_EQ(entry["index"], std::stoul(w[6]));
                EXPECT_EQ(entry["count"], std::stoul(w[8]));
                EXPECT_EQ(entry["name"], w[10]);
                for (const json &parent : entry["parents"])
                    EXPECT_EQ(parent, rows.at(r++).back());
                continue;
            }
            // "000000: Version: 1  File: libc.so.6  Cnt: 1", then
            // "0x0010:   Name: GLIBC_2.34  Flags: none  Version: 2" for each.
            ASSERT_EQ(w.size(), 7u);
            EXPECT_EQ(entry["file"], w[4]);
            EXPECT_EQ(entry["count"], std::stoul(w[6]));
            for (const json &aux : entry["aux"]) {
                const std::vector<std::string> &a = rows.at(r++);
                EXPECT_EQ(aux["offset"], hex(a[0]));
                EXPECT_EQ(aux["name"], a[2]);
                EXPECT_EQ(aux["other"], std::stoul(a.back()));
            }
        }
        EXPECT_EQ(r, rows.size());
    }
}

// The corpus is split into shards that CTest runs in parallel.
constexpr int shards = 4;
std::vector<std::string> shard_files(int shard) {
    std::vector<std::string> files;
    const std::vector<std::string> all = corpus_files();
    for (std::size_t i = static_cast<std::size_t>(shard); i < all.size(); i += shards)
        files.push_back(all[i]);
    return files;
}

// Removes from a readelf -W text (theirs) or a quenza-dump text (ours) what the README lists
// under "differences from readelf", so that the rest must match line for line.
std::vector<std::string> without_documented_differences(const std::string &text, bool theirs) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        // "The OS/ABI, the machine and the file type's description are <elf.h>'s words": the
        // values of the first two, and the words in parentheses after the type's name.
        for (const char *label : {"  OS/ABI:", "  Machine:"})
            if (line.rfind(label, 0) == 0) line = label;
        if (line.rfind("  Type:", 0) == 0 || line.rfind("Elf file type is ", 0) == 0)
            line = line.substr(0, line.find(" ("));
        // "A MIPS64 relocation's special symbol is shown when it is not RSS_UNDEF".
        if (!theirs && line.rfind("                    Ssym: ", 0) == 0) continue;
        lines.push_back(line);
    }
    return lines;
}

// The corpus holds files of thirteen machines in all four layouts, MIPS64 in both byte orders.
TEST(DumpCorpus, CoversEveryArchitectureAndLayout) {
    std::set<std::tuple<unsigned, int, int>> layouts; // machine, class, data
    for (const std::string &path : corpus_files()) {
        const std::string bytes = read_file(path);
        ASSERT_GE(bytes.size(), 20u) << path;
        const bool big = bytes[5] == 2;
        layouts.emplace(get_field(bytes, 18, 2, big), bytes[4], bytes[5]);
    }
    const std::tuple<unsigned, int, int> wanted[] = {
        {62, 2, 1} /* x86-64 */,  {3, 1, 1} /* i386 */,      {20, 1, 2} /* powerpc */,
        {22, 2, 2} /* s390x */,   {40, 1, 1} /* armhf */,    {183, 2, 1} /* arm64 */,
        {8, 1, 2} /* mips */,     {8, 2, 2} /* mips64 */,    {8, 2, 1} /* mips64el */,
        {43, 2, 2} /* sparc64 */, {15, 1, 2} /* hppa */,     {4, 1, 2} /* m68k */,
        {21, 2, 2} /* ppc64 */,   {243, 2, 1} /* riscv64 */,
    };
    for (const auto &layout : wanted)
        EXPECT_TRUE(layouts.contains(layout))
            << std::get<0>(layout) << " class " << std::get<1>(layout) << " data "
            << std::get<2>(layout);
}

class DumpVsReadelf : public testing::TestWithParam<int> {};

// Every option alone and all of them together: the same lines as readelf -W, and a valid file
// dumps with status 0 and nothing on stderr.
TEST_P(DumpVsReadelf, TextMatchesLineForLine) {
    const std::vector<std::string> files = shard_files(GetParam());
    ASSERT_FALSE(files.empty());
    for (const std::string &path : files) {
        for (const char *option : {"-h", "-l", "-S", "-s", "-r", "-d", "-V", "-hlSsrdV"}) {
            SCOPED_TRACE(path + " " + option);
            const RunResult readelf = run({"/usr/bin/readelf", "-W", option, path});
            ASSERT_EQ(readelf.status, 0);
            const RunResult ours = run({dump_tool(), option, path});
            ASSERT_TRUE(ours.exited);
            EXPECT_EQ(ours.status, 0);
            EXPECT_EQ(ours.err, "");
            const std::vector<std::string> want = without_documented_differences(readelf.out, true);
            const std::vector<std::string> got = without_documented_differences(ours.out, false);
            // The first differing line, with its number, says more than the whole text.
            std::size_t line = 0;
            while (line < want.size() && line < got.size() && want[line] == got[line])
                ++line;
            if (line < want.size() || line < got.size()) {
                ADD_FAILURE() << "line " << line + 1
                              << ":\n  readelf:     " << (line < want.size() ? want[line] : "(end)")
                              << "\n  quenza-dump: " << (line < got.size() ? got[line] : "(end)");
            }
        }
    }
}

TEST_P(DumpVsReadelf, JsonMatchesRecordForRecord) {
    const std::vector<std::string> files = shard_files(GetParam());
    ASSERT_FALSE(files.empty());
    for (const std::string &path : files) {
        SCOPED_TRACE(path);
        const RunResult readelf = run({"/usr/bin/readelf", "-hlSsrdVW", path});
        ASSERT_EQ(readelf.status, 0);
        const RunResult ours = run({dump_tool(), "--json", path});
        ASSERT_TRUE(ours.exited);
        EXPECT_EQ(ours.status, 0);
        EXPECT_EQ(ours.err, "");
        const json document = json::parse(ours.out);
        ASSERT_EQ(document.size(), 1u);
        const json &dump = document[0];
        EXPECT_EQ(dump["problems"].size(), 0u);
        // The summary lines' facts (their text is held to readelf's by the text test).
        const json &header = dump["header"];
        EXPECT_EQ(dump["section_table"]["offset"], header["shoff"]);
        EXPECT_EQ(dump["section_table"]["count"], header["section_count"]);
        EXPECT_EQ(dump["segment_table"]["offset"], header["phoff"]);
        EXPECT_EQ(dump["segment_table"]["count"], header["segment_count"]);
        EXPECT_EQ(dump["segment_table"]["entry"], header["entry"]);
        EXPECT_EQ(dump["segment_table"]["file_type"], header["type"]);
        EXPECT_EQ(dump["segment_table"]["file_type_name"], header["type_name"]);
        const std::vector<Block> parts = blocks(readelf.out);
        compare_sections(dump, parts);
        compare_segments(dump, parts);
        compare_dynamic(dump, parts);
        compare_relocations(dump, parts);
        compare_symbols(dump, parts);
        compare_versions(dump, parts);
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, DumpVsReadelf, testing::Range(0, shards));

} // namespace
