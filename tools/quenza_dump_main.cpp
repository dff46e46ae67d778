// quenza-dump: shows what the quenza library reads from ELF files. Argument parsing and the
// several-file document; the dump itself is quenza_dump_stream.
#include "dump.hpp"
#include "output.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t input_buffer_size = std::size_t{1} << 18;

const char usage[] =
    "Usage: quenza-dump [OPTION]... FILE...\n"
    "Show the records of ELF files: the file header, program and section headers, symbols,\n"
    "relocations, dynamic entries and symbol versions. Without a selection, everything.\n"
    "\n"
    "  -h, --file-header       the file header\n"
    "  -l, --program-headers   the program headers (also --segments)\n"
    "  -S, --section-headers   the section headers (also --sections)\n"
    "  -s, --symbols           the symbol tables and symbol information (also --syms)\n"
    "  -r, --relocs            the relocations\n"
    "  -d, --dynamic           the dynamic section\n"
    "  -V, --version-info      the symbol versions\n"
    "  -n, --notes             the notes (build ID, ABI tag, properties, probes, core notes)\n"
    "  -g, --section-groups    the section groups\n"
    "  -I, --histogram         the bucket list lengths of the symbol hash tables\n"
    "      --dyn-syms          the dynamic symbol table only\n"
    "  -e, --headers           the same as -h -l -S\n"
    "  -x, --hex-dump=SECTION  the bytes of a section, by number or name (repeatable)\n"
    "  -p, --string-dump=SECTION  the strings of a section, by number or name (repeatable)\n"
    "  -a, --all               everything but the dumps (the default)\n"
    "  -W, --wide              accepted for compatibility; lines are never cut\n"
    "      --json              one JSON document: an array with one object per file\n"
    "      --help              show this help and exit\n"
    "      --version           show the version and exit\n"
    "\n"
    "Short options combine (-hlS). Problems in a file are reported on standard error and the\n"
    "dump goes on where it can. Exit status: 0 if every file was read without a problem, 1 if\n"
    "any file had one, 2 for a usage error.\n";

struct Selection {
    bool any = false;
    bool all_symbols = false, dynamic_symbols = false;
    DumpOptions options = nothing();
    static DumpOptions nothing() {
        DumpOptions o;
        o.header = o.segments = o.sections = o.symbols = o.relocations = o.dynamic = o.versions =
            o.notes = o.groups = o.histogram = false;
        return o;
    }
};

bool select_letter(char letter, Selection &selection) {
    DumpOptions &o = selection.options;
    switch (letter) {
    case 'h':
        o.header = true;
        break;
    case 'l':
        o.segments = true;
        break;
    case 'S':
        o.sections = true;
        break;
    case 's':
        o.symbols = true;
        selection.all_symbols = true;
        break;
    case 'n':
        o.notes = true;
        break;
    case 'g':
        o.groups = true;
        break;
    case 'I':
        o.histogram = true;
        break;
    case 'e':
        o.header = o.segments = o.sections = true;
        break;
    case 'r':
        o.relocations = true;
        break;
    case 'd':
        o.dynamic = true;
        break;
    case 'V':
        o.versions = true;
        break;
    case 'a':
        o.header = o.segments = o.sections = o.symbols = o.relocations = o.dynamic = o.versions =
            o.notes = o.groups = o.histogram = true;
        selection.all_symbols = true;
        break;
    case 'W':
        return true;
    default:
        return false;
    }
    selection.any = true;
    return true;
}

bool select_long(std::string_view option, Selection &selection) {
    static const struct {
        const char *name;
        char letter;
    } names[] = {
        {"file-header", 'h'}, {"program-headers", 'l'},
        {"segments", 'l'},    {"section-headers", 'S'},
        {"sections", 'S'},    {"symbols", 's'},
        {"syms", 's'},        {"relocs", 'r'},
        {"dynamic", 'd'},     {"version-info", 'V'},
        {"all", 'a'},         {"wide", 'W'},
        {"notes", 'n'},       {"section-groups", 'g'},
        {"histogram", 'I'},   {"headers", 'e'},
    };
    for (const auto &entry : names)
        if (option == entry.name) return select_letter(entry.letter, selection);
    if (option == "dyn-syms") {
        selection.options.symbols = selection.any = selection.dynamic_symbols = true;
        return true;
    }
    return false;
}

// A -x or -p request: a section by number (all digits) or by name.
void select_dump(const char *section, bool strings, Selection &selection) {
    SectionDump request;
    request.section = section;
    request.by_index =
        *section != '\0' && std::strspn(section, "0123456789") == std::strlen(section);
    request.strings = strings;
    selection.options.dumps.push_back(request);
    selection.any = true;
}

// The relocated hex dump is not provided: say so rather than show unrelocated bytes.
int relocated_dump_refused() {
    std::fputs("quenza-dump: -R (--relocated-dump) is not supported; -x shows the section's bytes "
               "as stored\n",
               stderr);
    return 2;
}

