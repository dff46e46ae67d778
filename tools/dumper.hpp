// The state of one file's dump, shared by the reading (dump_file.cpp) and printing
// (dump_tables.cpp) halves. Internal to quenza_dump_core.
#ifndef QUENZA_DUMP_DUMPER_HPP
#define QUENZA_DUMP_DUMPER_HPP

#include "dump.hpp"
#include "elf_image.hpp"
#include "names.hpp"
#include "output.hpp"
#include "quenza.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

// A symbol's version entry: the version index, and the bit that hides it from default binding.
constexpr unsigned versym_index = 0x7fff;
constexpr unsigned versym_hidden = 0x8000;

// Tables are read and printed this many records at a time, so memory stays flat however large
// they are.
constexpr std::size_t chunk_records = 4096;

// For the per-record lambdas of large tables: inlined into the chunk loop, their formatting calls
// sit in that loop and are inlined too, as they were when each table had its own loop.
#define QUENZA_INLINE __attribute__((always_inline))

// A library table operation: reads up to count records, returns how many it read whole.
template <typename Record> using TableReader = int (*)(FILE *, Record *, int);

// JSON writer: keeps track of commas and puts each array element and object member on its own
// line, except inside compact containers (one record each), which stay on one line.
class Json {
  public:
    explicit Json(Output &out) : out_(out) {}
    void begin_object(bool compact = false) { open('{', compact); }
    void end_object() { close('}'); }
    void begin_array(bool compact = false) { open('[', compact); }
    void end_array() { close(']'); }
    void key(std::string_view name);
    void number(std::uint64_t value) {
        separate();
        out_.dec(value);
    }
    void signed_number(std::int64_t value) {
        separate();
        out_.sdec(value);
    }
    void string(std::string_view text) {
        separate();
        out_.json_string(text);
    }
    void boolean(bool value) {
        separate();
        out_.put(value ? "true" : "false");
    }
    void null() {
        separate();
        out_.put("null");
    }
    // A name, or null when there is none.
    void name(const char *text) {
        if (text != nullptr) return string(text);
        null();
    }
    // Object members.
    void field(std::string_view member, std::uint64_t value) {
        key(member);
        number(value);
    }
    void signed_field(std::string_view member, std::int64_t value) {
        key(member);
        signed_number(value);
    }
    void string_field(std::string_view member, std::string_view text) {
        key(member);
        string(text);
    }
    void name_field(std::string_view member, const char *text) {
        key(member);
        name(text);
    }

  private:
    struct Level {
        bool first;
        bool compact;
    };
    void open(char bracket, bool compact);
    void close(char bracket);
    void separate();
    void newline();

    Output &out_;
    std::vector<Level> levels_;
    bool after_key_ = false;
};

// A symbol as relocations and symbol information need it: looked up by index.
struct CompactSymbol {
    std::uint64_t value;
    std::uint32_t name;
    std::uint16_t shndx;
    unsigned char info;
    unsigned char other;
};

// How a symbol's version shows: name@@VERSION (default), name@VERSION (hidden), or
// name@VERSION (n) (required from another object).
enum class VersionKind { none, default_version, hidden, needed };
struct SymbolVersion {
    VersionKind kind = VersionKind::none;
    std::string_view name;
    unsigned index = 0;
};

// One symbol table loaded for lookups by index.
struct SymbolTable {
    std::size_t section = 0;
    std::vector<CompactSymbol> symbols;
    std::vector<std::uint16_t> versyms; // empty when the table has no version section
    std::shared_ptr<const StringTable> strings;
};

// Version definitions and requirements, walked once and kept for printing and for naming each
// symbol's version.
struct VersionAux {
    std::uint64_t offset; // within the section
    std::uint32_t name;
    std::uint32_t hash;
    std::uint16_t flags; // Vernaux only
    std::uint16_t other; // Vernaux only: the version index
};
struct VersionRecord {
    std::uint64_t offset;
    std::uint16_t version;
    std::uint16_t flags;
    std::uint16_t index; // Verdef only
    std::uint16_t count;
    std::uint32_t hash; // Verdef only
    std::uint32_t file; // Verneed only: name of the object required
    std::vector<VersionAux> aux;
};
struct VersionSection {
    std::size_t section;
    bool definitions; // SHT_GNU_verdef, else SHT_GNU_verneed
    std::vector<VersionRecord> records;
    std::shared_ptr<const StringTable> strings;
};
// What a version index names: a definition of this object, a requirement on another, or both.
struct VersionName {
    std::string_view defined, needed;
    bool has_defined = false, has_needed = false;
};

