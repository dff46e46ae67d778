// Fuzz target: quenza-edit's whole path on the input as an ELF file. Six edits (a long and a short
// search path, an added needed library, a long interpreter, a long SONAME, the OS/ABI byte) each
// write a new file with --output. Whatever the input, an edit ends with 0 or 1 and never changes
// its input; a refused edit leaves no output behind. An accepted edit's result must read back
// cleanly: the editor prints exactly the value it set, accepts the same edit of it again, and
// quenza-dump finds no problem in it when it found none in the input. The input checks are the
// same for every edit: when the OS/ABI edit (which needs nothing of the file) is refused, so is
// every other; when it is accepted, the others are too wherever the file has what they change.
#include "dump.hpp"
#include "edit.hpp"
#include "elf_image.hpp"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what, int line) {
    std::fprintf(stderr, "edit_fuzzer.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}

#define CHECK(condition) ((condition) ? (void)0 : fail(#condition, __LINE__))

// A private folder for the input and the outputs, made once per process and removed at its exit.
std::string folder_path;

void remove_folder() {
    std::remove((folder_path + "/input").c_str());
    std::remove((folder_path + "/output").c_str());
    rmdir(folder_path.c_str());
}

const std::string &folder() {
    if (folder_path.empty()) {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/edit-fuzz-XXXXXX";
        CHECK(mkdtemp(pattern.data()) != nullptr);
        folder_path = pattern;
        std::atexit(remove_folder);
    }
    return folder_path;
}

std::string read_file(const std::string &path, bool &exists) {
    std::string bytes;
    FILE *file = std::fopen(path.c_str(), "rb");
    exists = file != nullptr;
    if (file == nullptr) return bytes;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    std::fclose(file);
    return bytes;
}

void write_file(const std::string &path, const std::uint8_t *data, std::size_t size) {
    FILE *file = std::fopen(path.c_str(), "wb");
    CHECK(file != nullptr);
    CHECK(size == 0 || std::fwrite(data, 1, size, file) == size);
    CHECK(std::fclose(file) == 0);
}

// Runs the editor with options on path; what it prints on stdout is returned in printed.
int edit(const EditOptions &options, const std::string &path, std::string &printed) {
    static FILE *const sink = std::fopen("/dev/null", "w");
    CHECK(sink != nullptr);
    char *text = nullptr;
    std::size_t text_size = 0;
    FILE *out = open_memstream(&text, &text_size);
    CHECK(out != nullptr);
    const int status = edit_file(options, path, "quenza-edit", out, sink);
    std::fclose(out);
    printed.assign(text, text_size);
    std::free(text);
    CHECK(status == 0 || status == 1);
    return status;
}

// quenza-dump's status on a file: 0 when it finds no problem.
int dump_status(const std::string &path) {
    static FILE *const sink = std::fopen("/dev/null", "w");
    FILE *in = std::fopen(path.c_str(), "rb");
    CHECK(in != nullptr);
    DumpOptions options;
    options.symbols = options.relocations = false;
    const int status = quenza_dump_stream(in, "file", options, sink, sink);
    std::fclose(in);
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string input = folder() + "/input", output = folder() + "/output";
    write_file(input, data, size);
    const std::string original(reinterpret_cast<const char *>(data), size);
    const int input_problems = dump_status(input);

    const std::string long_rpath = "/opt/" + std::string(300, 'r') + ":$ORIGIN/../lib";
    const std::string interpreter = "/lib/" + std::string(120, 'i') + "/ld.so.1";
    const std::string soname = "libfuzzed-" + std::string(90, 's') + ".so.1";
    enum {
        set_long_rpath,
        set_short_rpath,
        add_needed,
        set_interpreter,
        set_soname,
        set_os_abi,
        edits
    };
    int statuses[edits] = {};
    for (int which = 0; which < edits; ++which) {
        EditOptions options;
        options.output = output;
        EditOptions print;
        switch (which) {
        case set_long_rpath:
            options.set_rpath = long_rpath;
            print.print_rpath = true;
            break;
        case set_short_rpath:
            options.set_rpath = "/l";
            print.print_rpath = true;
            break;
        case add_needed:
            options.add_needed = {"libadded.so.3"};
            print.print_needed = true;
            break;
        case set_interpreter:
            options.set_interpreter = interpreter;
            print.print_interpreter = true;
            break;
        case set_soname:
            options.set_soname = soname;
            print.print_soname = true;
            break;
        default:
            options.os_abi = ELFOSABI_FREEBSD;
            print.print_os_abi = true;
            break;
        }
        std::remove(output.c_str());
        std::string printed;
        const int status = edit(options, input, printed);
        statuses[which] = status;
        bool exists = false;
        CHECK(read_file(input, exists) == original);
        const std::string result = read_file(output, exists);
        if (status != 0) {
            CHECK(!exists);
            continue;
        }
        CHECK(exists);

        // The result reads back with the value set.
        CHECK(edit(print, output, printed) == 0);
        switch (which) {
        case set_long_rpath:
            CHECK(printed == long_rpath + "\n");
            break;
        case set_short_rpath:
            CHECK(printed == "/l\n");
            break;
        case add_needed:
            CHECK(printed.find("libadded.so.3\n") != std::string::npos);
            break;
        case set_interpreter:
            CHECK(printed == interpreter + "\n");
            break;
        case set_soname:
            CHECK(printed == soname + "\n");
            break;
        default:
            CHECK(printed == "FreeBSD\n");
            break;
        }
        if (input_problems == 0) CHECK(dump_status(output) == 0);

        // And the same edit of the result, in place, is accepted too.
        EditOptions again = options;
        again.output.reset();
        CHECK(edit(again, output, printed) == 0);
    }
    std::remove(output.c_str());

    // A damaged input is refused whatever the edit; a sound one is edited wherever the edit
    // applies (a dynamic table for the dynamic edits; a program interpreter and a loadable
    // segment for the interpreter).
    for (int which = 0; which < edits; ++which)
        if (statuses[set_os_abi] != 0) CHECK(statuses[which] != 0);
    if (statuses[set_os_abi] == 0) {
        FILE *stream = std::fopen(input.c_str(), "rb");
        CHECK(stream != nullptr);
        ElfImage image;
        CHECK(image.load(stream, 0, [](const std::string &) {}));
        std::fclose(stream);
        bool interp = false;
        bool load = false;
        for (const Elf64_Phdr &p : image.segments) {
            interp = interp || p.p_type == PT_INTERP;
            load = load || p.p_type == PT_LOAD;
        }
        if (interp && load) CHECK(statuses[set_interpreter] == 0);
        if (image.has_dynamic)
            for (int which : {set_long_rpath, set_short_rpath, add_needed, set_soname})
                CHECK(statuses[which] == 0);
    }
    return 0;
}
