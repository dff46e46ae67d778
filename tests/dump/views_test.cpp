// The structure views (notes, section groups, the section to segment mapping, hash-table
// histograms, the dynamic symbol table alone, hex and string dumps) and static archives, compared
// line for line with binutils readelf -W on real files of every layout; and the same facts in
// the JSON document.
#include "dump_test_util.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

using nlohmann::json;

namespace {

// readelf shows bytes of multibyte characters in string dumps by the locale's rules (in UTF-8,
// only the first byte of each character); in the C locale every byte shows as it is.
struct CLocale {
    CLocale() { setenv("LC_ALL", "C", 1); }
} c_locale;

// Files beyond the corpus: a library with a package note, and cross C libraries of further
// architectures when installed (32-bit ARM, AArch64, MIPS both ways, SPARC, RISC-V).
std::vector<std::string> view_files() {
    std::vector<std::string> files = corpus_files();
    const char *const extra[] = {
        "/usr/lib/x86_64-linux-gnu/libsystemd.so.0",  "/usr/arm-linux-gnueabihf/lib/libc.so.6",
        "/usr/aarch64-linux-gnu/lib/libc.so.6",       "/usr/mips-linux-gnu/lib/libc.so.6",
        "/usr/mips64el-linux-gnuabi64/lib/libc.so.6", "/usr/sparc64-linux-gnu/lib/libc.so.6",
        "/usr/riscv64-linux-gnu/lib/libc.so.6",       "/usr/mips64el-linux-gnuabi64/lib/crt1.o",
    };
    for (const char *file : extra)
        if (std::filesystem::exists(file)) files.push_back(file);
    return files;
}

std::string from_marker(const std::string &text, const std::string &marker) {
    const std::size_t at = text.find(marker);
    return at == std::string::npos ? std::string() : text.substr(at);
}

// readelf -W and quenza-dump with the same options on path write the same text (from `marker`
// on, when given). Returns quenza-dump's run.
RunResult expect_same(const std::vector<std::string> &options, const std::string &path,
                      const std::string &marker = "") {
    std::vector<std::string> readelf = {"/usr/bin/readelf", "-W"};
    std::vector<std::string> ours = {dump_tool()};
    for (const std::string &option : options) {
        readelf.push_back(option);
        ours.push_back(option);
    }
    readelf.push_back(path);
    ours.push_back(path);
    const RunResult expected = run(readelf);
    const RunResult got = run(ours);
    EXPECT_TRUE(got.exited) << got.err;
    std::string what;
    for (const std::string &option : options)
        what += option + " ";
    if (marker.empty()) {
        EXPECT_EQ(got.out, expected.out) << what << path;
    } else {
        EXPECT_EQ(from_marker(got.out, marker), from_marker(expected.out, marker)) << what << path;
    }
    return got;
}

TEST(DumpViews, EachViewMatchesReadelf) {
    for (const std::string &path : view_files()) {
        SCOPED_TRACE(path);
        for (const char *option : {"-n", "-g", "-I"})
            EXPECT_EQ(expect_same({option}, path).status, 0);
        expect_same({"-l"}, path, "\n Section to Segment mapping:");
        // SPARC's register symbols have a type name of their own.
        if (run({"/usr/bin/readelf", "-W", "--dyn-syms", path}).out.find(" REGISTER ") ==
            std::string::npos)
            expect_same({"--dyn-syms"}, path);
        // Dumps by number and by name, the same section twice, sections of no data.
        expect_same({"-x", "1", "-p", "2", "--hex-dump=.rodata", "--string-dump=.dynstr",
                     "-p.comment", "-x", ".bss", "-x", "1"},
                    path);
    }
}

// gold writes its version in a note and puts .gnu.hash before .hash: the histograms still come
// in readelf's order.
TEST(DumpViews, GoldLinkedLibrary) {
    TempDir dir;
    write_file(dir.file("h.c"), "int f(void) { return 1; }\nint g(void) { return 2; }\n");
    const std::string library = dir.file("libh.so");
    ASSERT_EQ(run({"/usr/bin/gcc", "-shared", "-fPIC", "-fuse-ld=gold", "-Wl,--hash-style=both",
                   dir.file("h.c"), "-o", library})
                  .status,
              0);
    const RunResult notes = expect_same({"-n"}, library);
    EXPECT_NE(notes.out.find("NT_GNU_GOLD_VERSION (gold version)\t    Version: gold "),
              std::string::npos);
    const RunResult histogram = expect_same({"-I"}, library);
    EXPECT_LT(histogram.out.find("Histogram for bucket list length"),
              histogram.out.find("Histogram for `.gnu.hash'"));
    expect_same({"-l"}, library, "\n Section to Segment mapping:");
    expect_same({"--dyn-syms"}, library);
}

// Without section headers, notes come from the NOTE segments and the histograms from the tables
// the dynamic segment names, in both classes and byte orders.
TEST(DumpViews, WithoutSectionHeaders) {
    TempDir dir;
    for (const char *base : {"/usr/bin/ls", "hello-i686", "hello-powerpc", "hello-s390x"}) {
        std::string bytes = read_file(corpus_file(base));
        const bool wide = bytes.at(4) == 2, big = bytes.at(5) == 2;
        set_field(bytes, wide ? 40 : 32, wide ? 8 : 4, big, 0); // e_shoff
        set_field(bytes, wide ? 60 : 48, 2, big, 0);            // e_shnum
        set_field(bytes, wide ? 62 : 50, 2, big, 0);            // e_shstrndx
        const std::string path = dir.file("stripped");
        write_file(path, bytes);
        SCOPED_TRACE(base);
        EXPECT_EQ(expect_same({"-n"}, path).status, 0);
        const RunResult histogram = expect_same({"-I"}, path);
        EXPECT_NE(histogram.out.find("Histogram for"), std::string::npos);
    }
}

// Two C++ objects with inline functions and templates (COMDAT groups), one with a long name,
// in a normal archive and a thin one.
struct Archives {
    TempDir dir;
    std::string normal, thin;
    Archives() {
        write_file(dir.file("a.cpp"), "template <class T> T twice(T x) { return x + x; }\n"
                                      "inline int f(int x) { static int c; return x + ++c; }\n"
                                      "int g(int y) { return twice(y) + f(y); }\n");
        write_file(dir.file("b.cpp"), "template <class T> T twice(T x) { return x + x; }\n"
                                      "double h(double y) { return twice(y); }\n");
        std::filesystem::create_directory(dir.file("sub"));
        const std::string long_name = "a_member_with_a_long_name.o";
        const std::string a = dir.file("a.o"), b = dir.file("sub/" + long_name);
        EXPECT_EQ(run({"/usr/bin/g++", "-c", "-g", dir.file("a.cpp"), "-o", a}).status, 0);
        EXPECT_EQ(run({"/usr/bin/g++", "-c", dir.file("b.cpp"), "-o", b}).status, 0);
        normal = dir.file("libnormal.a");
        thin = dir.file("libthin.a");
        // Members named relative to the archive, as a build makes them.
        EXPECT_EQ(run({"/bin/sh", "-c",
                       "cd " + dir.file("") + " && ar rc libnormal.a a.o sub/" + long_name +
                           " && ar rcT libthin.a a.o sub/" + long_name})
                      .status,
                  0);
    }
};

TEST(DumpViews, ArchivesMemberByMember) {
    Archives archives;
    const std::string nonshared = "/usr/lib/x86_64-linux-gnu/libc_nonshared.a";
    for (const std::string &path : {nonshared, archives.normal, archives.thin}) {
        SCOPED_TRACE(path);
        for (const char *option : {"-s", "-g", "-r", "-n", "-d", "-V", "-I"})
            EXPECT_EQ(expect_same({option}, path).status, 0);
        expect_same({"-x", ".text", "-p", ".strtab"}, path);
    }

    // Several files, archives among them: each file and each member after its own "File:" line.
    const std::string object = archives.dir.file("a.o");
    EXPECT_EQ(run({dump_tool(), "-g", object, archives.normal, object}).out,
              run({"/usr/bin/readelf", "-W", "-g", object, archives.normal, object}).out);

    const RunResult listed = run({dump_tool(), "--json", "-s", archives.thin, nonshared});
    EXPECT_EQ(listed.status, 0) << listed.err;
    const json document = json::parse(listed.out);
    ASSERT_GE(document.size(), 4u);
    EXPECT_EQ(document[0]["file"], archives.thin);
    EXPECT_EQ(document[0]["member"], "a.o");
    EXPECT_NE(document[1]["member"].get<std::string>().find("a_member_with_a_long_name.o"),
              std::string::npos);
    EXPECT_EQ(document[2]["file"], nonshared);
    EXPECT_EQ(document[2]["member"], "at_quick_exit.oS");
    for (const json &member : document)
        EXPECT_FALSE(member["symbol_tables"].empty());
}

// Damaged archives: a problem line each, status 1, the members before the damage still dumped,
// and the JSON still one well-formed array.
TEST(DumpViews, DamagedArchives) {
    Archives archives;
    const std::string good = read_file(archives.normal);
    const std::size_t first = 8 + 60 + std::stoul(good.substr(8 + 48, 10));
    const std::size_t member = first + (first & 1); // the long-name table or the first member
    struct Case {
        const char *what;
        std::string bytes;
        const char *reported;
    };
    std::vector<Case> cases;
    std::string bad_magic = good;
    bad_magic[member + 58] = 'X';
    cases.push_back({"bad header end", bad_magic, "is damaged"});
    std::string bad_size = good;
    bad_size.replace(member + 48, 10, "9999999999");
    cases.push_back({"size past the end", bad_size, "runs past the end of the file"});
    std::string long_name = good;
    const std::size_t header = long_name.find("/0" + std::string(14, ' '), member);
    ASSERT_NE(header, std::string::npos);
    long_name.replace(header, 16, "/99999          ");
    cases.push_back({"long name out of range", long_name, "is not in the long-name table"});
    cases.push_back({"cut short", good.substr(0, good.size() - 100), "past the end"});
    cases.push_back({"only the magic", "!<arch>\n", nullptr});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = archives.dir.file("damaged.a");
        write_file(path, c.bytes);
        const RunResult text = run({dump_tool(), "-s", path}, true, 30);
        EXPECT_TRUE(text.exited);
        EXPECT_EQ(text.status, c.reported != nullptr ? 1 : 0);
        if (c.reported != nullptr) {
            EXPECT_NE(text.err.find(c.reported), std::string::npos) << text.err;
        }
        const RunResult as_json = run({dump_tool(), "--json", path}, true, 30);
        EXPECT_EQ(as_json.status, text.status);
        const json document = json::parse(as_json.out);
        ASSERT_FALSE(document.empty());
        EXPECT_EQ(document.back()["problems"].empty(), c.reported == nullptr);
    }
}