// Static archives: whether the stream starts with an archive's magic, and the dump of each member.
bool is_archive(FILE *in);
int dump_archive(FILE *in, const char *name, const DumpOptions &options, FILE *out, FILE *err);

// A note as read: its header words, owner, and the bytes of its descriptor.
struct Note {
    std::uint64_t offset = 0;      // of its header, in the file
    std::uint64_t desc_offset = 0; // of its descriptor, in the file
    std::uint32_t namesz = 0, descsz = 0, type = 0;
    std::string owner;
    std::string desc;
};
// One file mapped into a process, from a core file's NT_FILE note.
struct MappedFile {
    std::uint64_t start, end, page_offset;
    std::string name;
};
// What a note says: readelf's text after its type, and the same facts as JSON fields.
struct NoteDetails {
    std::string type_text; // the type's description, or "Unknown note type: (0x...)"
    std::string type_name; // empty for an unknown type
    std::string text;
    std::vector<std::pair<const char *, std::string>> strings;
    std::vector<std::pair<const char *, std::uint64_t>> numbers;
    std::vector<std::pair<std::uint32_t, std::string>> properties;
    std::vector<MappedFile> files;
};

class Dumper {
  public:
    Dumper(FILE *in, const char *name, const DumpOptions &options, FILE *out, FILE *err);
    // One member of an archive: an ELF file of `size` bytes at offset `base` of the stream. All
    // its offsets count from there and none may reach past its end.
    void set_member(std::uint64_t base, std::uint64_t size, const std::string &archive,
                    const std::string &member, const std::string &label);
    int run();

