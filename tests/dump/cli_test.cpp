// quenza-dump as a command: the file header of each layout against readelf, bad and truncated
// headers, several files, options, and names that are not plain text.
#include "dump_test_util.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <sstream>

namespace {

// "  Label:   value" lines of a file-header dump, each label with its values in order.
std::map<std::string, std::vector<std::string>> header_fields(const std::string &text) {
    std::map<std::string, std::vector<std::string>> fields;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(':');
        if (line.rfind("  ", 0) != 0 || colon == std::string::npos) continue;
        const auto value = line.find_first_not_of(' ', colon + 1);
        const auto end = line.find_last_not_of(' ');
        fields[line.substr(2, colon - 2)].push_back(
            value == std::string::npos ? "" : line.substr(value, end + 1 - value));
    }
    return fields;
}

std::string first_word(const std::string &text) {
    return text.substr(0, text.find(' '));
}

// One problem: exit status 1, nothing on stdout, one line on stderr naming the file.
void expect_one_problem(const RunResult &r, const std::string &path, const std::string &words) {
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("quenza-dump: " + path + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST(DumpCli, FileHeaderOfEachLayoutMatchesReadelf) {
    for (const char *suffix : {"hello-x86_64", "i686-linux-gnu/lib/libc.so.6",
                               "powerpc-linux-gnu/lib/crt1.o", "s390x-linux-gnu/lib/ld64.so.1"}) {
        const std::string path = corpus_file(suffix);
        SCOPED_TRACE(path);
        const RunResult ours = run({dump_tool(), "-h", path});
        const RunResult theirs = run({"/usr/bin/readelf", "-hW", path});
        ASSERT_TRUE(ours.exited);
        EXPECT_EQ(ours.status, 0);
        EXPECT_EQ(ours.err, "");
        auto mine = header_fields(ours.out), readelf = header_fields(theirs.out);
        for (const char *label :
             {"Magic", "Class", "Data", "Version", "ABI Version", "Entry point address",
              "Start of program headers", "Start of section headers", "Size of this header",
              "Size of program headers", "Number of program headers", "Size of section headers",
              "Number of section headers", "Section header string table index"})
            EXPECT_EQ(mine[label], readelf[label]) << label;
        // readelf adds machine-specific words after the flags and uses its own words for the
        // type and machine; the numbers and the type's name agree.
        ASSERT_EQ(mine["Flags"].size(), 1u);
        EXPECT_EQ(first_word(mine["Flags"][0]), first_word(readelf["Flags"].at(0)));
        EXPECT_EQ(first_word(mine["Type"].at(0)), first_word(readelf["Type"].at(0)));
        EXPECT_FALSE(mine["Machine"].at(0).empty());
    }
}

TEST(DumpCli, TruncatedHeadersAreOneProblemEach) {
    TempDir dir;
    for (const char *suffix : {"hello-x86_64", "hello-i686"}) {
        const std::string good = read_file(corpus_file(suffix));
        const std::size_t header = good[4] == 2 ? 64 : 52;
        for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{15}, std::size_t{16},
                                std::size_t{40}, header - 1}) {
            const std::string path = dir.file("cut-" + std::to_string(cut));
            write_file(path, good.substr(0, cut));
            SCOPED_TRACE(path);
            expect_one_problem(run({dump_tool(), path}), path,
                               cut == 0 ? "not an ELF file" : "truncated file header");
        }
    }
}

TEST(DumpCli, RejectsWhatIsNotSupportedElf) {
    TempDir dir;
    const std::string good = read_file(corpus_file("hello-x86_64"));
    const auto patched = [&](std::size_t at, char value) {
        std::string bytes = good;
        bytes[at] = value;
        return bytes;
    };
    const std::pair<std::string, std::string> cases[] = {
        {"#!/bin/sh\necho this is not an ELF file at all\n", "not an ELF file"},
        {patched(4, 3), "unsupported ELF class 3"},
        {patched(5, 0), "unsupported data encoding 0"},
        {patched(6, 2), "unsupported ELF version 2"},
    };
    int n = 0;
    for (const auto &[bytes, words] : cases) {
        const std::string path = dir.file("case-" + std::to_string(n++));
        write_file(path, bytes);
        expect_one_problem(run({dump_tool(), path}), path, words);
    }
    expect_one_problem(run({dump_tool(), dir.file("missing")}), dir.file("missing"), "cannot open");
    expect_one_problem(run({dump_tool(), dir.file("")}), dir.file(""), "is a directory");
}

