// The structure of one ELF file, read through the quenza library and checked against the file's
// size before anything is allocated or read: the file header, program and section headers (with
// extended numbering), the dynamic table, and the mapping of addresses to file offsets. Nothing is
// printed: problems go to a callback, one message each. Every problem is reported and what can
// still be read is kept (a table cut short keeps the entries the file holds), so an inspector can
// show what is there while an editor refuses any file that had a problem.
#ifndef QUENZA_TOOLS_ELF_IMAGE_HPP
#define QUENZA_TOOLS_ELF_IMAGE_HPP

#include "quenza.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// A string table's bytes, read whole (its place checked against the file first).
struct StringTable {
    std::vector<char> bytes;
    // The NUL-terminated string at offset (cut at the table's end); false when out of range.
    bool get(std::uint64_t offset, std::string_view &text) const;
};

// Receives one message per problem found (without the file's name).
using ProblemReport = std::function<void(const std::string &message)>;

struct ElfImage {
    std::uint64_t base = 0;      // where the ELF file starts in the stream
    std::uint64_t file_size = 0; // bytes from base to the end of the stream (or of the member)
    Elf64_Ehdr header{};
    bool wide = false;       // ELFCLASS64
    bool big_endian = false; // ELFDATA2MSB
    std::uint64_t phoff = 0; // program header table, as read
    // The counts the header gives, extended numbering resolved; the tables hold the entries the
    // file has of them.
    std::uint64_t section_count = 0;
    std::uint64_t segment_count = 0;
    std::vector<Elf64_Phdr> segments;
    std::vector<Elf64_Shdr> sections; // empty when the file has no section header table
    std::uint32_t section_names = 0;  // index of the section-name string table, or 0

    // The dynamic table: the entries up to and including the first DT_NULL (all of them when
    // there is none), where it lies and how many entries fit in its segment (read_dynamic).
    bool has_dynamic = false;
    std::uint64_t dynamic_offset = 0;
    std::uint64_t dynamic_address = 0;
    std::uint64_t dynamic_slots = 0;
    int dynamic_segment = -1;
    int dynamic_section = -1;
    std::vector<Elf64_Dyn> dynamic;

    // Reads the structure of the ELF file at base, then checks what an editor relies on (every
    // section and segment inside the file, the dynamic table where a loadable segment maps it, its
    // strings inside the string table). Returns false when the header cannot be read or is not a
    // usable ELF header (nothing else is then valid); every problem is reported. Sets the
    // library's settings to the file's layout.
    bool load(FILE *stream, std::uint64_t at, const ProblemReport &report);

    // The reading steps of load, for a reader that shows what is there: takes the file size (at
    // most limit bytes from at), reads the header, then the section and the program header tables.
    // Each step reports what is wrong and keeps what can be read.
    bool measure(FILE *stream, std::uint64_t at, std::uint64_t limit, const ProblemReport &report);
    bool read_header(FILE *stream, const ProblemReport &report);
    void read_sections(FILE *stream, const ProblemReport &report);
    void read_segments(FILE *stream, const ProblemReport &report);
    // The dynamic table of the first dynamic segment that lies in the file, up to its DT_NULL.
    void read_dynamic(FILE *stream, const ProblemReport &report);

    std::size_t phdr_size() const { return wide ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr); }
    std::size_t shdr_size() const { return wide ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr); }
    std::size_t dyn_size() const { return wide ? sizeof(Elf64_Dyn) : sizeof(Elf32_Dyn); }

    // True when [offset, offset + length) lies inside the file.
    bool in_file(std::uint64_t offset, std::uint64_t length) const {
        return offset <= file_size && length <= file_size - offset;
    }
    // The file offset of [address, address + length) when one loadable segment holds all of it in
    // its file bytes.
    bool file_offset(std::uint64_t address, std::uint64_t length, std::uint64_t &offset) const;
    // The first loadable segment whose file bytes hold address: the address's file offset and the
    // bytes of the segment from there (which may reach past the end of a damaged file).
    bool segment_offset(std::uint64_t address, std::uint64_t &offset, std::uint64_t &left) const;
    // The first dynamic entry with this tag, or null.
    const Elf64_Dyn *find_dynamic(std::int64_t tag) const;

    // Reads length bytes at offset (checked against the file) into out.
    bool read_bytes(FILE *stream, std::uint64_t offset, std::uint64_t length,
                    std::string &out) const;
    bool read_bytes(FILE *stream, std::uint64_t offset, char *into, std::size_t length) const;
    // Reads [offset, offset + size) whole as a string table; false (and the table empty) when it
    // is not inside the file or cannot be read.
    bool read_strings(FILE *stream, std::uint64_t offset, std::uint64_t size,
                      StringTable &table) const;
    // Reads the NUL-terminated string at index of the string table [table, table + size),
    // which must end inside the table.
    bool read_string(FILE *stream, std::uint64_t table, std::uint64_t size, std::uint64_t index,
                     std::string &out) const;
    // The dynamic string table (DT_STRTAB, DT_STRSZ) as a file range.
    bool dynamic_strings(std::uint64_t &offset, std::uint64_t &size) const;
    // A string of the dynamic string table.
    bool dynamic_string(FILE *stream, std::uint64_t index, std::string &out) const;

    // Reads count records of record_size bytes from offset with a library table operation,
    // record_chunk at a time, and hands each to visit(record, number); before_chunk(first) runs
    // after each chunk is read, to load what goes with its records. Returns how many records were
    // read: fewer than count when a chunk could not be read whole (its records that were read are
    // handed over first) or the file ends before the table (the records that fit are read).
    static constexpr std::size_t record_chunk = 4096;
    template <typename Record, typename Visit, typename BeforeChunk>
    std::uint64_t for_each_record(FILE *stream, std::uint64_t offset, std::uint64_t count,
                                  std::uint64_t record_size, int (*read)(FILE *, Record *, int),
                                  Visit visit, BeforeChunk before_chunk) const {
        const std::uint64_t fit =
            offset <= file_size && record_size != 0 ? (file_size - offset) / record_size : 0;
        const std::uint64_t whole = count < fit ? count : fit;
        std::vector<Record> chunk(whole < record_chunk ? whole : record_chunk);
        for (std::uint64_t done = 0; done < whole;) {
            const int n =
                static_cast<int>(whole - done < record_chunk ? whole - done : record_chunk);
            const int got =
                seek(stream, offset + done * record_size) ? read(stream, chunk.data(), n) : 0;
            before_chunk(done);
            for (int i = 0; i < got; ++i)
                visit(chunk[static_cast<std::size_t>(i)], done + static_cast<std::uint64_t>(i));
            if (got != n) return done + static_cast<std::uint64_t>(got < 0 ? 0 : got);
            done += static_cast<std::uint64_t>(n);
        }
        return whole;
    }

    // Positions the stream at a file offset (relative to base) no further than the file's end.
    bool seek(FILE *stream, std::uint64_t offset) const;

  private:
    // The editor's checks of the dynamic table: where it lies, and its strings.
    void check_dynamic(const ProblemReport &report) const;
};

#endif
