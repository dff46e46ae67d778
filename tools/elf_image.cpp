// Reading a file's structure: every count, offset and size is checked against the file size
// (taken once) before anything is allocated or read.
#include "elf_image.hpp"
#include "messages.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace {

// The stream's size from its start, without moving its position for good.
bool stream_size(FILE *stream, std::uint64_t &size) {
    struct stat status {};
    if (fstat(fileno(stream), &status) == 0 && S_ISREG(status.st_mode)) {
        size = static_cast<std::uint64_t>(status.st_size);
        return true;
    }
    const off_t here = ftello(stream);
    if (here < 0 || fseeko(stream, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(stream);
    if (fseeko(stream, here, SEEK_SET) != 0 || end < 0) return false;
    size = static_cast<std::uint64_t>(end);
    return true;
}

bool is_string_tag(std::int64_t tag) {
    return tag == DT_NEEDED || tag == DT_SONAME || tag == DT_RPATH || tag == DT_RUNPATH;
}

} // namespace

bool ElfImage::seek(FILE *stream, std::uint64_t offset) const {
    if (offset > file_size) return false;
    const std::uint64_t position = base + offset;
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool ElfImage::measure(FILE *stream, std::uint64_t at, std::uint64_t limit,
                       const ProblemReport &report) {
    *this = ElfImage{};
    base = at;
    std::uint64_t total = 0;
    if (!stream_size(stream, total)) {
        report("cannot determine the file size (not a seekable file)");
        return false;
    }
    file_size = std::min(total - std::min(total, at), limit);
    return true;
}

bool ElfImage::read_header(FILE *stream, const ProblemReport &report) {
    if (!seek(stream, 0)) {
        report("cannot read the file header");
        return false;
    }
    const int result = quenza_read_Ehdr(stream, &header);
    const unsigned char *ident = header.e_ident;
    switch (result) {
    case 1:
        break;
    case QUENZA_BAD_MAGIC:
        report("not an ELF file (no ELF magic number)");
        return false;
    case QUENZA_BAD_CLASS:
        report(format_message("unsupported ELF class %u", ident[EI_CLASS]));
        return false;
    case QUENZA_BAD_DATA:
        report(format_message("unsupported data encoding %u", ident[EI_DATA]));
        return false;
    case QUENZA_BAD_VERSION:
        report(format_message("unsupported ELF version %u", ident[EI_VERSION]));
        return false;
    case 0:
        if (file_size < EI_NIDENT) {
            // Too short to hold the identification: say whether it even starts like ELF.
            char start[SELFMAG] = {};
            const std::size_t have = file_size < SELFMAG ? file_size : SELFMAG;
            if (file_size == 0 || !read_bytes(stream, 0, start, have) ||
                std::memcmp(start, ELFMAG, have) != 0) {
                report(format_message("not an ELF file (%" PRIu64 " bytes, no ELF magic number)",
                                      file_size));
            } else {
                report(format_message("truncated file header: the file has %" PRIu64
                                      " bytes, the identification needs %d",
                                      file_size, EI_NIDENT));
            }
        } else {
            const bool cut_wide = ident[EI_CLASS] == ELFCLASS64;
            report(format_message("truncated file header: the file has %" PRIu64
                                  " bytes, an ELF%d header needs %d",
                                  file_size, cut_wide ? 64 : 32, cut_wide ? 64 : 52));
        }
        return false;
    default:
        report("cannot read the file header");
        return false;
    }
    wide = ident[EI_CLASS] == ELFCLASS64;
    big_endian = ident[EI_DATA] == ELFDATA2MSB;
    phoff = header.e_phoff;
    section_count = header.e_shnum;
    segment_count = header.e_phnum;
    return true;
}

namespace {

// Reads a header table of count entries, cut to what the file holds; a chunk that cannot be read
// whole is reported and ends the table at the first entry missing.
template <typename Record>
void read_table(const ElfImage &image, FILE *stream, const char *what, std::uint64_t offset,
                std::uint64_t entry, std::uint64_t count, int (*read)(FILE *, Record *, int),
                std::vector<Record> &table, const ProblemReport &report) {
    const std::uint64_t file_size = image.file_size;
    const std::uint64_t available = offset <= file_size ? (file_size - offset) / entry : 0;
    if (count > available) {
        report(format_message("%s: %" PRIu64 " entries at offset 0x%" PRIx64
                              " run past the end of the file (size 0x%" PRIx64
                              "); reading %" PRIu64,
                              what, count, offset, file_size, available));
        count = available;
    }
    table.clear();
    table.reserve(count);
    const std::uint64_t read_whole = image.for_each_record(
        stream, offset, count, entry, read,
        [&](const Record &record, std::uint64_t) { table.push_back(record); },
        [](std::uint64_t) {});
    if (read_whole != count)
        report(format_message("%s: read error at entry %" PRIu64, what, read_whole));
}

} // namespace

void ElfImage::read_sections(FILE *stream, const ProblemReport &report) {
    const std::uint64_t entry = shdr_size();
    const std::uint64_t offset = header.e_shoff;
    if (offset == 0) {
        if (header.e_shnum != 0)
            report(
                format_message("section header table: %u entries but no offset", header.e_shnum));
        return;
    }
    if (header.e_shentsize != entry) {
        report(format_message("section header table: entry size %u is not %" PRIu64,
                              header.e_shentsize, entry));
        return;
    }
    if (offset > file_size) {
        report(format_message("section header table: offset 0x%" PRIx64
                              " is past the end of the file (size 0x%" PRIx64 ")",
                              offset, file_size));
        return;
    }
    if (section_count == 0) {
        // Extended numbering: the real count is in the first entry's sh_size.
        Elf64_Shdr first{};
        if (file_size - offset < entry || !seek(stream, offset) ||
            quenza_read_Shdr(stream, &first) != 1) {
            report(format_message("section header table: the first entry at offset 0x%" PRIx64
                                  " runs past the end of the file (size 0x%" PRIx64 ")",
                                  offset, file_size));
            return;
        }
        section_count = first.sh_size;
    }
    read_table(*this, stream, "section header table", offset, entry, section_count,
               quenza_read_Shdrs, sections, report);
    if (sections.empty()) return;

    // Extended numbering keeps the program header count and the name table's index in section 0.
    if (segment_count == PN_XNUM) segment_count = sections[0].sh_info;
    std::uint64_t names = header.e_shstrndx;
    if (names == SHN_XINDEX) names = sections[0].sh_link;
    if (names == SHN_UNDEF) return;
    if (names >= sections.size()) {
        report(format_message("section-name table index %" PRIu64 " is out of range (%zu sections)",
                              names, sections.size()));
        return;
    }
    section_names = static_cast<std::uint32_t>(names);
}

void ElfImage::read_segments(FILE *stream, const ProblemReport &report) {
    const std::uint64_t entry = phdr_size();
    const std::uint64_t offset = header.e_phoff;
    if (segment_count == 0) return;
    if (offset == 0) {
        report(format_message("program header table: %" PRIu64 " entries but no offset",
                              segment_count));
        return;
    }
    if (header.e_phentsize != entry) {
        report(format_message("program header table: entry size %u is not %" PRIu64,
                              header.e_phentsize, entry));
        return;
    }
    read_table(*this, stream, "program header table", offset, entry, segment_count,
               quenza_read_Phdrs, segments, report);
}

bool ElfImage::load(FILE *stream, std::uint64_t at, const ProblemReport &report) {
    if (!measure(stream, at, UINT64_MAX, report) || !read_header(stream, report)) return false;
    read_sections(stream, report);
    if (header.e_shoff == 0 && header.e_phnum == PN_XNUM)
        report("extended program header count without a section header table");
    read_segments(stream, report);

    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Elf64_Shdr &s = sections[i];
        if (i == 0 || s.sh_type == SHT_NOBITS || s.sh_type == SHT_NULL) continue;
        if (!in_file(s.sh_offset, s.sh_size))
            report(format_message("section %zu: [0x%" PRIx64 ", +0x%" PRIx64
                                  ") is outside the file",
                                  i, s.sh_offset, s.sh_size));
    }
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Elf64_Phdr &p = segments[i];
        if (p.p_type == PT_NULL) continue;
        if (!in_file(p.p_offset, p.p_filesz))
            report(format_message("segment %zu: [0x%" PRIx64 ", +0x%" PRIx64
                                  ") is outside the file",
                                  i, p.p_offset, p.p_filesz));
        if (p.p_type == PT_LOAD && p.p_filesz > p.p_memsz)
            report(format_message("segment %zu: file size 0x%" PRIx64
                                  " exceeds memory size 0x%" PRIx64,
                                  i, p.p_filesz, p.p_memsz));
    }
    read_dynamic(stream, report);
    check_dynamic(report);
    return true;
}