  private:
    // Problems: each one goes to err at once (up to a limit) and into the JSON "problems".
    void problem(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Counts a problem once however often it is met, and shows the first ones (or every one when
    // always is set).
    void report(bool always, std::string text);
    std::string section_label(std::size_t index) const; // "section 12 (.dynsym)"
    std::string_view section_name(std::size_t index) const;
    // How a relocation names an unnamed section symbol: its section's name, or for a reserved
    // index a word (ABS, COMMON, ...) or "<section 0xN>".
    std::string_view section_symbol_name(unsigned shndx);

    // Reading, with every offset and size checked against the file size first: the header and
    // the section and program header tables through the shared reader (image_), the rest here.
    ProblemReport reporter();
    void load_sections();
    bool in_file(std::uint64_t offset, std::uint64_t size) const {
        return image_.in_file(offset, size);
    }
    bool seek(std::uint64_t offset) { return image_.seek(in_, offset); }
    // Takes bytes from the read budget; false (reported once) when it is spent.
    bool charge(std::uint64_t bytes);
    bool read_bytes(std::uint64_t offset, char *into, std::size_t size) {
        return image_.read_bytes(in_, offset, into, size);
    }
    // Number of records of record_size bytes in a section, after checking its place, entry
    // size and size; false (and a problem reported) when it cannot be read at all.
    bool section_table(std::size_t index, std::uint64_t record_size, std::uint64_t &count);
    // Reads a section's table of `count` records a chunk at a time and hands each record to
    // visit(record, number); before_chunk(first) runs after each chunk is read, to load what goes
    // with its records. A short read is reported ("read error at <what> N") and ends the walk.
    template <typename Record, typename Visit, typename BeforeChunk = void (*)(std::uint64_t)>
    void for_each_record(
        std::size_t index, std::uint64_t count, std::uint64_t record_size, TableReader<Record> read,
        const char *what, Visit visit, BeforeChunk before_chunk = [](std::uint64_t) {});
    // The section's sh_link, checked to name another existing section; false when unusable.
    bool linked_section(std::size_t index, std::size_t &link, const char *what);
    std::shared_ptr<const StringTable> strings(std::size_t index);
    const SymbolTable *symbol_table(std::size_t index);
    std::size_t versym_section_for(std::size_t symtab) const;
    void load_versions();
    void walk_version_section(std::size_t index);
    // How the symbol `symbol` with this version entry shows its version.
    SymbolVersion symbol_version(std::uint16_t versym, bool defined, std::string_view symbol) const;
    // The string at offset, or "<corrupt>" (reported as a problem of record `number` of
    // section `section`) when it is out of range.
    std::string_view string_or_corrupt(const StringTable *table, std::uint64_t offset,
                                       std::size_t section, const char *what, std::uint64_t number);

    // Printing.
    // A section's table opens, in text, with the line "<title> '<name>' [at offset 0x...]
    // contains N entries:"; in JSON, with an object holding the section's index and name, to
    // which the caller adds its members and its array of records. end_table_json closes both.
    void print_table_heading(const char *title, std::size_t index, std::uint64_t count,
                             bool with_offset = false);
    void begin_table_json(std::size_t index);
    void end_table_json();
    void print_header();
    void print_sections();
    void print_segments();
    void print_dynamic();
    void print_machine_dynamic_value(const DynamicTagName &tag, std::uint64_t value, bool has_text,
                                     std::string_view text);
    void print_relocations();
    void print_relocation_section(std::size_t index);
    void print_relr_section(std::size_t index);
    void print_symbols();
    void print_symbol_section(std::size_t index);
    void print_syminfo_section(std::size_t index);
    void print_versions();
    void print_versym_section(std::size_t index);
    void print_version_section(const VersionSection &versions);
    void print_version_heading(const char *what, std::size_t index, std::uint64_t count);
    void print_symbol_name(std::string_view name, const SymbolVersion &version, bool with_index);
    // The structure views (dump_views.cpp).
    void print_segment_mapping();
    void print_groups();
    bool scalar_at(std::uint64_t offset, int width, std::uint64_t &value);
    // count words of width 4 or 8 bytes at offset, with the library's scalar operations.
    template <typename Word>
    bool read_words(std::uint64_t offset, std::uint64_t count, int width, std::vector<Word> &words);
    void print_notes();
    void print_note_block(std::size_t section, std::uint64_t offset, std::uint64_t size,
                          std::uint64_t align);
    void describe_note(const Note &note, NoteDetails &details);
    void describe_property_note(const Note &note, NoteDetails &details);
    void describe_file_note(const Note &note, NoteDetails &details);
    void print_note(const Note &note, const NoteDetails &details);
    void print_histogram();
    void histogram_of_hash(std::size_t section, std::uint64_t offset, std::uint64_t size);
    // The GNU hash table, or MIPS's variant of it (the same buckets and chains).
    enum class HashKind { sysv, gnu, mips_xhash };
    void histogram_of_gnu_hash(std::size_t section, std::uint64_t offset, std::uint64_t size,
                               HashKind kind);
    void print_histogram_rows(std::size_t section, HashKind kind,
                              const std::vector<std::uint32_t> &lengths, std::uint64_t symbols);
    void print_section_dumps();
    void dump_section(std::size_t index, bool strings);
    void finish();

    FILE *in_;
    std::string name_;
    std::uint64_t base_ = 0;
    std::uint64_t limit_ = UINT64_MAX; // the member's size, for an archive member
    std::string archive_, member_;     // for an archive member: the names of both
    const DumpOptions &options_;
    Output out_;
    Json json_;
    FILE *err_;

    ElfImage image_; // the header, section and program headers, the file size
    std::uint64_t read_budget_ = 0;
    std::shared_ptr<const StringTable> section_names_;
    std::vector<std::size_t> versym_sections_; // by symbol table; 0 for none

    std::vector<std::pair<std::size_t, std::shared_ptr<const StringTable>>> string_cache_;
    std::unique_ptr<SymbolTable> symbol_cache_;
    bool versions_loaded_ = false;
    std::vector<VersionSection> version_sections_;
    std::vector<VersionName> version_names_; // by version index

    char section_symbol_text_[24] = {};
    unsigned long problems_ = 0;
    std::vector<std::string> messages_; // the ones shown, in order
    unsigned long shown_count_ = 0;
    std::unordered_set<std::uint64_t> seen_; // hashes of the problems met
};

template <typename Record, typename Visit, typename BeforeChunk>
void Dumper::for_each_record(std::size_t index, std::uint64_t count, std::uint64_t record_size,
                             TableReader<Record> read, const char *what, Visit visit,
                             BeforeChunk before_chunk) {
    const std::uint64_t read_whole = image_.for_each_record(
        in_, image_.sections[index].sh_offset, count, record_size, read, visit, before_chunk);
    if (read_whole != count)
        problem("%s: read error at %s %" PRIu64, section_label(index).c_str(), what, read_whole);
}

#endif // QUENZA_DUMP_DUMPER_HPP
