// The structure of one ELF file, read through the quenza library and checked against the file's
// size before anything is allocated or read: the file header, program and section headers (with
// extended numbering), the dynamic table, and the mapping of addresses to file offsets. Nothing is
// printed: problems go to a callback, one message each.
#ifndef QUENZA_TOOLS_ELF_IMAGE_HPP
#define QUENZA_TOOLS_ELF_IMAGE_HPP

#include "quenza.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Receives one message per problem found (without the file's name).
using ProblemReport = std::function<void(const std::string &message)>;

struct ElfImage {
    std::uint64_t base = 0;      // where the ELF file starts in the stream
    std::uint64_t file_size = 0; // bytes from base to the end of the stream
    Elf64_Ehdr header{};
    bool wide = false;       // ELFCLASS64
    bool big_endian = false; // ELFDATA2MSB
    std::uint64_t phoff = 0; // program header table, as read
    std::vector<Elf64_Phdr> segments;
    std::vector<Elf64_Shdr> sections; // empty when the file has no section header table
    std::uint32_t section_names = 0;  // index of the section-name string table, or 0

    // The dynamic table: the entries up to and including the first DT_NULL (all of them when
    // there is none), where it lies and how many entries fit in its segment.
    bool has_dynamic = false;
    std::uint64_t dynamic_offset = 0;
    std::uint64_t dynamic_address = 0;
    std::uint64_t dynamic_slots = 0;
    int dynamic_segment = -1;
    int dynamic_section = -1;
    std::vector<Elf64_Dyn> dynamic;

    // Reads the structure of the ELF file at base. Returns false when the header cannot be read
    // or is not a usable ELF header (nothing else is then valid); every problem is reported.
    // Sets the library's settings to the file's layout.
    bool load(FILE *stream, std::uint64_t at, const ProblemReport &report);

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
    // The first dynamic entry with this tag, or null.
    const Elf64_Dyn *find_dynamic(std::int64_t tag) const;

    // Reads length bytes at offset (checked against the file) into out.
    bool read_bytes(FILE *stream, std::uint64_t offset, std::uint64_t length,
                    std::string &out) const;
    // Reads the NUL-terminated string at index of the string table [table, table + size),
    // which must end inside the table.
    bool read_string(FILE *stream, std::uint64_t table, std::uint64_t size, std::uint64_t index,
                     std::string &out) const;
    // The dynamic string table (DT_STRTAB, DT_STRSZ) as a file range.
    bool dynamic_strings(std::uint64_t &offset, std::uint64_t &size) const;
    // A string of the dynamic string table.
    bool dynamic_string(FILE *stream, std::uint64_t index, std::string &out) const;

    // Positions the stream at a file offset (relative to base).
    bool seek(FILE *stream, std::uint64_t offset) const;
};

#endif