// A core file of a live process, made by gdb: its process notes as readelf shows them, and the
// mapped files (which this readelf build cannot decode for 64-bit files) in JSON.
TEST(DumpViews, CoreFileNotes) {
    if (!std::filesystem::exists("/usr/bin/gdb")) GTEST_SKIP() << "gdb is not installed";
    TempDir dir;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    const std::string core = dir.file("sleep.core");
    const RunResult gcore =
        run({"/usr/bin/gdb", "-batch", "-nx", "-ex", "gcore " + core, "-p", std::to_string(child)});
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    if (!std::filesystem::exists(core)) GTEST_SKIP() << "gdb made no core file: " << gcore.err;

    const RunResult readelf = run({"/usr/bin/readelf", "-W", "-n", core});
    const RunResult ours = run({dump_tool(), "-n", core});
    EXPECT_EQ(ours.status, 0) << ours.err;
    // Every line but the mapped files' own.
    const auto without_files = [](const std::string &text) {
        std::istringstream lines(text);
        std::string kept;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("    ", 0) == 0) continue;
            const std::size_t file = line.find("NT_FILE (mapped files)\t");
            kept += (file == std::string::npos ? line : line.substr(0, file + 23)) + "\n";
        }
        return kept;
    };
    EXPECT_EQ(without_files(ours.out), without_files(readelf.out));
    EXPECT_NE(ours.out.find("NT_PRSTATUS (prstatus structure)"), std::string::npos);

    const json document = json::parse(run({dump_tool(), "--json", "-n", core}).out)[0];
    bool sleep_mapped = false, status = false;
    for (const json &block : document["notes"]) {
        for (const json &note : block["notes"]) {
            status |= note["type_name"] == "NT_PRSTATUS (prstatus structure)";
            if (!note.contains("files")) continue;
            EXPECT_GT(note["page_size"], 0u);
            for (const json &file : note["files"]) {
                sleep_mapped |= file["name"].get<std::string>().ends_with("/sleep");
                EXPECT_LT(file["start"], file["end"]);
            }
        }
    }
    EXPECT_TRUE(status);
    EXPECT_TRUE(sleep_mapped);
}