TEST(DumpCli, SeveralFilesEachUnderItsName) {
    TempDir dir;
    const std::string good = corpus_file("hello-x86_64"), other = corpus_file("hello-s390x");
    const std::string bad = dir.file("bad");
    write_file(bad, "no ELF here");

    const RunResult text = run({dump_tool(), "-h", good, bad, other});
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("File: " + good + "\nELF Header:"), std::string::npos);
    EXPECT_NE(text.out.find("File: " + bad + "\n"), std::string::npos);
    EXPECT_NE(text.out.find("File: " + other + "\nELF Header:"), std::string::npos);
    EXPECT_EQ(text.err,
              "quenza-dump: " + bad + ": not an ELF file (11 bytes, no ELF magic number)\n");

    const RunResult json = run({dump_tool(), "--json", good, bad});
    EXPECT_EQ(json.status, 1);
    const auto document = nlohmann::json::parse(json.out);
    ASSERT_EQ(document.size(), 2u);
    EXPECT_EQ(document[0]["file"], good);
    EXPECT_EQ(document[0]["problems"].size(), 0u);
    EXPECT_EQ(document[0]["header"]["machine"], 62);
    EXPECT_EQ(document[1]["file"], bad);
    EXPECT_EQ(document[1]["problems"].size(), 1u);
    EXPECT_FALSE(document[1].contains("header"));
}

TEST(DumpCli, OptionsSelectPartsAndCombine) {
    const std::string path = corpus_file("hello-i686");
    const auto out = [&](std::vector<std::string> args) {
        args.insert(args.begin(), dump_tool());
        args.push_back(path);
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    EXPECT_EQ(out({"-hl"}), out({"-h", "-l"}));
    EXPECT_EQ(out({}), out({"-hSldrsVngI"}));
    EXPECT_EQ(out({"-e"}), out({"-hlS"}));
    EXPECT_EQ(out({"--file-header", "--sections"}), out({"-hS"}));
    const std::string sections = out({"-S"});
    EXPECT_NE(sections.find("Section Headers:"), std::string::npos);
    EXPECT_EQ(sections.find("ELF Header:"), std::string::npos);
    EXPECT_EQ(sections.find("Symbol table"), std::string::npos);

    const RunResult help = run({dump_tool(), "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--json"), std::string::npos);
    EXPECT_EQ(run({dump_tool(), "--version"}).out.rfind("quenza-dump (quenza) ", 0), 0u);
    const RunResult unknown = run({dump_tool(), "-hq", path});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown option '-hq'"), std::string::npos);
    EXPECT_EQ(run({dump_tool(), "-h"}).status, 2);
}

// Names are bytes: the text shows control characters as ^X, JSON escapes them and every byte
// that is not valid UTF-8 as \u00XX.
TEST(DumpCli, NamesWithControlBytesAndInvalidUtf8) {
    TempDir dir;
    std::string bytes = read_file(corpus_file("hello-x86_64"));
    const std::size_t at = bytes.find(std::string(".comment\0", 9));
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 8, std::string(".c\x01m\xff\xc3\xa9\"", 8));
    const std::string path = dir.file("names");
    write_file(path, bytes);

    const RunResult text = run({dump_tool(), "-S", path});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find(std::string("] .c^Am\xff\xc3\xa9\" ")), std::string::npos);
    const RunResult json = run({dump_tool(), "--json", "-S", path});
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(json.out.find(R"(".c\u0001m\u00ffé\"")"), std::string::npos);
    bool found = false;
    const auto document = nlohmann::json::parse(json.out);
    for (const auto &section : document[0]["sections"])
        found |= section["name"] == ".c\x01m\xc3\xbf\xc3\xa9\"";
    EXPECT_TRUE(found);
}

} // namespace