void ElfImage::read_dynamic(FILE *stream, const ProblemReport &report) {
    has_dynamic = false;
    dynamic.clear();
    dynamic_segment = -1;
    dynamic_section = -1;
    for (std::size_t i = 0; i < sections.size(); ++i)
        if (sections[i].sh_type == SHT_DYNAMIC) {
            dynamic_section = static_cast<int>(i);
            break;
        }
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Elf64_Phdr &p = segments[i];
        if (p.p_type != PT_DYNAMIC || !in_file(p.p_offset, p.p_filesz)) continue;
        dynamic_segment = static_cast<int>(i);
        dynamic_offset = p.p_offset;
        dynamic_address = p.p_vaddr;
        dynamic_slots = p.p_filesz / dyn_size();
        break;
    }
    if (dynamic_segment < 0 || dynamic_slots == 0) return;
    has_dynamic = seek(stream, dynamic_offset);
    for (std::uint64_t i = 0; has_dynamic && i < dynamic_slots; ++i) {
        Elf64_Dyn entry{};
        if (quenza_read_Dyn(stream, &entry) != 1) {
            report("cannot read the dynamic table");
            has_dynamic = false;
            dynamic.clear();
            break;
        }
        dynamic.push_back(entry);
        if (entry.d_tag == DT_NULL) break;
    }
}

