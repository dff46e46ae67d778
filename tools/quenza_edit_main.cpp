// quenza-edit: rewrites ELF files safely, with patchelf's command line. Argument parsing; the
// work on each file is edit_file.
#include "edit.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char usage_lines[] =
    "  [--set-interpreter FILENAME]\n"
    "  [--page-size SIZE]\n"
    "  [--print-interpreter]\n"
    "  [--print-os-abi]\t\tPrints 'EI_OSABI' field of ELF header\n"
    "  [--set-os-abi ABI]\t\tSets 'EI_OSABI' field of ELF header to ABI.\n"
    "  [--print-soname]\t\tPrints 'DT_SONAME' entry of .dynamic section.\n"
    "  [--set-soname SONAME]\t\tSets 'DT_SONAME' entry to SONAME.\n"
    "  [--set-rpath RPATH]\n"
    "  [--add-rpath RPATH]\n"
    "  [--remove-rpath]\n"
    "  [--shrink-rpath]\n"
    "  [--allowed-rpath-prefixes PREFIXES]\t\tWith '--shrink-rpath', reject rpath entries not "
    "starting with the allowed prefix\n"
    "  [--print-rpath]\n"
    "  [--force-rpath]\n"
    "  [--add-needed LIBRARY]\n"
    "  [--remove-needed LIBRARY]\n"
    "  [--replace-needed LIBRARY NEW_LIBRARY]\n"
    "  [--print-needed]\n"
    "  [--no-default-lib]\n"
    "  [--no-sort]\t\tAccepted; sections are never reordered\n"
    "  [--clear-symbol-version SYMBOL]\n"
    "  [--add-debug-tag]\n"
    "  [--print-execstack]\t\tPrints whether the object requests an executable stack\n"
    "  [--clear-execstack]\n"
    "  [--set-execstack]\n"
    "  [--rename-dynamic-symbols NAME_MAP_FILE]\tRenames dynamic symbols. The map file should "
    "contain two symbols (old_name new_name) per line\n"
    "  [--no-clobber-old-sections]\t\tAccepted; old contents are always left in place\n"
    "  [--output FILE]\n"
    "  [--debug]\n"
    "  [--version]\n"
    "  FILENAME...\n";

// An argument's value; "@FILE" takes the file's contents.
bool value_of(const char *argument, std::string &value, std::string &error) {
    if (argument[0] != '@') {
        value = argument;
        return true;
    }
    std::ifstream file(argument + 1, std::ios::binary);
    if (!file) {
        error = std::string("cannot read '") + (argument + 1) + "': " + std::strerror(errno);
        return false;
    }
    value.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

} // namespace

int main(int argc, char **argv) {
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "quenza-edit";
    if (const char *slash = std::strrchr(program, '/')) program = slash + 1;
    auto usage = [&](FILE *to) { std::fprintf(to, "syntax: %s\n%s", program, usage_lines); };
    auto fail = [&](const std::string &message) {
        std::fprintf(stderr, "%s: %s\n", program, message.c_str());
        return 1;
    };
    if (argc <= 1) {
        usage(stderr);
        return 1;
    }

    EditOptions options;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        std::string error;
        // The next argument's value, or a failure.
        auto next = [&](std::string &value) {
            if (i + 1 >= argc) {
                error = "missing argument";
                return false;
            }
            return value_of(argv[++i], value, error);
        };
        std::string value;
        std::string second;
        bool ok = true;
        if (argument == "--set-interpreter" || argument == "--interpreter") {
            ok = next(value);
            options.set_interpreter = value;
        } else if (argument == "--page-size") {
            ok = next(value);
            char *end = nullptr;
            options.page_size = std::strtoull(value.c_str(), &end, 0);
            if (ok && (end == value.c_str() || *end != '\0' || options.page_size == 0 ||
                       (options.page_size & (options.page_size - 1)) != 0))
                return fail("invalid page size '" + value + "'");
        } else if (argument == "--print-interpreter") {
            options.print_interpreter = true;
        } else if (argument == "--print-os-abi") {
            options.print_os_abi = true;
        } else if (argument == "--set-os-abi") {
            ok = next(value);
            unsigned char abi = 0;
            if (ok && !os_abi_from_name(value, abi))
                return fail("unrecognized OS ABI '" + value + "'");
            options.os_abi = abi;
        } else if (argument == "--print-soname") {
            options.print_soname = true;
        } else if (argument == "--set-soname") {
            ok = next(value);
            options.set_soname = value;
        } else if (argument == "--set-rpath") {
            ok = next(value);
            options.set_rpath = value;
        } else if (argument == "--add-rpath") {
            ok = next(value);
            options.add_rpath = value;
        } else if (argument == "--remove-rpath") {
            options.remove_rpath = true;
        } else if (argument == "--shrink-rpath") {
            options.shrink_rpath = true;
        } else if (argument == "--allowed-rpath-prefixes") {
            ok = next(value);
            options.allowed_rpath_prefixes = split(value, ':');
        } else if (argument == "--print-rpath") {
            options.print_rpath = true;
        } else if (argument == "--force-rpath") {
            options.force_rpath = true;
        } else if (argument == "--add-needed") {
            ok = next(value);
            options.add_needed.push_back(value);
        } else if (argument == "--remove-needed") {
            ok = next(value);
            options.remove_needed.push_back(value);
        } else if (argument == "--replace-needed") {
            ok = next(value) && next(second);
            options.replace_needed.emplace_back(value, second);
        } else if (argument == "--print-needed") {
            options.print_needed = true;
        } else if (argument == "--no-default-lib") {
            options.no_default_lib = true;
        } else if (argument == "--clear-symbol-version") {
            ok = next(value);
            options.clear_symbol_version.push_back(value);
        } else if (argument == "--add-debug-tag") {
            options.add_debug_tag = true;
        } else if (argument == "--print-execstack") {
            options.print_execstack = true;
        } else if (argument == "--set-execstack") {
            options.execstack = 1;
        } else if (argument == "--clear-execstack") {
            options.execstack = -1;
        } else if (argument == "--rename-dynamic-symbols") {
            ok = next(value);
            std::ifstream map(value);
            if (ok && !map) return fail("cannot read '" + value + "': " + std::strerror(errno));
            std::string line;
            while (ok && std::getline(map, line)) {
                std::istringstream fields(line);
                std::string from;
                std::string to;
                std::string extra;
                if (!(fields >> from)) continue;
                if (!(fields >> to) || (fields >> extra))
                    return fail(
                        std::string("bad line in '").append(value).append("': ").append(line));
                options.rename_symbols.emplace_back(from, to);
            }
        } else if (argument == "--no-sort" || argument == "--no-clobber-old-sections") {
            // Sections are never reordered and old contents never overwritten.
        } else if (argument == "--output") {
            ok = next(value);
            options.output = value;
        } else if (argument == "--debug") {
            options.debug = true;
        } else if (argument == "--help") {
            usage(stdout);
            return 0;
        } else if (argument == "--version") {
            std::printf("%s %s\n", program, QUENZA_VERSION);
            return 0;
        } else {
            files.push_back(argument);
        }
        if (!ok) return fail(error);
    }
    if (files.empty()) return fail("missing filename");
    if (options.output && files.size() > 1) return fail("--output takes one input file");

    int status = 0;
    for (const std::string &file : files)
        if (edit_file(options, file, program, stdout, stderr) != 0) status = 1;
    return status;
}