// A 32-bit big-endian core file, from a powerpc program that qemu-user runs until it faults:
// its process notes, from the NOTE segment, as readelf shows them.
TEST(DumpViews, CoreFileOfAnotherLayout) {
    if (!std::filesystem::exists("/usr/bin/qemu-ppc")) GTEST_SKIP() << "qemu-user is not installed";
    TempDir dir;
    write_file(dir.file("crash.s"), ".globl _start\n_start:\n li 3,0\n lwz 4,0(3)\n");
    ASSERT_EQ(run({"/usr/bin/powerpc-linux-gnu-as", dir.file("crash.s"), "-o", dir.file("crash.o")})
                  .status,
              0);
    ASSERT_EQ(
        run({"/usr/bin/powerpc-linux-gnu-ld", dir.file("crash.o"), "-o", dir.file("crash")}).status,
        0);
    // qemu writes qemu_crash_<time>_<pid>.core into the working directory.
    run({"/bin/sh", "-c", "ulimit -c unlimited; cd " + dir.file("") + " && exec qemu-ppc ./crash"});
    std::string core;
    for (const auto &entry : std::filesystem::directory_iterator(dir.file("")))
        if (entry.path().extension() == ".core") core = entry.path().string();
    if (core.empty()) GTEST_SKIP() << "qemu wrote no core file";
    const RunResult ours = expect_same({"-n"}, core);
    EXPECT_EQ(ours.status, 0) << ours.err;
    EXPECT_NE(ours.out.find("NT_PRSTATUS (prstatus structure)"), std::string::npos);
}