void ElfImage::check_dynamic(const ProblemReport &report) const {
    if (dynamic_segment < 0) return;
    const Elf64_Phdr &p = segments[static_cast<std::size_t>(dynamic_segment)];
    if (dynamic_section >= 0) {
        const Elf64_Shdr &s = sections[static_cast<std::size_t>(dynamic_section)];
        if (s.sh_offset != p.p_offset || s.sh_addr != p.p_vaddr)
            report(format_message("the dynamic section (0x%" PRIx64 ") and segment (0x%" PRIx64
                                  ") disagree",
                                  s.sh_offset, p.p_offset));
    }
    std::uint64_t mapped = 0;
    if (!file_offset(p.p_vaddr, p.p_filesz, mapped) || mapped != p.p_offset)
        report("the dynamic segment is not where a loadable segment maps its address");
    if (!has_dynamic) return;
    // The loader reads entries until DT_NULL: without one inside the segment it reads past it.
    if (dynamic.empty() || dynamic.back().d_tag != DT_NULL)
        report("the dynamic table has no DT_NULL entry inside its segment");
    std::uint64_t table = 0;
    std::uint64_t size = 0;
    const bool strings = dynamic_strings(table, size);
    // Readers that go by section headers take the dynamic section's linked string table: it must
    // be the one DT_STRTAB names.
    if (strings && dynamic_section >= 0) {
        const std::size_t link = sections[static_cast<std::size_t>(dynamic_section)].sh_link;
        const Elf64_Dyn *address = find_dynamic(DT_STRTAB);
        if (link != 0 &&
            (link >= sections.size() || address == nullptr ||
             sections[link].sh_addr != address->d_un.d_ptr || sections[link].sh_offset != table))
            report(format_message("the dynamic section's string table (section %zu) is not the "
                                  "one DT_STRTAB names",
                                  link));
    }
    for (const Elf64_Dyn &entry : dynamic) {
        if (!is_string_tag(entry.d_tag)) continue;
        if (!strings) {
            report("the dynamic string table (DT_STRTAB, DT_STRSZ) is not in the file");
            break;
        }
        if (entry.d_un.d_val >= size)
            report(format_message("dynamic entry 0x%" PRIx64 ": string offset 0x%" PRIx64
                                  " is outside the string table",
                                  static_cast<std::uint64_t>(entry.d_tag), entry.d_un.d_val));
    }
}

