// Editing one file: read its structure, print what is asked, plan the changes (in place where the
// new contents fit, else in new space at the end of the file mapped by a new loadable segment),
// write the result to a temporary file beside the target, read it back and check what a loader
// relies on, and only then put it in place with rename().
#include "edit.hpp"
#include "elf_image.hpp"
#include "messages.hpp"
#include "quenza.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

namespace {

// ---- Machine knowledge ----------------------------------------------------------------------

struct OsAbi {
    unsigned char value;
    const char *name;
    const char *alias; // a second accepted spelling, or null
};

constexpr OsAbi os_abis[] = {
    {ELFOSABI_SYSV, "System V", "none"},    {ELFOSABI_HPUX, "HP-UX", "hpux"},
    {ELFOSABI_NETBSD, "NetBSD", nullptr},   {ELFOSABI_GNU, "Linux", "gnu"},
    {ELFOSABI_SOLARIS, "Solaris", nullptr}, {ELFOSABI_AIX, "AIX", nullptr},
    {ELFOSABI_IRIX, "IRIX", nullptr},       {ELFOSABI_FREEBSD, "FreeBSD", nullptr},
    {ELFOSABI_TRU64, "Tru64", nullptr},     {ELFOSABI_MODESTO, "Novell Modesto", "modesto"},
    {ELFOSABI_OPENBSD, "OpenBSD", nullptr}, {ELFOSABI_ARM_AEABI, "ARM EABI", "arm_aeabi"},
    {ELFOSABI_ARM, "ARM", nullptr},         {ELFOSABI_STANDALONE, "Standalone App", "standalone"},
};

struct MachinePage {
    unsigned machine;
    std::uint64_t page;
};

// binutils' maximum page size per machine; machines not listed get 64 KiB.
constexpr MachinePage machine_pages[] = {
    {EM_X86_64, 0x1000}, {EM_386, 0x1000},      {EM_S390, 0x1000},   {EM_RISCV, 0x1000},
    {EM_68K, 0x2000},    {EM_AARCH64, 0x10000}, {EM_PPC64, 0x10000}, {EM_PPC, 0x10000},
    {EM_MIPS, 0x10000},  {EM_ARM, 0x10000},     {EM_SPARC, 0x10000}, {EM_SPARCV9, 0x100000},
    {EM_PARISC, 0x1000}, {EM_IA_64, 0x10000},   {EM_ALPHA, 0x10000}, {EM_SH, 0x10000},
};

constexpr std::int64_t dt_mips_rld_map_rel = 0x70000035;

bool is_string_tag(std::int64_t tag) {
    return tag == DT_NEEDED || tag == DT_SONAME || tag == DT_RPATH || tag == DT_RUNPATH ||
           tag == DT_AUXILIARY || tag == DT_FILTER || tag == DT_CONFIG || tag == DT_DEPAUDIT ||
           tag == DT_AUDIT;
}

// Tags whose value is an address the loader uses.
bool is_address_tag(std::int64_t tag) {
    switch (tag) {
    case DT_STRTAB:
    case DT_SYMTAB:
    case DT_HASH:
    case DT_GNU_HASH:
    case DT_VERSYM:
    case DT_VERNEED:
    case DT_VERDEF:
    case DT_RELA:
    case DT_REL:
    case DT_JMPREL:
    case DT_INIT_ARRAY:
    case DT_FINI_ARRAY:
    case DT_PREINIT_ARRAY:
    case DT_RELR:
        return true;
    default:
        return false;
    }
}

// Dynamic tags of a table and of its size in bytes.
struct SizedTable {
    std::int64_t address;
    std::int64_t size;
};

constexpr SizedTable sized_tables[] = {
    {DT_RELA, DT_RELASZ},
    {DT_REL, DT_RELSZ},
    {DT_JMPREL, DT_PLTRELSZ},
    {DT_RELR, DT_RELRSZ},
    {DT_INIT_ARRAY, DT_INIT_ARRAYSZ},
    {DT_FINI_ARRAY, DT_FINI_ARRAYSZ},
    {DT_PREINIT_ARRAY, DT_PREINIT_ARRAYSZ},
};

std::uint64_t round_up(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

std::uint32_t gnu_hash(const std::string &name) {
    std::uint32_t h = 5381;
    for (const char c : name)
        h = h * 33 + static_cast<unsigned char>(c);
    return h;
}

std::uint32_t sysv_hash(const std::string &name) {
    std::uint32_t h = 0;
    for (const char c : name) {
        h = (h << 4) + static_cast<unsigned char>(c);
        const std::uint32_t g = h & 0xf0000000U;
        if (g != 0) h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

// Raised for anything that stops the edit of one file; the message says why.
struct EditError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct FileCloser {
    void operator()(FILE *file) const {
        if (file != nullptr) std::fclose(file);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

// ---- Checks a loader relies on, applied to the input and to the result ----------------------

// The version needs and definitions the dynamic table names: each record inside the file, each
// name inside the dynamic string table, the chains bounded by the file's size.
void check_version_records(const ElfImage &image, FILE *stream,
                           std::vector<std::string> &problems) {
    std::uint64_t strings = 0;
    std::uint64_t strings_size = 0;
    if (!image.dynamic_strings(strings, strings_size)) return; // reported elsewhere
    const auto name = [&](std::uint64_t offset, const char *what) {
        if (offset >= strings_size)
            problems.emplace_back(format_message(
                "%s: name offset 0x%" PRIx64 " is outside the dynamic string table", what, offset));
        return offset < strings_size;
    };
    const auto walk = [&](std::int64_t table_tag, std::int64_t count_tag, bool needs) {
        const char *what = needs ? "version needs" : "version definitions";
        const Elf64_Dyn *table = image.find_dynamic(table_tag);
        const Elf64_Dyn *number = image.find_dynamic(count_tag);
        if (table == nullptr && number == nullptr) return;
        std::uint64_t at = 0;
        if (table == nullptr || number == nullptr ||
            !image.file_offset(table->d_un.d_ptr, 16, at)) {
            problems.emplace_back(format_message("%s: not in the file's loaded bytes", what));
            return;
        }
        std::uint64_t budget = image.file_size / 8 + 1;
        for (std::uint64_t n = 0; n < number->d_un.d_val; ++n) {
            std::uint64_t aux = at;
            std::uint64_t aux_count = 0;
            std::uint64_t next = 0;
            bool read = --budget != 0 && image.in_file(at, 16) && image.seek(stream, at);
            if (read && needs) {
                Elf64_Verneed need{};
                read = quenza_read_Verneed(stream, &need) == 1 && name(need.vn_file, what);
                aux += need.vn_aux;
                aux_count = need.vn_cnt;
                next = need.vn_next;
            } else if (read) {
                Elf64_Verdef definition{};
                read = quenza_read_Verdef(stream, &definition) == 1;
                aux += definition.vd_aux;
                aux_count = definition.vd_cnt;
                next = definition.vd_next;
            }
            for (std::uint64_t k = 0; read && k < aux_count; ++k) {
                read = --budget != 0 && image.in_file(aux, 16) && image.seek(stream, aux);
                std::uint64_t step = 0;
                if (read && needs) {
                    Elf64_Vernaux record{};
                    read = quenza_read_Vernaux(stream, &record) == 1 && name(record.vna_name, what);
                    step = record.vna_next;
                } else if (read) {
                    Elf64_Verdaux record{};
                    read = quenza_read_Verdaux(stream, &record) == 1 && name(record.vda_name, what);
                    step = record.vda_next;
                }
                if (step == 0) break;
                aux += step;
            }
            if (!read) {
                problems.emplace_back(
                    format_message("%s: record %" PRIu64 " cannot be read", what, n));
                return;
            }
            if (next == 0) break;
            at += next;
        }
    };
    walk(DT_VERNEED, DT_VERNEEDNUM, true);
    walk(DT_VERDEF, DT_VERDEFNUM, false);
}

void check_invariants(const ElfImage &image, FILE *stream, std::vector<std::string> &problems) {
    const Elf64_Phdr *previous = nullptr;
    bool load_seen = false;
    const std::uint64_t table_size = image.segments.size() * image.phdr_size();
    for (std::size_t i = 0; i < image.segments.size(); ++i) {
        const Elf64_Phdr &p = image.segments[i];
        if (p.p_type == PT_PHDR) {
            if (load_seen) problems.emplace_back("PT_PHDR follows a loadable segment");
            std::uint64_t offset = 0;
            if (p.p_offset != image.phoff || p.p_filesz != table_size)
                problems.emplace_back("PT_PHDR does not describe the program header table");
            else if (!image.file_offset(p.p_vaddr, p.p_filesz, offset) || offset != p.p_offset)
                problems.emplace_back("PT_PHDR's address is not where the table is loaded");
        }
        if (p.p_type == PT_INTERP) {
            std::string bytes;
            if (p.p_filesz == 0 || !image.read_bytes(stream, p.p_offset, p.p_filesz, bytes) ||
                bytes.back() != '\0')
                problems.emplace_back("the interpreter's name is not NUL-terminated in PT_INTERP");
        }
        if (p.p_type != PT_LOAD) continue;
        load_seen = true;
        if (p.p_vaddr + p.p_memsz < p.p_vaddr) {
            problems.emplace_back(
                format_message("loadable segment %zu wraps around the address space", i));
            continue;
        }
        if (previous != nullptr && p.p_vaddr < previous->p_vaddr + previous->p_memsz)
            problems.emplace_back(
                format_message("loadable segment %zu overlaps or precedes the one before", i));
        if (p.p_align > 1 && (p.p_offset % p.p_align) != (p.p_vaddr % p.p_align) &&
            (p.p_align & (p.p_align - 1)) == 0)
            problems.emplace_back(
                format_message("loadable segment %zu: offset and address disagree "
                               "modulo its alignment",
                               i));
        previous = &p;
    }
    if (image.dynamic_segment >= 0 && !image.has_dynamic)
        problems.emplace_back("the dynamic segment holds no readable entry");
    if (!image.has_dynamic) return;
    for (const Elf64_Dyn &entry : image.dynamic) {
        if (!is_address_tag(entry.d_tag) || entry.d_un.d_ptr == 0) continue;
        bool mapped = false;
        for (const Elf64_Phdr &p : image.segments)
            if (p.p_type == PT_LOAD && entry.d_un.d_ptr >= p.p_vaddr &&
                entry.d_un.d_ptr - p.p_vaddr < p.p_memsz)
                mapped = true;
        if (!mapped)
            problems.emplace_back(format_message(
                "dynamic entry 0x%" PRIx64 ": address 0x%" PRIx64 " is not in loaded memory",
                static_cast<std::uint64_t>(entry.d_tag), entry.d_un.d_ptr));
    }
    // Every linker writes the dynamic string table, and the loader reads names through it.
    std::uint64_t strings = 0;
    std::uint64_t strings_size = 0;
    if (image.find_dynamic(DT_STRTAB) == nullptr || image.find_dynamic(DT_STRSZ) == nullptr)
        problems.emplace_back("the dynamic table has no string table (DT_STRTAB, DT_STRSZ)");
    else if (!image.dynamic_strings(strings, strings_size))
        problems.emplace_back("the dynamic string table is not in the file's loaded bytes");
    else
        for (const Elf64_Dyn &entry : image.dynamic)
            if (is_string_tag(entry.d_tag) && entry.d_un.d_val >= strings_size)
                problems.emplace_back(
                    format_message("dynamic entry 0x%" PRIx64 ": string offset 0x%" PRIx64
                                   " is outside the string table",
                                   static_cast<std::uint64_t>(entry.d_tag), entry.d_un.d_val));
    // Tables the loader reads whole lie in the file's loaded bytes.
    for (const SizedTable &table : sized_tables) {
        const Elf64_Dyn *start = image.find_dynamic(table.address);
        const Elf64_Dyn *length = image.find_dynamic(table.size);
        std::uint64_t offset = 0;
        if (start != nullptr && length != nullptr && length->d_un.d_val != 0 &&
            !image.file_offset(start->d_un.d_ptr, length->d_un.d_val, offset))
            problems.emplace_back(format_message("dynamic entry 0x%" PRIx64 ": its 0x%" PRIx64
                                                 " bytes are not in the file's loaded bytes",
                                                 static_cast<std::uint64_t>(table.address),
                                                 length->d_un.d_val));
    }
    check_version_records(image, stream, problems);
}

// ---- The edit of one file --------------------------------------------------------------------

// A dynamic entry of the new table; a string entry whose text changes waits for its offset.
struct NewEntry {
    Elf64_Dyn entry{};
    long original = -1; // index in the old table, or -1 for a new entry
    bool pending = false;
    bool has_text = false; // the string changes to text
    std::string text;
};

// A change of bytes at an offset of the dynamic string table.
struct StringPatch {
    std::uint64_t offset;
    std::string bytes;
};

// One piece of the new space at the end of the file.
struct Placement {
    bool present = false;
    std::uint64_t offset = 0; // in the new file
    std::uint64_t address = 0;
    std::uint64_t size = 0;
};

class Editor {
  public:
    Editor(const EditOptions &options, std::string path, const char *program, FILE *out, FILE *err)
        : options_(options), path_(std::move(path)), program_(program), out_(out), err_(err),
          debug_(options.debug || std::getenv("PATCHELF_DEBUG") != nullptr) {}

    int run();

  private:
    void debug(const char *pattern, ...) __attribute__((format(printf, 2, 3)));
    void load();
    void print();
    bool modifies() const;
    void plan();
    void plan_dynamic();
    void place_strings();
    void layout();
    bool make_room_after_table(std::uint64_t table_end);
    void shift_moved_range();
    void write(int fd);
    void verify(const std::string &name);
    void replace();

    std::string read_string_at(std::uint64_t index);
    std::uint64_t interp_offset() const;
    std::string current_rpath(std::int64_t &tag, bool &found);
    std::string shrink(const std::string &rpath);
    bool symbol_count(std::uint64_t &offset, std::uint64_t &count);
    void block_referenced(std::vector<std::pair<std::uint64_t, std::uint64_t>> &ranges,
                          std::vector<bool> &blocked);
    void clear_versions();
    void rename_symbols();
    // Where the hash tables are (file offsets, 0 when absent) and their parameters.
    struct HashTables {
        std::uint64_t sysv;
        unsigned sysv_width;
        std::uint64_t sysv_buckets;
        std::uint64_t gnu;
        std::uint64_t gnu_buckets;
        std::uint64_t gnu_first;
        std::uint64_t bloom_size;
        std::uint64_t bloom_shift;
        unsigned word;
    };
    void reorder_symbols(const HashTables &tables, std::uint64_t offset, std::uint64_t count);
    void reorder_relocations(std::uint64_t symbols_address,
                             const std::vector<std::uint32_t> &index);
    void rename_version_needs();
    std::uint64_t append_string(const std::string &text);
    std::uint64_t read_word(std::uint64_t offset, unsigned width);
    void write_word(std::uint64_t offset, std::uint64_t value, unsigned width);
    std::uint64_t moved(std::uint64_t offset) const;

    const EditOptions &options_;
    std::string path_;
    const char *program_;
    FILE *out_;
    FILE *err_;
    bool debug_;

    File in_;
    struct stat in_status_ {};
    ElfImage image_;
    std::uint64_t page_ = 0x1000;

    // The plan.
    Elf64_Ehdr header_{};
    std::vector<Elf64_Phdr> segments_;
    std::vector<std::size_t> changed_sections_;
    std::vector<Elf64_Shdr> sections_;
    bool dynamic_changed_ = false;
    std::vector<NewEntry> entries_;
    std::uint64_t strtab_offset_ = 0;
    std::uint64_t strtab_size_ = 0;
    std::string appended_;
    std::vector<StringPatch> patches_;
    std::optional<std::string> interpreter_;
    bool interpreter_in_place_ = false;
    std::vector<std::pair<std::uint64_t, Elf64_Versym>> versym_writes_;
    std::vector<std::pair<std::uint64_t, Elf64_Sym>> symbol_writes_;
    std::vector<std::pair<std::uint64_t, Elf64_Verneed>> verneed_writes_;
    std::vector<std::pair<std::uint64_t, Elf64_Rel>> rel_writes_;
    // Each dynamic symbol's new index, when renames reordered them.
    std::vector<std::uint32_t> new_symbol_index_;
    std::vector<std::pair<std::uint64_t, Elf64_Rela>> rela_writes_;
    // Hash table words changed by renames: offset -> (value, width in bytes).
    std::map<std::uint64_t, std::pair<std::uint64_t, unsigned>> word_writes_;
    bool changed_ = false;

    // New space at the end.
    bool grow_ = false;
    std::uint64_t grow_offset_ = 0;
    std::uint64_t grow_address_ = 0;
    std::uint64_t grow_size_ = 0;
    Placement new_phdrs_, new_dynamic_, new_interp_, new_strings_;
    // Bytes after the program header table moved away so that the table can grow where it is.
    Placement moved_range_;
    std::uint64_t range_offset_ = 0; // where they were
    std::uint64_t range_address_ = 0;
};

void Editor::debug(const char *pattern, ...) {
    if (!debug_) return;
    va_list arguments;
    va_start(arguments, pattern);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): initialised above (false positive)
    std::vfprintf(err_, pattern, arguments);
    va_end(arguments);
    std::fputc('\n', err_);
}

void Editor::load() {
    in_.reset(std::fopen(path_.c_str(), "rb"));
    if (!in_ || fstat(fileno(in_.get()), &in_status_) != 0)
        throw EditError(
            format_message("getting info about '%s': %s", path_.c_str(), std::strerror(errno)));
    if (!S_ISREG(in_status_.st_mode))
        throw EditError(format_message("'%s' is not a regular file", path_.c_str()));
    std::vector<std::string> problems;
    const bool usable =
        image_.load(in_.get(), 0, [&](const std::string &message) { problems.push_back(message); });
    if (usable) check_invariants(image_, in_.get(), problems);
    if (!problems.empty()) throw EditError(problems.front());
    if (image_.header.e_type != ET_EXEC && image_.header.e_type != ET_DYN)
        throw EditError("wrong ELF type (not an executable or shared library)");
    page_ =
        options_.page_size != 0 ? options_.page_size : machine_page_size(image_.header.e_machine);
}

std::string Editor::read_string_at(std::uint64_t index) {
    std::string text;
    if (!image_.dynamic_string(in_.get(), index, text))
        throw EditError(format_message(
            "string offset 0x%" PRIx64 " is outside the dynamic string table", index));
    return text;
}

std::string Editor::current_rpath(std::int64_t &tag, bool &found) {
    found = false;
    for (const Elf64_Dyn &entry : image_.dynamic)
        if (entry.d_tag == DT_RPATH || entry.d_tag == DT_RUNPATH) {
            found = true;
            tag = entry.d_tag;
            return read_string_at(entry.d_un.d_val);
        }
    return {};
}

void Editor::print() {
    if (options_.print_interpreter) {
        const auto interp = std::find_if(image_.segments.begin(), image_.segments.end(),
                                         [](const Elf64_Phdr &p) { return p.p_type == PT_INTERP; });
        if (interp == image_.segments.end())
            throw EditError("cannot find section '.interp'. The input file is most likely "
                            "statically linked");
        std::string bytes;
        image_.read_bytes(in_.get(), interp->p_offset, interp->p_filesz, bytes);
        std::fprintf(out_, "%s\n", bytes.c_str());
    }
    if (options_.print_os_abi)
        std::fprintf(out_, "%s\n", os_abi_name(image_.header.e_ident[EI_OSABI]));
    // A file without a dynamic table has no SONAME (nothing is printed), but no rpath or needed
    // list either, which is an error, as patchelf has it.
    if ((options_.print_rpath || options_.print_needed) && !image_.has_dynamic)
        throw EditError("cannot find section '.dynamic'. The input file is most likely "
                        "statically linked");
    if (options_.print_soname) {
        if (const Elf64_Dyn *soname = image_.find_dynamic(DT_SONAME))
            std::fprintf(out_, "%s\n", read_string_at(soname->d_un.d_val).c_str());
    }
    if (options_.print_rpath) {
        std::int64_t tag = 0;
        bool found = false;
        std::fprintf(out_, "%s\n", current_rpath(tag, found).c_str());
    }
    if (options_.print_needed)
        for (const Elf64_Dyn &entry : image_.dynamic)
            if (entry.d_tag == DT_NEEDED)
                std::fprintf(out_, "%s\n", read_string_at(entry.d_un.d_val).c_str());
    if (options_.print_execstack) {
        char state = '?';
        for (const Elf64_Phdr &p : image_.segments)
            if (p.p_type == PT_GNU_STACK) state = (p.p_flags & PF_X) != 0 ? 'X' : '-';
        std::fprintf(out_, "execstack: %c\n", state);
    }
}

bool Editor::modifies() const {
    const EditOptions &o = options_;
    return o.set_interpreter || o.set_soname || o.set_rpath || o.add_rpath || o.remove_rpath ||
           o.shrink_rpath || !o.add_needed.empty() || !o.remove_needed.empty() ||
           !o.replace_needed.empty() || o.no_default_lib || o.add_debug_tag ||
           !o.clear_symbol_version.empty() || o.execstack != 0 || o.os_abi ||
           !o.rename_symbols.empty();
}

// Keeps the directories of an rpath where a needed library (of this file's class and machine)
// is found first; relative and $ORIGIN entries stay, directories outside the allowed prefixes go.
std::string Editor::shrink(const std::string &rpath) {
    std::vector<std::string> needed;
    for (const Elf64_Dyn &entry : image_.dynamic)
        if (entry.d_tag == DT_NEEDED) needed.push_back(read_string_at(entry.d_un.d_val));
    std::vector<bool> found(needed.size(), false);
    std::string result;
    std::size_t start = 0;
    while (start <= rpath.size()) {
        std::size_t end = rpath.find(':', start);
        if (end == std::string::npos) end = rpath.size();
        const std::string directory = rpath.substr(start, end - start);
        start = end + 1;
        if (directory.empty()) continue;
        bool keep = directory[0] != '/';
        if (!keep) {
            bool allowed = options_.allowed_rpath_prefixes.empty();
            for (const std::string &prefix : options_.allowed_rpath_prefixes)
                if (directory.compare(0, prefix.size(), prefix) == 0) allowed = true;
            for (std::size_t i = 0; allowed && i < needed.size(); ++i) {
                if (found[i]) continue;
                File library(std::fopen((directory + "/" + needed[i]).c_str(), "rb"));
                unsigned char ident[EI_NIDENT + 4] = {};
                if (!library || std::fread(ident, 1, sizeof ident, library.get()) != sizeof ident)
                    continue;
                if (std::memcmp(ident, ELFMAG, SELFMAG) != 0 ||
                    ident[EI_CLASS] != image_.header.e_ident[EI_CLASS])
                    continue;
                const unsigned machine = ident[EI_DATA] == ELFDATA2MSB
                                             ? (ident[18] << 8U) | ident[19]
                                             : (ident[19] << 8U) | ident[18];
                if (machine != image_.header.e_machine) continue;
                found[i] = true;
                keep = true;
            }
        }
        debug(keep ? "keeping rpath entry '%s'" : "removing rpath entry '%s'", directory.c_str());
        if (!keep) continue;
        if (!result.empty()) result += ':';
        result += directory;
    }
    return result;
}

void Editor::plan() {
    header_ = image_.header;
    segments_ = image_.segments;
    sections_ = image_.sections;
    if (options_.os_abi && *options_.os_abi != header_.e_ident[EI_OSABI]) {
        header_.e_ident[EI_OSABI] = *options_.os_abi;
        changed_ = true;
    }
    if (options_.set_interpreter) {
        const auto interp = std::find_if(segments_.begin(), segments_.end(),
                                         [](const Elf64_Phdr &p) { return p.p_type == PT_INTERP; });
        if (interp == segments_.end())
            throw EditError("cannot find section '.interp'. The input file is most likely "
                            "statically linked");
        interpreter_ = *options_.set_interpreter;
        if (interpreter_->find('\0') != std::string::npos)
            throw EditError("the interpreter's name holds a NUL byte");
        interpreter_in_place_ = interpreter_->size() + 1 <= interp->p_filesz;
        debug("new interpreter is '%s'%s", interpreter_->c_str(),
              interpreter_in_place_ ? " (in place)" : " (moved)");
        changed_ = true;
    }
    if (options_.execstack != 0) {
        auto stack = std::find_if(segments_.begin(), segments_.end(),
                                  [](const Elf64_Phdr &p) { return p.p_type == PT_GNU_STACK; });
        if (stack == segments_.end()) {
            Elf64_Phdr added{};
            added.p_type = PT_GNU_STACK;
            added.p_flags = PF_R | PF_W;
            added.p_align = image_.wide ? 16 : 4;
            segments_.push_back(added);
            stack = segments_.end() - 1;
        }
        const Elf64_Word flags =
            options_.execstack > 0 ? (stack->p_flags | PF_X) : (stack->p_flags & ~Elf64_Word{PF_X});
        if (flags != stack->p_flags || segments_.size() != image_.segments.size()) changed_ = true;
        stack->p_flags = flags;
    }
    plan_dynamic();
    if (!options_.clear_symbol_version.empty()) clear_versions();
}

void Editor::plan_dynamic() {
    const EditOptions &o = options_;
    const bool dynamic_work = o.set_soname || o.set_rpath || o.add_rpath || o.remove_rpath ||
                              o.shrink_rpath || !o.add_needed.empty() || !o.remove_needed.empty() ||
                              !o.replace_needed.empty() || o.no_default_lib || o.add_debug_tag ||
                              !o.clear_symbol_version.empty() || !o.rename_symbols.empty();
    if (!dynamic_work) return;
    if (!image_.has_dynamic)
        throw EditError("cannot find section '.dynamic'. The input file is most likely "
                        "statically linked");
    if (!image_.dynamic_strings(strtab_offset_, strtab_size_))
        throw EditError("the dynamic string table is not in the file");

    for (std::size_t i = 0; i < image_.dynamic.size(); ++i) {
        if (image_.dynamic[i].d_tag == DT_NULL) break;
        NewEntry e;
        e.entry = image_.dynamic[i];
        e.original = static_cast<long>(i);
        entries_.push_back(e);
    }
    auto set_text = [&](NewEntry &e, const std::string &text) {
        if (text.find('\0') != std::string::npos)
            throw EditError("a dynamic string holds a NUL byte");
        if (!e.pending && e.original >= 0 &&
            read_string_at(image_.dynamic[static_cast<std::size_t>(e.original)].d_un.d_val) == text)
            return;
        e.pending = true;
        e.has_text = true;
        e.text = text;
        dynamic_changed_ = true;
    };
    auto add_entry = [&](std::int64_t tag, std::size_t position) -> NewEntry & {
        NewEntry e;
        e.entry.d_tag = tag;
        dynamic_changed_ = true;
        return *entries_.insert(entries_.begin() + static_cast<long>(position), e);
    };
    auto find = [&](std::int64_t tag) -> NewEntry * {
        for (NewEntry &e : entries_)
            if (e.entry.d_tag == tag) return &e;
        return nullptr;
    };

    if (o.set_soname) {
        NewEntry *soname = find(DT_SONAME);
        if (soname == nullptr) soname = &add_entry(DT_SONAME, entries_.size());
        set_text(*soname, *o.set_soname);
        debug("new SONAME is '%s'", o.set_soname->c_str());
    }

    if (o.set_rpath || o.add_rpath || o.remove_rpath || o.shrink_rpath) {
        std::int64_t tag = DT_RUNPATH;
        bool found = false;
        std::string rpath = current_rpath(tag, found);
        bool remove = false;
        if (o.remove_rpath) {
            remove = true;
            rpath.clear();
        }
        if (o.shrink_rpath && !remove) rpath = shrink(rpath);
        if (o.set_rpath) {
            rpath = *o.set_rpath;
            remove = false;
        }
        if (o.add_rpath) {
            rpath = rpath.empty() ? *o.add_rpath : rpath + ":" + *o.add_rpath;
            remove = false;
        }
        if (remove) {
            const auto before = entries_.size();
            std::erase_if(entries_, [](const NewEntry &e) {
                return e.entry.d_tag == DT_RPATH || e.entry.d_tag == DT_RUNPATH;
            });
            if (entries_.size() != before) dynamic_changed_ = true;
        } else if (found || o.set_rpath || o.add_rpath) {
            const std::int64_t new_tag = o.force_rpath ? DT_RPATH : DT_RUNPATH;
            // The first rpath entry takes the value and the tag; others go.
            bool first = true;
            std::vector<NewEntry> kept;
            for (NewEntry &e : entries_) {
                if (e.entry.d_tag != DT_RPATH && e.entry.d_tag != DT_RUNPATH) {
                    kept.push_back(e);
                    continue;
                }
                if (!first) {
                    dynamic_changed_ = true;
                    continue;
                }
                first = false;
                if (e.entry.d_tag != new_tag) dynamic_changed_ = true;
                e.entry.d_tag = new_tag;
                set_text(e, rpath);
                kept.push_back(e);
            }
            entries_ = std::move(kept);
            if (first) set_text(add_entry(new_tag, entries_.size()), rpath);
            debug("new rpath is '%s'", rpath.c_str());
        }
    }

    for (const std::string &name : o.remove_needed) {
        const auto before = entries_.size();
        std::erase_if(entries_, [&](const NewEntry &e) {
            return e.entry.d_tag == DT_NEEDED && e.original >= 0 && !e.pending &&
                   read_string_at(e.entry.d_un.d_val) == name;
        });
        if (entries_.size() != before) dynamic_changed_ = true;
    }
    for (const auto &[from, to] : o.replace_needed)
        for (NewEntry &e : entries_)
            if (e.entry.d_tag == DT_NEEDED && e.original >= 0 && !e.pending &&
                read_string_at(e.entry.d_un.d_val) == from) {
                set_text(e, to);
                debug("replacing DT_NEEDED entry '%s' with '%s'", from.c_str(), to.c_str());
            }
    for (std::size_t i = 0; i < o.add_needed.size(); ++i)
        set_text(add_entry(DT_NEEDED, i), o.add_needed[i]);

    if (o.no_default_lib) {
        NewEntry *flags = find(DT_FLAGS_1);
        if (flags == nullptr) flags = &add_entry(DT_FLAGS_1, entries_.size());
        if ((flags->entry.d_un.d_val & DF_1_NODEFLIB) == 0) dynamic_changed_ = true;
        flags->entry.d_un.d_val |= DF_1_NODEFLIB;
    }
    if (o.add_debug_tag && find(DT_DEBUG) == nullptr) add_entry(DT_DEBUG, entries_.size());
    if (dynamic_changed_) {
        changed_ = true;
        place_strings();
    }
    if (!o.replace_needed.empty()) rename_version_needs();
    if (!o.rename_symbols.empty()) rename_symbols();
}

// The dynamic symbol table's file offset and number of symbols, when known.
bool Editor::symbol_count(std::uint64_t &offset, std::uint64_t &count) {
    const Elf64_Dyn *symtab = image_.find_dynamic(DT_SYMTAB);
    if (symtab == nullptr) return false;
    const std::uint64_t size = image_.wide ? sizeof(Elf64_Sym) : sizeof(Elf32_Sym);
    for (const Elf64_Shdr &s : image_.sections)
        if (s.sh_type == SHT_DYNSYM && s.sh_addr == symtab->d_un.d_ptr) {
            count = s.sh_size / size;
            return image_.file_offset(symtab->d_un.d_ptr, count * size, offset);
        }
    const Elf64_Dyn *hash = image_.find_dynamic(DT_HASH);
    std::uint64_t hash_offset = 0;
    const bool wide_words =
        (image_.header.e_machine == EM_S390 || image_.header.e_machine == EM_ALPHA) && image_.wide;
    if (hash == nullptr || !image_.file_offset(hash->d_un.d_ptr, wide_words ? 16 : 8, hash_offset))
        return false;
    if (!image_.seek(in_.get(), hash_offset + (wide_words ? 8 : 4))) return false;
    if (wide_words) {
        Elf64_Xword chains = 0;
        if (quenza_read_Xword(in_.get(), &chains) != 1) return false;
        count = chains;
    } else {
        Elf64_Word chains = 0;
        if (quenza_read_Word(in_.get(), &chains) != 1) return false;
        count = chains;
    }
    return count <= image_.file_size / size &&
           image_.file_offset(symtab->d_un.d_ptr, count * size, offset);
}

// Marks each candidate range [start, end] of the string table that something else refers to:
// kept dynamic entries, dynamic symbols, version records. When the references cannot all be
// found, every candidate is blocked.
void Editor::block_referenced(std::vector<std::pair<std::uint64_t, std::uint64_t>> &ranges,
                              std::vector<bool> &blocked) {
    auto mark = [&](std::uint64_t reference) {
        for (std::size_t i = 0; i < ranges.size(); ++i)
            if (reference >= ranges[i].first && reference <= ranges[i].second) blocked[i] = true;
    };
    auto block_all = [&] { std::fill(blocked.begin(), blocked.end(), true); };
    for (const NewEntry &e : entries_)
        if (!e.pending && is_string_tag(e.entry.d_tag)) mark(e.entry.d_un.d_val);
    for (const Elf64_Dyn &entry : image_.dynamic)
        if (is_string_tag(entry.d_tag) && entry.d_tag != DT_NEEDED && entry.d_tag != DT_SONAME &&
            entry.d_tag != DT_RPATH && entry.d_tag != DT_RUNPATH)
            mark(entry.d_un.d_val);

    std::uint64_t offset = 0;
    std::uint64_t count = 0;
    if (image_.find_dynamic(DT_SYMTAB) != nullptr) {
        if (!symbol_count(offset, count) || !image_.seek(in_.get(), offset)) return block_all();
        std::vector<Elf64_Sym> symbols(std::min<std::uint64_t>(count, 4096));
        for (std::uint64_t done = 0; done < count;) {
            const int chunk = static_cast<int>(std::min<std::uint64_t>(count - done, 4096));
            if (quenza_read_Syms(in_.get(), symbols.data(), chunk) != chunk) return block_all();
            for (int i = 0; i < chunk; ++i)
                mark(symbols[static_cast<std::size_t>(i)].st_name);
            done += static_cast<std::uint64_t>(chunk);
        }
    }
    // Version needs and definitions name files and versions in the same table.
    auto walk = [&](std::int64_t table_tag, std::int64_t count_tag, bool needs) -> bool {
        const Elf64_Dyn *table = image_.find_dynamic(table_tag);
        if (table == nullptr) return true;
        const Elf64_Dyn *number = image_.find_dynamic(count_tag);
        if (number == nullptr) return false;
        std::uint64_t at = 0;
        if (!image_.file_offset(table->d_un.d_ptr, 1, at)) return false;
        std::uint64_t budget = image_.file_size / 8 + 1;
        for (std::uint64_t n = 0; n < number->d_un.d_val; ++n) {
            if (--budget == 0 || !image_.in_file(at, 16) || !image_.seek(in_.get(), at))
                return false;
            std::uint64_t aux = at;
            std::uint64_t aux_count = 0;
            std::uint64_t next = 0;
            if (needs) {
                Elf64_Verneed need{};
                if (quenza_read_Verneed(in_.get(), &need) != 1) return false;
                mark(need.vn_file);
                aux += need.vn_aux;
                aux_count = need.vn_cnt;
                next = need.vn_next;
            } else {
                Elf64_Verdef definition{};
                if (quenza_read_Verdef(in_.get(), &definition) != 1) return false;
                aux += definition.vd_aux;
                aux_count = definition.vd_cnt;
                next = definition.vd_next;
            }
            for (std::uint64_t k = 0; k < aux_count; ++k) {
                if (--budget == 0 || !image_.in_file(aux, 16) || !image_.seek(in_.get(), aux))
                    return false;
                std::uint64_t step = 0;
                if (needs) {
                    Elf64_Vernaux record{};
                    if (quenza_read_Vernaux(in_.get(), &record) != 1) return false;
                    mark(record.vna_name);
                    step = record.vna_next;
                } else {
                    Elf64_Verdaux record{};
                    if (quenza_read_Verdaux(in_.get(), &record) != 1) return false;
                    mark(record.vda_name);
                    step = record.vda_next;
                }
                if (step == 0) break;
                aux += step;
            }
            if (next == 0) break;
            at += next;
        }
        return true;
    };
    if (!walk(DT_VERNEED, DT_VERNEEDNUM, true) || !walk(DT_VERDEF, DT_VERDEFNUM, false))
        block_all();
}

// Gives every pending string an offset: over its old string when the new text fits and nothing
// else refers to those bytes, else appended to a copy of the table.
void Editor::place_strings() {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges; // old string [start, NUL]
    std::vector<std::size_t> owners;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const NewEntry &e = entries_[i];
        if (!e.pending || e.original < 0) continue;
        const std::uint64_t start = image_.dynamic[static_cast<std::size_t>(e.original)].d_un.d_val;
        if (start == 0) continue;
        // Only a whole string (the byte before it is a NUL) can be overwritten.
        std::string before;
        if (!image_.read_bytes(in_.get(), strtab_offset_ + start - 1, 1, before) ||
            before[0] != '\0')
            continue;
        const std::string old = read_string_at(start);
        if (e.text.size() > old.size()) continue;
        ranges.emplace_back(start, start + old.size());
        owners.push_back(i);
    }
    std::vector<bool> blocked(ranges.size(), false);
    if (!ranges.empty()) block_referenced(ranges, blocked);
    // Two pending entries over one string cannot both be written there.
    for (std::size_t i = 0; i < ranges.size(); ++i)
        for (std::size_t k = 0; k < i; ++k)
            if (ranges[i].first <= ranges[k].second && ranges[k].first <= ranges[i].second)
                blocked[i] = true;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (blocked[i]) continue;
        NewEntry &e = entries_[owners[i]];
        StringPatch patch{ranges[i].first, e.text};
        patch.bytes.resize(ranges[i].second - ranges[i].first + 1, '\0');
        patches_.push_back(patch);
        e.entry.d_un.d_val = ranges[i].first;
        e.pending = false;
        debug("string '%s' written in place at 0x%" PRIx64, e.text.c_str(), ranges[i].first);
    }
    for (NewEntry &e : entries_) {
        if (!e.pending) continue;
        const std::string wanted = e.text + '\0';
        std::size_t at = 0;
        for (at = 0; at < appended_.size(); at = appended_.find('\0', at) + 1)
            if (appended_.compare(at, wanted.size(), wanted) == 0) break;
        if (at >= appended_.size()) {
            at = appended_.size();
            appended_ += wanted;
        }
        e.entry.d_un.d_val = strtab_size_ + at;
        e.pending = false;
    }
}

void Editor::clear_versions() {
    const Elf64_Dyn *versym = image_.find_dynamic(DT_VERSYM);
    std::uint64_t offset = 0;
    std::uint64_t count = 0;
    if (versym == nullptr) throw EditError("no symbol version table");
    if (!symbol_count(offset, count))
        throw EditError("cannot find the dynamic symbol table's size");
    std::uint64_t versym_offset = 0;
    if (!image_.file_offset(versym->d_un.d_ptr, count * 2, versym_offset))
        throw EditError("the symbol version table is outside the file");
    std::vector<Elf64_Sym> symbols(std::min<std::uint64_t>(count, 4096));
    for (std::uint64_t done = 0; done < count;) {
        const int chunk = static_cast<int>(std::min<std::uint64_t>(count - done, 4096));
        if (!image_.seek(in_.get(), offset + done * (image_.wide ? 24 : 16)) ||
            quenza_read_Syms(in_.get(), symbols.data(), chunk) != chunk)
            throw EditError("cannot read the dynamic symbol table");
        for (int i = 0; i < chunk; ++i) {
            std::string name;
            if (!image_.dynamic_string(in_.get(), symbols[static_cast<std::size_t>(i)].st_name,
                                       name))
                continue;
            for (const std::string &wanted : options_.clear_symbol_version)
                if (name == wanted) {
                    std::uint64_t index = done + static_cast<std::uint64_t>(i);
                    if (index < new_symbol_index_.size()) index = new_symbol_index_[index];
                    versym_writes_.emplace_back(versym_offset + index * 2, VER_NDX_GLOBAL);
                    debug("clearing symbol version for %s", name.c_str());
                }
        }
        done += static_cast<std::uint64_t>(chunk);
    }
    if (!versym_writes_.empty()) changed_ = true;
}

// A replaced needed library is also renamed in the version needs that name it: the loader finds
// the library a version need refers to by that name.
void Editor::rename_version_needs() {
    const Elf64_Dyn *table = image_.find_dynamic(DT_VERNEED);
    const Elf64_Dyn *number = image_.find_dynamic(DT_VERNEEDNUM);
    if (table == nullptr || number == nullptr) return;
    std::uint64_t at = 0;
    if (!image_.file_offset(table->d_un.d_ptr, 16, at))
        throw EditError("the version needs are outside the file");
    for (std::uint64_t n = 0; n < number->d_un.d_val && n <= image_.file_size / 16; ++n) {
        Elf64_Verneed need{};
        if (!image_.in_file(at, 16) || !image_.seek(in_.get(), at) ||
            quenza_read_Verneed(in_.get(), &need) != 1)
            throw EditError("cannot read the version needs");
        const std::string file = read_string_at(need.vn_file);
        for (const auto &[from, to] : options_.replace_needed)
            if (file == from && to != from) {
                need.vn_file = static_cast<Elf64_Word>(append_string(to));
                verneed_writes_.emplace_back(at, need);
                changed_ = true;
                dynamic_changed_ = true;
                debug("renaming version need file '%s' to '%s'", from.c_str(), to.c_str());
                break;
            }
        if (need.vn_next == 0) break;
        at += need.vn_next;
    }
}

std::uint64_t Editor::append_string(const std::string &text) {
    const std::string wanted = text + '\0';
    for (std::size_t at = 0; at < appended_.size(); at = appended_.find('\0', at) + 1)
        if (appended_.compare(at, wanted.size(), wanted) == 0) return strtab_size_ + at;
    const std::uint64_t at = strtab_size_ + appended_.size();
    appended_ += wanted;
    return at;
}

std::uint64_t Editor::read_word(std::uint64_t offset, unsigned width) {
    if (const auto written = word_writes_.find(offset); written != word_writes_.end())
        return written->second.first;
    if (!image_.in_file(offset, width) || !image_.seek(in_.get(), offset))
        throw EditError("a hash table is outside the file");
    if (width == 8) {
        Elf64_Xword value = 0;
        if (quenza_read_Xword(in_.get(), &value) != 1) throw EditError("cannot read a hash table");
        return value;
    }
    Elf64_Word value = 0;
    if (quenza_read_Word(in_.get(), &value) != 1) throw EditError("cannot read a hash table");
    return value;
}

void Editor::write_word(std::uint64_t offset, std::uint64_t value, unsigned width) {
    word_writes_[offset] = {value, width};
}

// Where bytes of the input at offset are in the result (the range after the program header
// table may move).
std::uint64_t Editor::moved(std::uint64_t offset) const {
    if (moved_range_.present && offset >= range_offset_ &&
        offset - range_offset_ < moved_range_.size)
        return offset - range_offset_ + moved_range_.offset;
    return offset;
}

// Renames dynamic symbols: the new names are appended to the string table, and both hash tables
// follow. In the SysV table the symbol moves to its new bucket's chain; in the GNU table the
// symbols of a bucket are contiguous, so a defined symbol whose new name falls in another bucket
// would need the symbol table reordered: that rename is refused.
void Editor::rename_symbols() {
    std::uint64_t offset = 0;
    std::uint64_t count = 0;
    if (!symbol_count(offset, count))
        throw EditError("cannot find the dynamic symbol table's size");
    const std::uint64_t symbol_size = image_.wide ? 24 : 16;
    const unsigned word = image_.wide ? 8 : 4;
    // SysV hash: nbucket, nchain, buckets, chains (8-byte words on s390x and Alpha).
    const unsigned sysv_width =
        image_.wide && (image_.header.e_machine == EM_S390 || image_.header.e_machine == EM_ALPHA)
            ? 8
            : 4;
    std::uint64_t sysv = 0;
    std::uint64_t sysv_buckets = 0;
    if (const Elf64_Dyn *hash = image_.find_dynamic(DT_HASH)) {
        if (!image_.file_offset(hash->d_un.d_ptr, 2ULL * sysv_width, sysv))
            throw EditError("the hash table is outside the file");
        sysv_buckets = read_word(sysv, sysv_width);
        if (sysv_buckets == 0 || !image_.in_file(sysv, (2 + sysv_buckets + count) * sysv_width))
            throw EditError("the hash table is outside the file");
    }
    std::uint64_t gnu = 0;
    std::uint64_t gnu_buckets = 0;
    std::uint64_t gnu_first = 0;
    std::uint64_t bloom_size = 0;
    std::uint64_t bloom_shift = 0;
    if (const Elf64_Dyn *hash = image_.find_dynamic(DT_GNU_HASH)) {
        if (!image_.file_offset(hash->d_un.d_ptr, 16, gnu))
            throw EditError("the GNU hash table is outside the file");
        gnu_buckets = read_word(gnu, 4);
        gnu_first = read_word(gnu + 4, 4);
        bloom_size = read_word(gnu + 8, 4);
        bloom_shift = read_word(gnu + 12, 4);
        if (gnu_buckets == 0 || bloom_size == 0 || gnu_first > count ||
            !image_.in_file(gnu, 16 + bloom_size * word + (gnu_buckets + count - gnu_first) * 4))
            throw EditError("the GNU hash table is outside the file");
    }
    std::vector<Elf64_Sym> symbols(std::min<std::uint64_t>(count, 4096));
    bool renamed = false;
    bool reorder = false;
    for (std::uint64_t done = 0; done < count;) {
        const int chunk = static_cast<int>(std::min<std::uint64_t>(count - done, 4096));
        if (!image_.seek(in_.get(), offset + done * symbol_size) ||
            quenza_read_Syms(in_.get(), symbols.data(), chunk) != chunk)
            throw EditError("cannot read the dynamic symbol table");
        for (int k = 0; k < chunk; ++k) {
            Elf64_Sym symbol = symbols[static_cast<std::size_t>(k)];
            const std::uint64_t index = done + static_cast<std::uint64_t>(k);
            std::string name;
            if (index == 0 || !image_.dynamic_string(in_.get(), symbol.st_name, name)) continue;
            const auto rule = std::find_if(
                options_.rename_symbols.begin(), options_.rename_symbols.end(),
                [&](const std::pair<std::string, std::string> &r) { return r.first == name; });
            if (rule == options_.rename_symbols.end() || rule->second == name) continue;
            const std::string &to = rule->second;
            if (image_.header.e_machine == EM_MIPS && image_.find_dynamic(DT_MIPS_XHASH) != nullptr)
                throw EditError("cannot rename dynamic symbols in a file with a MIPS hash table "
                                "(DT_MIPS_XHASH), whose order is part of the GOT");
            if (to.empty() || to.find('\0') != std::string::npos)
                throw EditError("invalid new name for symbol '" + name + "'");
            if (gnu != 0 && index >= gnu_first &&
                gnu_hash(name) % gnu_buckets != gnu_hash(to) % gnu_buckets)
                reorder = true;
            if (gnu != 0 && index >= gnu_first && !reorder) {
                const std::uint32_t new_hash = gnu_hash(to);
                const std::uint64_t chain =
                    gnu + 16 + bloom_size * word + gnu_buckets * 4 + (index - gnu_first) * 4;
                const std::uint64_t last = read_word(chain, 4) & 1U;
                write_word(chain, (new_hash & ~1U) | last, 4);
                const unsigned bits = word * 8;
                const std::uint64_t bloom = gnu + 16 + ((new_hash / bits) % bloom_size) * word;
                const std::uint64_t mask = (std::uint64_t{1} << (new_hash % bits)) |
                                           (std::uint64_t{1} << ((new_hash >> bloom_shift) % bits));
                write_word(bloom, read_word(bloom, word) | mask, word);
            }
            if (sysv != 0) {
                const std::uint64_t from = sysv_hash(name) % sysv_buckets;
                const std::uint64_t into = sysv_hash(to) % sysv_buckets;
                const std::uint64_t buckets = sysv + 2ULL * sysv_width;
                const std::uint64_t chains = buckets + sysv_buckets * sysv_width;
                if (from != into) {
                    // Unlink from the old chain (bounded walk), then put first in the new one.
                    std::uint64_t link = buckets + from * sysv_width;
                    for (std::uint64_t steps = 0;; ++steps) {
                        const std::uint64_t next = read_word(link, sysv_width);
                        if (next == 0 || next >= count || steps > count)
                            throw EditError("symbol '" + name + "' is not in its hash chain");
                        if (next == index) break;
                        link = chains + next * sysv_width;
                    }
                    write_word(link, read_word(chains + index * sysv_width, sysv_width),
                               sysv_width);
                    const std::uint64_t head = buckets + into * sysv_width;
                    write_word(chains + index * sysv_width, read_word(head, sysv_width),
                               sysv_width);
                    write_word(head, index, sysv_width);
                }
            }
            symbol.st_name = static_cast<Elf64_Word>(append_string(to));
            symbol_writes_.emplace_back(offset + index * symbol_size, symbol);
            debug("renaming dynamic symbol %s to %s", name.c_str(), to.c_str());
            renamed = true;
        }
        done += static_cast<std::uint64_t>(chunk);
    }
    if (renamed) {
        changed_ = true;
        dynamic_changed_ = true;
    }
    if (reorder)
        reorder_symbols(HashTables{sysv, sysv_width, sysv_buckets, gnu, gnu_buckets, gnu_first,
                                   bloom_size, bloom_shift, word},
                        offset, count);
}

// A defined symbol renamed into another bucket of the GNU hash table: the symbols the table holds
// are sorted by bucket again, and everything that indexes them follows the new order: the
// version table, both hash tables, and the symbol of every dynamic relocation.
void Editor::reorder_symbols(const HashTables &tables, std::uint64_t offset, std::uint64_t count) {
    if (image_.header.e_machine == EM_MIPS)
        throw EditError("cannot reorder the dynamic symbols on MIPS, where their order is part "
                        "of the GOT (DT_MIPS_GOTSYM)");
    if (image_.find_dynamic(DT_SYMINFO) != nullptr)
        throw EditError("cannot reorder the dynamic symbols: symbol information (DT_SYMINFO) "
                        "indexes them");
    for (const Elf64_Shdr &s : image_.sections)
        if (s.sh_type == SHT_SYMTAB_SHNDX || s.sh_type == SHT_SUNW_syminfo) {
            const std::uint64_t link = s.sh_link;
            if (link < image_.sections.size() && image_.sections[link].sh_type == SHT_DYNSYM)
                throw EditError("cannot reorder the dynamic symbols: another section indexes "
                                "them");
        }
    if (count > INT_MAX) throw EditError("too many dynamic symbols");
    if (tables.sysv != 0 && read_word(tables.sysv + tables.sysv_width, tables.sysv_width) != count)
        throw EditError("the hash table's chain count differs from the number of dynamic symbols");
    const std::uint64_t symbol_size = image_.wide ? 24 : 16;
    std::vector<Elf64_Sym> all(count);
    if (!image_.seek(in_.get(), offset) ||
        quenza_read_Syms(in_.get(), all.data(), static_cast<int>(count)) != static_cast<int>(count))
        throw EditError("cannot read the dynamic symbol table");
    std::vector<bool> renamed(count, false);
    for (const auto &[at, symbol] : symbol_writes_) {
        all[(at - offset) / symbol_size] = symbol;
        renamed[(at - offset) / symbol_size] = true;
    }
    std::vector<std::string> names(count);
    for (std::uint64_t i = 1; i < count; ++i) {
        const std::uint64_t name = all[i].st_name;
        if (renamed[i]) {
            names[i] = appended_.c_str() + (name - strtab_size_); // appended by the rename
        } else if (!image_.dynamic_string(in_.get(), name, names[i])) {
            throw EditError(
                format_message("dynamic symbol %" PRIu64 " has no name in the string table", i));
        }
    }
    // order[new index] = old index; index[old index] = new index.
    std::vector<std::uint32_t> order(count);
    for (std::uint64_t i = 0; i < count; ++i)
        order[i] = static_cast<std::uint32_t>(i);
    auto bucket = [&](std::uint32_t i) { return gnu_hash(names[i]) % tables.gnu_buckets; };
    std::stable_sort(order.begin() + static_cast<long>(tables.gnu_first), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return bucket(a) < bucket(b); });
    std::vector<std::uint32_t> index(count);
    for (std::uint64_t i = 0; i < count; ++i)
        index[order[i]] = static_cast<std::uint32_t>(i);

    symbol_writes_.clear();
    word_writes_.clear();
    for (std::uint64_t i = tables.gnu_first; i < count; ++i)
        symbol_writes_.emplace_back(offset + i * symbol_size, all[order[i]]);
    if (const Elf64_Dyn *versym = image_.find_dynamic(DT_VERSYM)) {
        std::uint64_t at = 0;
        if (!image_.file_offset(versym->d_un.d_ptr, count * 2, at))
            throw EditError("the symbol version table is outside the file");
        std::vector<Elf64_Versym> versions(count);
        if (!image_.seek(in_.get(), at)) throw EditError("cannot read the symbol version table");
        for (Elf64_Versym &version : versions)
            if (quenza_read_Versym(in_.get(), &version) != 1)
                throw EditError("cannot read the symbol version table");
        for (std::uint64_t i = tables.gnu_first; i < count; ++i)
            versym_writes_.emplace_back(at + i * 2, versions[order[i]]);
    }
    // GNU hash: buckets and chains anew; the Bloom filter gains the new names' bits.
    const std::uint64_t bloom = tables.gnu + 16;
    const std::uint64_t buckets = bloom + tables.bloom_size * tables.word;
    const std::uint64_t chains = buckets + tables.gnu_buckets * 4;
    const unsigned bits = tables.word * 8;
    for (std::uint64_t b = 0; b < tables.gnu_buckets; ++b)
        write_word(buckets + b * 4, 0, 4);
    for (std::uint64_t i = tables.gnu_first; i < count; ++i) {
        const std::uint32_t hash = gnu_hash(names[order[i]]);
        const std::uint64_t b = hash % tables.gnu_buckets;
        if (read_word(buckets + b * 4, 4) == 0) write_word(buckets + b * 4, i, 4);
        const bool last = i + 1 == count || bucket(order[i + 1]) != b;
        write_word(chains + (i - tables.gnu_first) * 4, (hash & ~1U) | (last ? 1U : 0U), 4);
        const std::uint64_t filter = bloom + ((hash / bits) % tables.bloom_size) * tables.word;
        const std::uint64_t mask = (std::uint64_t{1} << (hash % bits)) |
                                   (std::uint64_t{1} << ((hash >> tables.bloom_shift) % bits));
        write_word(filter, read_word(filter, tables.word) | mask, tables.word);
    }
    // SysV hash: every chain anew, in the new order.
    if (tables.sysv != 0) {
        const unsigned width = tables.sysv_width;
        const std::uint64_t heads = tables.sysv + 2ULL * width;
        const std::uint64_t links = heads + tables.sysv_buckets * width;
        for (std::uint64_t b = 0; b < tables.sysv_buckets; ++b)
            write_word(heads + b * width, 0, width);
        write_word(links, 0, width);
        for (std::uint64_t i = count - 1; i >= 1; --i) {
            const std::uint64_t head =
                heads + (sysv_hash(names[order[i]]) % tables.sysv_buckets) * width;
            write_word(links + i * width, read_word(head, width), width);
            write_word(head, i, width);
        }
    }
    reorder_relocations(image_.find_dynamic(DT_SYMTAB)->d_un.d_ptr, index);
    new_symbol_index_ = std::move(index);
    debug("dynamic symbols %" PRIu64 " to %" PRIu64 " reordered by GNU hash bucket",
          tables.gnu_first, count - 1);
}

// Gives every relocation that names a dynamic symbol the symbol's new index: the tables the
// dynamic entries name (DT_RELA, DT_REL, DT_JMPREL) and any other relocation section linked to
// the dynamic symbol table.
void Editor::reorder_relocations(std::uint64_t symbols_address,
                                 const std::vector<std::uint32_t> &index) {
    struct Table {
        std::uint64_t offset;
        std::uint64_t size;
        bool rela;
    };
    std::vector<Table> tables;
    auto add = [&](std::uint64_t address, std::uint64_t size, bool rela) {
        std::uint64_t at = 0;
        if (size == 0) return;
        if (!image_.file_offset(address, size, at))
            throw EditError("a relocation table is outside the file");
        tables.push_back(Table{at, size, rela});
    };
    auto value = [&](std::int64_t tag) {
        const Elf64_Dyn *entry = image_.find_dynamic(tag);
        return entry != nullptr ? entry->d_un.d_val : 0;
    };
    if (image_.find_dynamic(DT_RELA) != nullptr) add(value(DT_RELA), value(DT_RELASZ), true);
    if (image_.find_dynamic(DT_REL) != nullptr) add(value(DT_REL), value(DT_RELSZ), false);
    if (image_.find_dynamic(DT_JMPREL) != nullptr)
        add(value(DT_JMPREL), value(DT_PLTRELSZ), value(DT_PLTREL) == DT_RELA);
    for (const Elf64_Shdr &s : image_.sections) {
        if ((s.sh_type != SHT_REL && s.sh_type != SHT_RELA) || s.sh_link >= image_.sections.size())
            continue;
        const Elf64_Shdr &linked = image_.sections[s.sh_link];
        if (linked.sh_type != SHT_DYNSYM || linked.sh_addr != symbols_address) continue;
        const bool covered = std::any_of(tables.begin(), tables.end(), [&](const Table &t) {
            return s.sh_offset >= t.offset && s.sh_offset + s.sh_size <= t.offset + t.size;
        });
        if (!covered && s.sh_size != 0) {
            if (!image_.in_file(s.sh_offset, s.sh_size))
                throw EditError("a relocation section is outside the file");
            tables.push_back(Table{s.sh_offset, s.sh_size, s.sh_type == SHT_RELA});
        }
    }
    const std::uint64_t word = image_.wide ? 8 : 4;
    for (const Table &t : tables) {
        const std::uint64_t entry = (t.rela ? 3 : 2) * word;
        if (!image_.seek(in_.get(), t.offset)) throw EditError("cannot read a relocation table");
        for (std::uint64_t done = 0; done + entry <= t.size; done += entry) {
            const std::uint64_t at = t.offset + done;
            Elf64_Rela rela{};
            Elf64_Rel rel{};
            if (t.rela ? quenza_read_Rela(in_.get(), &rela) != 1
                       : quenza_read_Rel(in_.get(), &rel) != 1)
                throw EditError("cannot read a relocation table");
            const Elf64_Xword info = t.rela ? rela.r_info : rel.r_info;
            const std::uint64_t symbol = ELF64_R_SYM(info);
            if (symbol == 0) continue;
            if (symbol >= index.size())
                throw EditError(format_message(
                    "a relocation names dynamic symbol %" PRIu64 ", past the table", symbol));
            if (index[symbol] == symbol) continue;
            const Elf64_Xword moved_info = ELF64_R_INFO(index[symbol], ELF64_R_TYPE(info));
            if (t.rela) {
                rela.r_info = moved_info;
                rela_writes_.emplace_back(at, rela);
            } else {
                rel.r_info = moved_info;
                rel_writes_.emplace_back(at, rel);
            }
        }
    }
}

std::uint64_t Editor::interp_offset() const {
    for (const Elf64_Phdr &p : image_.segments)
        if (p.p_type == PT_INTERP) return p.p_offset;
    return UINT64_MAX;
}

// Finds the bytes between the program header table's end and table_end, widened to whole
// sections, and checks that they can move: only sections that nothing but program and dynamic
// headers point at (the interpreter's name, notes, hash tables, dynamic symbols), inside the
// first loadable segment, each other segment over them wholly inside. Records them in
// moved_range_ (its size; placed later).
bool Editor::make_room_after_table(std::uint64_t table_end) {
    if (sections_.empty()) return false;
    const std::uint64_t start = image_.phoff + image_.segments.size() * image_.phdr_size();
    std::uint64_t end = table_end;
    const std::uint64_t interp = interp_offset();
    bool widened = true;
    while (widened) {
        widened = false;
        for (std::size_t i = 1; i < sections_.size(); ++i) {
            const Elf64_Shdr &s = sections_[i];
            if (s.sh_type == SHT_NOBITS || s.sh_size == 0) continue;
            if (s.sh_offset + s.sh_size <= start || s.sh_offset >= end) continue;
            const bool movable = s.sh_type == SHT_NOTE || s.sh_type == SHT_GNU_HASH ||
                                 s.sh_type == SHT_HASH || s.sh_type == SHT_DYNSYM ||
                                 (s.sh_type == SHT_PROGBITS && s.sh_offset == interp);
            if (!movable || s.sh_offset < start || (s.sh_flags & SHF_ALLOC) == 0) return false;
            if (s.sh_offset + s.sh_size > end) {
                end = s.sh_offset + s.sh_size;
                widened = true;
            }
        }
        // A segment over part of the range (a note segment over several notes) comes whole.
        for (const Elf64_Phdr &p : image_.segments) {
            if (p.p_type == PT_LOAD || p.p_type == PT_PHDR || p.p_type == PT_NULL) continue;
            if (p.p_offset + p.p_filesz <= start || p.p_offset >= end) continue;
            if (p.p_offset < start) return false;
            if (p.p_offset + p.p_filesz > end) {
                end = p.p_offset + p.p_filesz;
                widened = true;
            }
        }
    }
    const Elf64_Phdr *first_load = nullptr;
    for (const Elf64_Phdr &p : image_.segments)
        if (p.p_type == PT_LOAD) {
            first_load = &p;
            break;
        }
    if (first_load == nullptr || image_.phoff < first_load->p_offset ||
        end > first_load->p_offset + first_load->p_filesz)
        return false;
    // The dynamic string table and table must not be in it (they may be patched where they are).
    if (strtab_size_ != 0 && strtab_offset_ < end && start < strtab_offset_ + strtab_size_)
        return false;
    if (image_.has_dynamic && image_.dynamic_offset < end && start < image_.dynamic_offset + 1)
        return false;
    moved_range_.present = true;
    moved_range_.size = end - start;
    range_offset_ = start;
    range_address_ = first_load->p_vaddr + (start - first_load->p_offset);
    debug("moving 0x%" PRIx64 " bytes at 0x%" PRIx64 " to make room for the program headers",
          end - start, start);
    return true;
}

// Points everything inside the moved range at its new place: segments, sections, and the
// dynamic entries that hold addresses.
void Editor::shift_moved_range() {
    if (!moved_range_.present) return;
    const std::uint64_t size = moved_range_.size;
    auto inside_file = [&](std::uint64_t offset) {
        return offset >= range_offset_ && offset - range_offset_ < size;
    };
    auto inside_memory = [&](std::uint64_t address) {
        return address >= range_address_ && address - range_address_ < size;
    };
    for (Elf64_Phdr &p : segments_) {
        if (p.p_type == PT_LOAD || p.p_type == PT_PHDR || !inside_file(p.p_offset)) continue;
        p.p_offset = p.p_offset - range_offset_ + moved_range_.offset;
        p.p_vaddr = p.p_vaddr - range_address_ + moved_range_.address;
        p.p_paddr = p.p_vaddr;
    }
    for (std::size_t i = 1; i < sections_.size(); ++i) {
        Elf64_Shdr &s = sections_[i];
        if (s.sh_type == SHT_NOBITS || s.sh_size == 0 || !inside_file(s.sh_offset)) continue;
        s.sh_offset = s.sh_offset - range_offset_ + moved_range_.offset;
        s.sh_addr = s.sh_addr - range_address_ + moved_range_.address;
    }
    if (!image_.has_dynamic) return;
    if (!dynamic_changed_ && entries_.empty())
        for (std::size_t i = 0; i < image_.dynamic.size(); ++i) {
            if (image_.dynamic[i].d_tag == DT_NULL) break;
            NewEntry e;
            e.entry = image_.dynamic[i];
            e.original = static_cast<long>(i);
            entries_.push_back(e);
        }
    for (NewEntry &e : entries_)
        if (is_address_tag(e.entry.d_tag) && inside_memory(e.entry.d_un.d_ptr)) {
            e.entry.d_un.d_ptr = e.entry.d_un.d_ptr - range_address_ + moved_range_.address;
            dynamic_changed_ = true;
        }
}

// Decides where everything that does not fit goes: one new loadable segment at the end of the
// file holding (in this order) the program header table, the dynamic table, the interpreter and
// the dynamic string table, each only when it moves.
void Editor::layout() {
    const bool strings_move = !appended_.empty();
    const std::uint64_t dynamic_entries = entries_.size() + 1;
    const bool dynamic_moves = dynamic_changed_ && dynamic_entries > image_.dynamic_slots;
    bool interp_moves = interpreter_ && !interpreter_in_place_;
    grow_ =
        strings_move || dynamic_moves || interp_moves || segments_.size() > image_.segments.size();
    if (!grow_) return;

    const Elf64_Phdr *dynamic_load = nullptr;
    Elf64_Phdr *last_load = nullptr;
    for (Elf64_Phdr &p : segments_) {
        if (p.p_type != PT_LOAD) continue;
        if (last_load == nullptr || p.p_vaddr > last_load->p_vaddr) last_load = &p;
        if (image_.dynamic_segment >= 0 && image_.dynamic_address >= p.p_vaddr &&
            image_.dynamic_address - p.p_vaddr < p.p_memsz)
            dynamic_load = &p;
    }
    if (last_load == nullptr) throw EditError("no loadable segment");
    const bool writable =
        dynamic_moves && dynamic_load != nullptr && (dynamic_load->p_flags & PF_W) != 0;
    // The last segment ends the file (as one this tool added does): it grows, and no program
    // header is needed.
    const bool extend = segments_.size() == image_.segments.size() &&
                        last_load->p_offset + last_load->p_filesz == image_.file_size &&
                        last_load->p_filesz == last_load->p_memsz &&
                        (!writable || (last_load->p_flags & PF_W) != 0);
    std::uint64_t phnum = segments_.size();
    bool phdrs_move = false;
    if (!extend) {
        // A PT_NULL entry makes room for the new segment without moving the table.
        const auto unused = std::find_if(segments_.begin(), segments_.end(),
                                         [](const Elf64_Phdr &p) { return p.p_type == PT_NULL; });
        if (unused != segments_.end()) segments_.erase(unused);
        phnum = segments_.size() + 1;
        phdrs_move = phnum > image_.segments.size();
    }
    if (phnum >= PN_XNUM) throw EditError("too many program headers");
    // Better than moving the table: move what follows it (the interpreter's name, notes, hash
    // tables, dynamic symbols) and let it grow where it is, where every loader and binutils
    // expect it.
    if (phdrs_move && make_room_after_table(image_.phoff + phnum * image_.phdr_size())) {
        phdrs_move = false;
        if (interpreter_ && range_offset_ <= interp_offset() &&
            interp_offset() < range_offset_ + moved_range_.size) {
            interp_moves = true;
            interpreter_in_place_ = false;
        }
    }

    const std::uint64_t load_align = std::max<std::uint64_t>(page_, 1);
    std::uint64_t end_of_memory = 0;
    const Elf64_Phdr *first_load = nullptr;
    for (const Elf64_Phdr &p : segments_) {
        if (p.p_type != PT_LOAD) continue;
        if (first_load == nullptr) first_load = &p;
        end_of_memory = std::max(end_of_memory, p.p_vaddr + p.p_memsz);
    }
    // Pieces of the new space.
    std::uint64_t size = 0;
    auto place = [&](Placement &piece, std::uint64_t bytes, std::uint64_t alignment) {
        size = round_up(size, alignment);
        piece.present = true;
        piece.offset = size;
        piece.size = bytes;
        size += bytes;
    };
    const std::uint64_t word = image_.wide ? 8 : 4;
    if (moved_range_.present) {
        // The same offset modulo 64 keeps every alignment inside the range.
        size = round_up(size, 64) + range_offset_ % 64;
        place(moved_range_, moved_range_.size, 1);
    }
    if (phdrs_move) place(new_phdrs_, phnum * image_.phdr_size(), word);
    if (dynamic_moves) place(new_dynamic_, dynamic_entries * image_.dyn_size(), word);
    if (interp_moves) place(new_interp_, interpreter_->size() + 1, 1);
    if (strings_move) place(new_strings_, strtab_size_ + appended_.size(), 1);
    grow_size_ = size;

    if (extend) {
        grow_offset_ = round_up(image_.file_size, 64);
        grow_address_ = last_load->p_vaddr + (grow_offset_ - last_load->p_offset);
    } else if (phdrs_move) {
        // The program header table moves into the new segment: keep address minus offset equal
        // to the first loadable segment's, so the table's address is right whichever rule a
        // loader uses (offset in the first segment plus load bias, or the segment holding it);
        // pad the file when that costs little.
        const std::uint64_t memory_start = round_up(end_of_memory, load_align);
        const std::uint64_t file_start = round_up(image_.file_size, load_align);
        const std::uint64_t delta = first_load->p_vaddr - first_load->p_offset;
        constexpr std::uint64_t padding_limit = std::uint64_t{64} << 20;
        if (first_load->p_vaddr >= first_load->p_offset && delta % load_align == 0 &&
            (memory_start < delta || memory_start - delta <= file_start + padding_limit)) {
            grow_offset_ = std::max(file_start, memory_start >= delta ? memory_start - delta : 0);
            grow_address_ = grow_offset_ + delta;
        } else {
            grow_offset_ = file_start;
            grow_address_ = memory_start + grow_offset_ % load_align;
        }
    } else {
        // The table stays where it is: the new segment follows the file's end and, in memory,
        // the last segment's page, its offset and address congruent modulo the page size.
        grow_offset_ = round_up(image_.file_size, 64);
        grow_address_ = round_up(end_of_memory, load_align) + grow_offset_ % load_align;
    }
    for (Placement *piece :
         {&moved_range_, &new_phdrs_, &new_dynamic_, &new_interp_, &new_strings_}) {
        piece->address = grow_address_ + piece->offset;
        piece->offset += grow_offset_;
    }
    debug("new space: offset 0x%" PRIx64 ", address 0x%" PRIx64 ", size 0x%" PRIx64
          ", page size 0x%" PRIx64,
          grow_offset_, grow_address_, grow_size_, load_align);

    if (extend) {
        last_load->p_filesz = last_load->p_memsz = grow_offset_ + grow_size_ - last_load->p_offset;
        debug("the last loadable segment grows to 0x%" PRIx64 " bytes", last_load->p_filesz);
    } else {
        Elf64_Phdr load{};
        load.p_type = PT_LOAD;
        load.p_flags = writable ? PF_R | PF_W : PF_R;
        load.p_offset = grow_offset_;
        load.p_vaddr = load.p_paddr = grow_address_;
        load.p_filesz = load.p_memsz = grow_size_;
        load.p_align = load_align;
        // After the last loadable segment: it has the highest address.
        std::size_t after = 0;
        for (std::size_t i = 0; i < segments_.size(); ++i)
            if (segments_[i].p_type == PT_LOAD) after = i;
        segments_.insert(segments_.begin() + static_cast<long>(after) + 1, load);
    }

    shift_moved_range();
    for (Elf64_Phdr &p : segments_) {
        if (p.p_type == PT_PHDR && !phdrs_move) p.p_filesz = p.p_memsz = phnum * image_.phdr_size();
        if (p.p_type == PT_PHDR && phdrs_move) {
            p.p_offset = new_phdrs_.offset;
            p.p_vaddr = p.p_paddr = new_phdrs_.address;
            p.p_filesz = p.p_memsz = new_phdrs_.size;
        }
        if (p.p_type == PT_INTERP && interp_moves) {
            p.p_offset = new_interp_.offset;
            p.p_vaddr = p.p_paddr = new_interp_.address;
            p.p_filesz = p.p_memsz = new_interp_.size;
        }
        if (p.p_type == PT_DYNAMIC && dynamic_moves) {
            p.p_offset = new_dynamic_.offset;
            p.p_vaddr = p.p_paddr = new_dynamic_.address;
            p.p_filesz = p.p_memsz = new_dynamic_.size;
        }
    }
    if (phdrs_move) header_.e_phoff = new_phdrs_.offset;
    // The count goes into the header even when it was kept in section 0 (extended numbering):
    // it fits, and kernels load no file that uses PN_XNUM.
    header_.e_phnum = static_cast<Elf64_Half>(phnum);
}

// Streams [from, from + length) of the input to the output at to.
void copy_range(int in, int out, std::uint64_t from, std::uint64_t to, std::uint64_t length) {
    auto in_at = static_cast<loff_t>(from);
    auto out_at = static_cast<loff_t>(to);
    while (length > 0) {
        const std::size_t step = std::min<std::uint64_t>(length, std::uint64_t{1} << 30);
        const ssize_t done = copy_file_range(in, &in_at, out, &out_at, step, 0);
        if (done > 0) {
            length -= static_cast<std::uint64_t>(done);
            continue;
        }
        if (done == 0) throw EditError("the input file ended early");
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            throw EditError(format_message("copying: %s", std::strerror(errno)));
        // Fallback: large-buffer reads and writes.
        std::vector<char> buffer(std::min<std::uint64_t>(length, std::uint64_t{1} << 20));
        while (length > 0) {
            const std::size_t chunk = std::min<std::uint64_t>(length, buffer.size());
            const ssize_t got = pread(in, buffer.data(), chunk, in_at);
            if (got <= 0) throw EditError("reading the input failed");
            for (ssize_t put = 0; put < got;) {
                const ssize_t wrote = pwrite(out, buffer.data() + put,
                                             static_cast<std::size_t>(got - put), out_at + put);
                if (wrote <= 0)
                    throw EditError(format_message("writing: %s", std::strerror(errno)));
                put += wrote;
            }
            in_at += got;
            out_at += got;
            length -= static_cast<std::uint64_t>(got);
        }
    }
}

void Editor::write(int fd) {
    const int in = fileno(in_.get());
    copy_range(in, fd, 0, 0, image_.file_size);
    if (grow_ && ftruncate(fd, static_cast<off_t>(grow_offset_ + grow_size_)) != 0)
        throw EditError(format_message("extending the file: %s", std::strerror(errno)));
    if (new_strings_.present) copy_range(in, fd, strtab_offset_, new_strings_.offset, strtab_size_);
    if (moved_range_.present)
        copy_range(in, fd, range_offset_, moved_range_.offset, moved_range_.size);

    File out(fdopen(dup(fd), "r+b"));
    if (!out) throw EditError("cannot open the temporary file");
    FILE *stream = out.get();
    auto at = [&](std::uint64_t offset) {
        if (fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0)
            throw EditError("seeking in the temporary file failed");
    };
    auto put = [&](const std::string &bytes) {
        if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size())
            throw EditError("writing the temporary file failed");
    };
    // The header configures the codec for the file's layout.
    at(0);
    if (quenza_write_Ehdr(stream, &header_) != 1) throw EditError("cannot write the file header");
    const auto phnum = static_cast<int>(segments_.size());
    at(new_phdrs_.present ? new_phdrs_.offset : image_.phoff);
    if (phnum > 0 && quenza_write_Phdrs(stream, segments_.data(), phnum) != phnum)
        throw EditError("cannot write the program headers");

    if (interpreter_) {
        const Elf64_Phdr *old = nullptr;
        for (const Elf64_Phdr &p : image_.segments)
            if (p.p_type == PT_INTERP) old = &p;
        std::string bytes = *interpreter_;
        bytes.resize(interpreter_in_place_ ? old->p_filesz : interpreter_->size() + 1, '\0');
        at(interpreter_in_place_ ? old->p_offset : new_interp_.offset);
        put(bytes);
    }

    if (dynamic_changed_) {
        std::vector<Elf64_Dyn> table;
        const std::uint64_t entry_size = image_.dyn_size();
        const std::uint64_t table_address =
            new_dynamic_.present ? new_dynamic_.address : image_.dynamic_address;
        for (const NewEntry &e : entries_) {
            Elf64_Dyn entry = e.entry;
            if (new_strings_.present && entry.d_tag == DT_STRTAB)
                entry.d_un.d_ptr = new_strings_.address;
            if (new_strings_.present && entry.d_tag == DT_STRSZ)
                entry.d_un.d_val = strtab_size_ + appended_.size();
            // MIPS: this entry holds the distance from itself to the loader's map.
            if (entry.d_tag == dt_mips_rld_map_rel && e.original >= 0 &&
                image_.header.e_machine == EM_MIPS) {
                const std::uint64_t old_address =
                    image_.dynamic_address + static_cast<std::uint64_t>(e.original) * entry_size;
                const std::uint64_t new_address = table_address + table.size() * entry_size;
                entry.d_un.d_val = entry.d_un.d_val + old_address - new_address;
            }
            table.push_back(entry);
        }
        const std::size_t written = new_dynamic_.present
                                        ? table.size() + 1
                                        : std::max(table.size() + 1, image_.dynamic.size());
        table.resize(written, Elf64_Dyn{});
        at(new_dynamic_.present ? new_dynamic_.offset : image_.dynamic_offset);
        if (quenza_write_Dyns(stream, table.data(), static_cast<int>(table.size())) !=
            static_cast<int>(table.size()))
            throw EditError("cannot write the dynamic table");
    }

    const std::uint64_t strings_at = new_strings_.present ? new_strings_.offset : strtab_offset_;
    if (new_strings_.present) {
        at(new_strings_.offset + strtab_size_);
        put(appended_);
    }
    for (const StringPatch &patch : patches_) {
        at(strings_at + patch.offset);
        put(patch.bytes);
    }
    for (const auto &[offset, value] : versym_writes_) {
        at(moved(offset));
        if (quenza_write_Versym(stream, &value) != 1) throw EditError("cannot write a version");
    }
    for (const auto &[offset, need] : verneed_writes_) {
        at(moved(offset));
        if (quenza_write_Verneed(stream, &need) != 1)
            throw EditError("cannot write a version need");
    }
    for (const auto &[offset, relocation] : rela_writes_) {
        at(moved(offset));
        if (quenza_write_Rela(stream, &relocation) != 1)
            throw EditError("cannot write a relocation");
    }
    for (const auto &[offset, relocation] : rel_writes_) {
        at(moved(offset));
        if (quenza_write_Rel(stream, &relocation) != 1)
            throw EditError("cannot write a relocation");
    }
    for (const auto &[offset, symbol] : symbol_writes_) {
        at(moved(offset));
        if (quenza_write_Sym(stream, &symbol) != 1) throw EditError("cannot write a symbol");
    }
    for (const auto &[offset, value] : word_writes_) {
        at(moved(offset));
        const Elf64_Word narrow = static_cast<Elf64_Word>(value.first);
        const Elf64_Xword full = value.first;
        if ((value.second == 8 ? quenza_write_Xword(stream, &full)
                               : quenza_write_Word(stream, &narrow)) != 1)
            throw EditError("cannot write a hash table");
    }

    // Section headers of what moved.
    std::uint64_t old_strtab_address = 0;
    if (const Elf64_Dyn *strtab = image_.find_dynamic(DT_STRTAB))
        old_strtab_address = strtab->d_un.d_ptr;
    // The dynamic section's link names its string table whatever that section's type says.
    std::size_t linked_strings = 0;
    if (image_.dynamic_section >= 0)
        linked_strings = image_.sections[static_cast<std::size_t>(image_.dynamic_section)].sh_link;
    const Elf64_Phdr *old_interp = nullptr;
    for (const Elf64_Phdr &p : image_.segments)
        if (p.p_type == PT_INTERP) old_interp = &p;
    for (std::size_t i = 0; i < sections_.size(); ++i) {
        Elf64_Shdr &s = sections_[i];
        const Elf64_Shdr &was = image_.sections[i];
        const Placement *moved = nullptr;
        if (new_dynamic_.present && static_cast<int>(i) == image_.dynamic_section)
            moved = &new_dynamic_;
        else if (new_strings_.present && was.sh_addr == old_strtab_address &&
                 ((i != 0 && i == linked_strings) ||
                  (was.sh_type == SHT_STRTAB && (was.sh_flags & SHF_ALLOC) != 0)))
            moved = &new_strings_;
        else if (new_interp_.present && old_interp != nullptr && was.sh_type == SHT_PROGBITS &&
                 was.sh_offset == old_interp->p_offset && was.sh_size == old_interp->p_filesz)
            moved = &new_interp_;
        if (moved != nullptr) {
            s.sh_offset = moved->offset;
            s.sh_addr = moved->address;
            s.sh_size = moved->size;
        }
        if (std::memcmp(&s, &was, sizeof s) == 0) continue;
        at(image_.header.e_shoff + i * image_.shdr_size());
        if (quenza_write_Shdr(stream, &s) != 1) throw EditError("cannot write a section header");
        debug("section %zu now at offset 0x%" PRIx64, i, s.sh_offset);
    }
    if (std::fflush(stream) != 0) throw EditError("writing the temporary file failed");
}

void Editor::verify(const std::string &name) {
    File check(std::fopen(name.c_str(), "rb"));
    if (!check) throw EditError("cannot read the result back");
    ElfImage result;
    std::vector<std::string> problems;
    if (result.load(check.get(), 0, [&](const std::string &m) { problems.push_back(m); }))
        check_invariants(result, check.get(), problems);
    if (result.segments.size() != segments_.size() ||
        result.dynamic.size() < (dynamic_changed_ ? entries_.size() + 1 : 0))
        problems.emplace_back("the result does not read back as planned");
    // Every dynamic entry and string, and the interpreter, read back as planned.
    for (std::size_t i = 0; problems.empty() && dynamic_changed_ && i < entries_.size(); ++i) {
        const NewEntry &e = entries_[i];
        if (result.dynamic[i].d_tag != e.entry.d_tag) {
            problems.push_back(format_message("dynamic entry %zu reads back with another tag", i));
            break;
        }
        if (!is_string_tag(e.entry.d_tag)) continue;
        const std::string expected =
            e.has_text
                ? e.text
                : read_string_at(image_.dynamic[static_cast<std::size_t>(e.original)].d_un.d_val);
        std::string got;
        if (!result.dynamic_string(check.get(), result.dynamic[i].d_un.d_val, got) ||
            got != expected)
            problems.push_back(format_message("dynamic entry %zu reads back as '%s', not '%s'", i,
                                              got.c_str(), expected.c_str()));
    }
    for (const Elf64_Phdr &p : result.segments) {
        std::string got;
        if (p.p_type != PT_INTERP || !interpreter_ || !problems.empty()) continue;
        if (!result.read_bytes(check.get(), p.p_offset, p.p_filesz, got) ||
            std::strcmp(got.c_str(), interpreter_->c_str()) != 0)
            problems.emplace_back("the interpreter does not read back as planned");
    }
    if (!problems.empty())
        throw EditError("the result would be broken (" + problems.front() + "); nothing changed");
}

int Editor::run() {
    try {
        debug("patching ELF file '%s'", path_.c_str());
        load();
        print();
        if (!modifies() && !options_.output) return 0;
        plan();
        if (!changed_ && !options_.output) return 0;
        layout();
        replace();
        return 0;
    } catch (const EditError &error) {
        std::fflush(out_);
        std::fprintf(err_, "%s: %s: %s\n", program_, path_.c_str(), error.what());
        return 1;
    } catch (const std::bad_alloc &) {
        std::fprintf(err_, "%s: %s: out of memory\n", program_, path_.c_str());
        return 1;
    }
}

// Writes the result beside its target, checks it, then renames it over the target. A target
// that is not a regular file (a device, a pipe) gets the checked bytes written into it instead.
void Editor::replace() {
    std::string target = options_.output ? *options_.output : path_;
    struct stat target_status {};
    bool regular = true;
    if (stat(target.c_str(), &target_status) == 0) {
        regular = S_ISREG(target_status.st_mode);
        // Through symbolic links to the file itself.
        if (regular) {
            std::unique_ptr<char, decltype(&std::free)> real(realpath(target.c_str(), nullptr),
                                                             &std::free);
            if (real) target = real.get();
        }
    } else if (errno != ENOENT) {
        throw EditError(
            format_message("cannot examine '%s': %s", target.c_str(), std::strerror(errno)));
    }
    std::string directory = ".";
    std::string base = target;
    if (const auto slash = target.rfind('/'); slash != std::string::npos) {
        directory = slash == 0 ? "/" : target.substr(0, slash);
        base = target.substr(slash + 1);
    }
    std::string temporary = regular ? directory + "/." + base + ".XXXXXX"
                                    : std::string(P_tmpdir) + "/quenza-edit.XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0)
        throw EditError(format_message("cannot create a temporary file in '%s': %s",
                                       regular ? directory.c_str() : P_tmpdir,
                                       std::strerror(errno)));
    temporary = name.data();
    try {
        write(fd);
        verify(temporary);
        if (regular) {
            const struct stat &mode_from =
                options_.output && target_status.st_mode != 0 ? target_status : in_status_;
            if (fchmod(fd, mode_from.st_mode & 07777) != 0)
                throw EditError(format_message("cannot set permissions: %s", std::strerror(errno)));
            if (fchown(fd, mode_from.st_uid, mode_from.st_gid) != 0) {
                // Not the owner: keep ours (permission bits are already set).
            }
            if (close(fd) != 0)
                throw EditError(format_message("writing: %s", std::strerror(errno)));
            if (rename(temporary.c_str(), target.c_str()) != 0)
                throw EditError(format_message("cannot replace '%s': %s", target.c_str(),
                                               std::strerror(errno)));
            debug("writing %s", target.c_str());
            return;
        }
        const int sink = open(target.c_str(), O_WRONLY);
        if (sink < 0)
            throw EditError(
                format_message("cannot open '%s': %s", target.c_str(), std::strerror(errno)));
        std::vector<char> buffer(std::size_t{1} << 20);
        off_t from = 0;
        for (;;) {
            const ssize_t got = pread(fd, buffer.data(), buffer.size(), from);
            if (got < 0) throw EditError("reading the temporary file failed");
            if (got == 0) break;
            for (ssize_t put = 0; put < got;) {
                const ssize_t wrote =
                    ::write(sink, buffer.data() + put, static_cast<std::size_t>(got - put));
                if (wrote <= 0) {
                    close(sink);
                    throw EditError(
                        format_message("writing '%s': %s", target.c_str(), std::strerror(errno)));
                }
                put += wrote;
            }
            from += got;
        }
        close(sink);
        close(fd);
        unlink(temporary.c_str());
    } catch (...) {
        close(fd);
        unlink(temporary.c_str());
        throw;
    }
}

} // namespace

const char *os_abi_name(unsigned char value) {
    for (const OsAbi &abi : os_abis)
        if (abi.value == value) return abi.name;
    return "unknown";
}

bool os_abi_from_name(const std::string &name, unsigned char &value) {
    auto same = [](const std::string &a, const char *b) {
        if (b == nullptr || a.size() != std::strlen(b)) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(a[i])) !=
                std::tolower(static_cast<unsigned char>(b[i])))
                return false;
        return true;
    };
    for (const OsAbi &abi : os_abis)
        if (same(name, abi.name) || same(name, abi.alias)) {
            value = abi.value;
            return true;
        }
    return false;
}

std::uint64_t machine_page_size(unsigned machine) {
    for (const MachinePage &entry : machine_pages)
        if (entry.machine == machine) return entry.page;
    return 0x10000;
}

int edit_file(const EditOptions &options, const std::string &path, const char *program, FILE *out,
              FILE *err) {
    Editor editor(options, path, program, out, err);
    return editor.run();
}