int bad_usage(const char *message, const char *argument) {
    std::fprintf(stderr, "quenza-dump: %s '%s'\n", message, argument);
    std::fputs("Try 'quenza-dump --help' for more information.\n", stderr);
    return 2;
}

// Whether the named file starts with a static archive's magic (false when it cannot be read).
bool starts_as_archive(const char *name) {
    char magic[8] = {};
    FILE *in = std::fopen(name, "rb");
    if (in == nullptr) return false;
    const bool read = std::fread(magic, sizeof magic, 1, in) == 1;
    std::fclose(in);
    return read &&
           (std::memcmp(magic, "!<arch>\n", 8) == 0 || std::memcmp(magic, "!<thin>\n", 8) == 0);
}

// Dumps one named file; a file that cannot be opened is a problem like any other.
int dump_file(const char *name, const DumpOptions &options) {
    FILE *in = std::fopen(name, "rb");
    const char *failure = nullptr;
    struct stat status;
    if (in == nullptr) {
        failure = std::strerror(errno);
    } else if (fstat(fileno(in), &status) == 0 && S_ISDIR(status.st_mode)) {
        failure = "is a directory";
    }
    if (failure != nullptr) {
        std::fprintf(stderr, "quenza-dump: %s: cannot open: %s\n", name, failure);
        if (options.json) {
            // The same shape as a dumped file's object, with nothing but the problem.
            Output out(stdout);
            out.put("{\n  \"file\":");
            out.json_string(name);
            out.put(",\n  \"problems\":[\n    ");
            out.json_string(std::string("cannot open: ") + failure);
            out.put("\n  ]\n}");
        }
        if (in != nullptr) std::fclose(in);
        return 1;
    }
    std::vector<char> buffer(input_buffer_size);
    std::setvbuf(in, buffer.data(), _IOFBF, buffer.size());
    const int status_code = quenza_dump_stream(in, name, options, stdout, stderr);
    std::fclose(in);
    return status_code;
}

} // namespace

int main(int argc, char **argv) {
    Selection selection;
    bool json = false;
    std::vector<const char *> files;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (options_done || argument[0] != '-' || argument[1] == '\0') {
            files.push_back(argument);
        } else if (std::strcmp(argument, "--") == 0) {
            options_done = true;
        } else if (argument[1] == '-') {
            const std::string_view option(argument + 2);
            if (option == "help") {
                std::fputs(usage, stdout);
                return 0;
            }
            if (option == "version") {
                std::printf("quenza-dump (quenza) %s\n", QUENZA_VERSION);
                return 0;
            }
            const std::size_t equals = option.find('=');
            const std::string_view dump = option.substr(0, equals);
            if (option == "json") {
                json = true;
            } else if (dump == "hex-dump" || dump == "string-dump") {
                const char *section = nullptr;
                if (equals != std::string_view::npos) {
                    section = argument + 2 + equals + 1;
                } else if (i + 1 < argc) {
                    section = argv[++i];
                } else {
                    return bad_usage("option needs a section", argument);
                }
                select_dump(section, dump == "string-dump", selection);
            } else if (dump == "relocated-dump") {
                return relocated_dump_refused();
            } else if (!select_long(option, selection)) {
                return bad_usage("unknown option", argument);
            }
        } else {
            for (const char *letter = argument + 1; *letter != '\0'; ++letter) {
                if (*letter == 'x' || *letter == 'p') {
                    // The section follows in the same argument or is the next one.
                    const bool strings = *letter == 'p';
                    const char *section = letter[1] != '\0' ? letter + 1 : nullptr;
                    if (section == nullptr) {
                        if (i + 1 >= argc) return bad_usage("option needs a section", argument);
                        section = argv[++i];
                    }
                    select_dump(section, strings, selection);
                    break;
                }
                if (*letter == 'R') return relocated_dump_refused();
                if (!select_letter(*letter, selection))
                    return bad_usage("unknown option", argument);
            }
        }
    }
    if (files.empty()) {
        std::fputs("quenza-dump: no input files\n", stderr);
        std::fputs("Try 'quenza-dump --help' for more information.\n", stderr);
        return 2;
    }
    DumpOptions options = selection.any ? selection.options : DumpOptions{};
    options.dynamic_symbols_only = selection.dynamic_symbols && !selection.all_symbols;
    options.json = json;

    int status = 0;
    if (json) std::fputs("[\n", stdout);
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (json) {
            if (i != 0) std::fputs(",\n", stdout);
        } else if (files.size() > 1) {
            // As readelf: a blank line, then the name; an archive's members each get their own.
            if (!starts_as_archive(files[i])) std::printf("\nFile: %s\n", files[i]);
        }
        std::fflush(stdout);
        status |= dump_file(files[i], options);
    }
    if (json) std::fputs("\n]\n", stdout);
    return status;
}