bool ElfImage::file_offset(std::uint64_t address, std::uint64_t length,
                           std::uint64_t &offset) const {
    for (const Elf64_Phdr &p : segments) {
        if (p.p_type != PT_LOAD || address < p.p_vaddr) continue;
        const std::uint64_t into = address - p.p_vaddr;
        if (into > p.p_filesz || length > p.p_filesz - into || p.p_offset > file_size ||
            into > file_size - p.p_offset)
            continue;
        offset = p.p_offset + into;
        return in_file(offset, length);
    }
    return false;
}

bool ElfImage::segment_offset(std::uint64_t address, std::uint64_t &offset,
                              std::uint64_t &left) const {
    for (const Elf64_Phdr &p : segments) {
        if (p.p_type != PT_LOAD || address < p.p_vaddr || address - p.p_vaddr >= p.p_filesz)
            continue;
        const std::uint64_t into = address - p.p_vaddr;
        if (p.p_offset > UINT64_MAX - into) continue; // the offset would wrap around
        offset = p.p_offset + into;
        left = p.p_filesz - into;
        return true;
    }
    return false;
}

const Elf64_Dyn *ElfImage::find_dynamic(std::int64_t tag) const {
    for (const Elf64_Dyn &entry : dynamic)
        if (entry.d_tag == tag) return &entry;
    return nullptr;
}

bool ElfImage::read_bytes(FILE *stream, std::uint64_t offset, std::uint64_t length,
                          std::string &out) const {
    if (!in_file(offset, length) || !seek(stream, offset)) return false;
    out.resize(length);
    return length == 0 || std::fread(out.data(), 1, length, stream) == length;
}

bool ElfImage::read_bytes(FILE *stream, std::uint64_t offset, char *into,
                          std::size_t length) const {
    if (!in_file(offset, length) || !seek(stream, offset)) return false;
    return length == 0 || std::fread(into, length, 1, stream) == 1;
}

bool ElfImage::read_strings(FILE *stream, std::uint64_t offset, std::uint64_t size,
                            StringTable &table) const {
    table.bytes.clear();
    if (!in_file(offset, size)) return false;
    table.bytes.resize(size);
    if (read_bytes(stream, offset, table.bytes.data(), table.bytes.size())) return true;
    table.bytes.clear();
    return false;
}

bool StringTable::get(std::uint64_t offset, std::string_view &text) const {
    if (offset >= bytes.size()) return false;
    const char *start = bytes.data() + offset;
    const std::size_t left = bytes.size() - offset;
    const void *end = std::memchr(start, '\0', left);
    text = std::string_view(start, end != nullptr ? static_cast<const char *>(end) - start : left);
    return true;
}

bool ElfImage::read_string(FILE *stream, std::uint64_t table, std::uint64_t size,
                           std::uint64_t index, std::string &out) const {
    if (!in_file(table, size) || index >= size || !seek(stream, table + index)) return false;
    out.clear();
    for (std::uint64_t left = size - index; left > 0; --left) {
        const int c = std::getc(stream);
        if (c == EOF) return false;
        if (c == 0) return true;
        out.push_back(static_cast<char>(c));
    }
    return false;
}

bool ElfImage::dynamic_strings(std::uint64_t &offset, std::uint64_t &size) const {
    const Elf64_Dyn *table = find_dynamic(DT_STRTAB);
    const Elf64_Dyn *length = find_dynamic(DT_STRSZ);
    if (table == nullptr || length == nullptr) return false;
    size = length->d_un.d_val;
    return file_offset(table->d_un.d_ptr, size, offset);
}

bool ElfImage::dynamic_string(FILE *stream, std::uint64_t index, std::string &out) const {
    std::uint64_t table = 0;
    std::uint64_t size = 0;
    return dynamic_strings(table, size) && read_string(stream, table, size, index, out);
}