// readelf's words for a value on the line that starts with label.
std::string readelf_value(const std::string &text, const std::string &label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return "";
    const std::size_t start = at + label.size();
    return text.substr(start, text.find_first_of(" \n", start) - start);
}

TEST(DumpViews, JsonCarriesTheViews) {
    const std::string path = corpus_file("/usr/bin/ls");
    const RunResult r =
        run({dump_tool(), "--json", "-a", "-x", ".interp", "-p", ".interp", "-p", ".dynstr", path});
    ASSERT_EQ(r.status, 0) << r.err;
    const json dump = json::parse(r.out)[0];
    const std::string notes = run({"/usr/bin/readelf", "-W", "-n", "-l", "-I", path}).out;

    std::string build_id;
    for (const json &block : dump["notes"])
        for (const json &note : block["notes"])
            if (note.contains("build_id")) build_id = note["build_id"];
    EXPECT_EQ(build_id, readelf_value(notes, "Build ID: "));

    ASSERT_EQ(dump["segment_sections"].size(), dump["segments"].size());
    // The INTERP segment holds .interp alone.
    for (std::size_t i = 0; i < dump["segments"].size(); ++i) {
        if (dump["segments"][i]["type_name"] != "INTERP") continue;
        const json &sections = dump["segment_sections"][i]["sections"];
        ASSERT_EQ(sections.size(), 1u);
        EXPECT_EQ(dump["sections"][sections[0].get<std::size_t>()]["name"], ".interp");
    }

    ASSERT_FALSE(dump["histogram"].empty());
    const json &gnu = dump["histogram"].back();
    EXPECT_EQ(gnu["kind"], "gnu_hash");
    EXPECT_EQ("(total of " + std::to_string(gnu["buckets"].get<unsigned>()),
              "(total of " + readelf_value(notes, "bucket list length (total of "));

    ASSERT_EQ(dump["hex_dumps"].size(), 1u);
    const json &interp = dump["hex_dumps"][0];
    std::string bytes;
    for (std::size_t i = 0; i + 1 < interp["data"].get<std::string>().size(); i += 2)
        bytes += static_cast<char>(
            std::stoi(interp["data"].get<std::string>().substr(i, 2), nullptr, 16));
    EXPECT_EQ(bytes, std::string("/lib64/ld-linux-x86-64.so.2\0", 28));
    ASSERT_EQ(dump["string_dumps"].size(), 2u);
    EXPECT_EQ(dump["string_dumps"][0]["strings"][0]["text"], "/lib64/ld-linux-x86-64.so.2");
    EXPECT_GT(dump["string_dumps"][1]["strings"].size(), 10u);

    Archives archives;
    const json object =
        json::parse(run({dump_tool(), "--json", "-g", archives.dir.file("a.o")}).out)[0];
    ASSERT_EQ(object["groups"].size(), 3u);
    for (const json &group : object["groups"]) {
        EXPECT_TRUE(group["comdat"]);
        EXPECT_FALSE(group["members"].empty());
    }
    EXPECT_EQ(object["groups"][0]["signature"], "_ZZ1fiE1c");
}

TEST(DumpViews, RelocatedDumpIsRefused) {
    const RunResult r = run({dump_tool(), "-R", ".text", corpus_file("crti.o")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not supported"), std::string::npos);
}

} // namespace
