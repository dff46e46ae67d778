// quenza-edit's work on one file: what the command line asks for, and the function that reads
// the file, prints what is asked, plans the new layout, writes it to a temporary file, checks it
// and puts it in place.
#ifndef QUENZA_TOOLS_EDIT_HPP
#define QUENZA_TOOLS_EDIT_HPP

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct EditOptions {
    // Printing, done on the file as it was, before any change.
    bool print_interpreter = false;
    bool print_os_abi = false;
    bool print_soname = false;
    bool print_rpath = false;
    bool print_needed = false;
    bool print_execstack = false;

    std::optional<std::string> set_interpreter;
    std::optional<std::string> set_soname;
    std::optional<std::string> set_rpath;
    std::optional<std::string> add_rpath;
    bool remove_rpath = false;
    bool shrink_rpath = false;
    std::vector<std::string> allowed_rpath_prefixes;
    bool force_rpath = false;
    std::vector<std::string> add_needed;
    std::vector<std::string> remove_needed;
    std::vector<std::pair<std::string, std::string>> replace_needed;
    bool no_default_lib = false;
    bool add_debug_tag = false;
    std::vector<std::string> clear_symbol_version;
    int execstack = 0; // 1 set, -1 clear
    std::optional<unsigned char> os_abi;
    std::vector<std::pair<std::string, std::string>> rename_symbols; // old name, new name

    std::uint64_t page_size = 0; // 0: the machine's maximum page size
    std::optional<std::string> output;
    bool debug = false;
};

// Names of the OS/ABI values, as --print-os-abi shows them and --set-os-abi accepts them.
const char *os_abi_name(unsigned char value);
bool os_abi_from_name(const std::string &name, unsigned char &value);
// The largest page size the machine's loaders may use (binutils' maximum page size).
std::uint64_t machine_page_size(unsigned machine);

// Does everything the options ask for on one file; messages go to err, prefixed by program.
// Returns 0, or 1 when the file could not be read, was damaged, or an edit was refused; then
// nothing was changed.
int edit_file(const EditOptions &options, const std::string &path, const char *program, FILE *out,
              FILE *err);

#endif
