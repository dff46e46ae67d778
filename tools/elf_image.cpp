// Reading a file's structure: every count, offset and size is checked against the file size
// (taken once) before anything is allocated or read.
#include "elf_image.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace {

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *pattern, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): initialised above (false positive)
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

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
    const std::uint64_t position = base + offset;
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool ElfImage::load(FILE *stream, std::uint64_t at, const ProblemReport &report) {
    *this = ElfImage{};
    base = at;
    std::uint64_t total = 0;
    if (!stream_size(stream, total)) {
        report("cannot take the file's size");
        return false;
    }
    if (total < at) {
        report("the ELF file starts after the end of the stream");
        return false;
    }
    file_size = total - at;
    if (file_size < EI_NIDENT || !seek(stream, 0)) {
        report("missing ELF header");
        return false;
    }
    const int status = quenza_read_Ehdr(stream, &header);
    if (status == QUENZA_BAD_MAGIC) {
        report("not an ELF file");
        return false;
    }
    if (status == QUENZA_BAD_CLASS || status == QUENZA_BAD_DATA || status == QUENZA_BAD_VERSION) {
        report("unsupported ELF class, byte order or version");
        return false;
    }
    if (status != 1) {
        report("missing ELF header (the file is cut short)");
        return false;
    }
    wide = header.e_ident[EI_CLASS] == ELFCLASS64;
    big_endian = header.e_ident[EI_DATA] == ELFDATA2MSB;

    // Section headers first: extended numbering keeps counts in section 0.
    std::uint64_t section_count = header.e_shnum;
    std::uint64_t names_index = header.e_shstrndx;
    std::uint64_t segment_count = header.e_phnum;
    bool sections_ok = true;
    if (header.e_shoff != 0) {
        Elf64_Shdr first{};
        if (header.e_shentsize != shdr_size()) {
            report(format("section header size %u is not %zu", header.e_shentsize, shdr_size()));
            sections_ok = false;
        } else if (!in_file(header.e_shoff, shdr_size()) || !seek(stream, header.e_shoff) ||
                   quenza_read_Shdr(stream, &first) != 1) {
            report(format("section header table at 0x%" PRIx64 " is outside the file",
                          header.e_shoff));
            sections_ok = false;
        } else {
            if (section_count == 0) section_count = first.sh_size;
            if (names_index == SHN_XINDEX) names_index = first.sh_link;
            if (segment_count == PN_XNUM) segment_count = first.sh_info;
        }
        if (sections_ok) {
            const std::uint64_t bytes = section_count * shdr_size();
            if (section_count > file_size / shdr_size() || !in_file(header.e_shoff, bytes)) {
                report(format("section header table (%" PRIu64 " entries at 0x%" PRIx64
                              ") goes past the end of the file",
                              section_count, header.e_shoff));
                sections_ok = false;
            } else if (section_count > 0) {
                sections.resize(section_count);
                if (!seek(stream, header.e_shoff) ||
                    quenza_read_Shdrs(stream, sections.data(), static_cast<int>(section_count)) !=
                        static_cast<int>(section_count)) {
                    report("cannot read the section header table");
                    sections.clear();
                    sections_ok = false;
                }
            }
        }
        if (sections_ok && names_index >= sections.size() && names_index != SHN_UNDEF) {
            report(format("section name table index %" PRIu64 " is out of range", names_index));
        } else if (sections_ok) {
            section_names = static_cast<std::uint32_t>(names_index);
        }
    } else if (segment_count == PN_XNUM) {
        report("extended program header count without a section header table");
        segment_count = 0;
    }
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Elf64_Shdr &s = sections[i];
        if (i == 0 || s.sh_type == SHT_NOBITS || s.sh_type == SHT_NULL) continue;
        if (!in_file(s.sh_offset, s.sh_size))
            report(format("section %zu: [0x%" PRIx64 ", +0x%" PRIx64 ") is outside the file", i,
                          s.sh_offset, s.sh_size));
    }

    phoff = header.e_phoff;
    if (segment_count > 0) {
        const std::uint64_t bytes = segment_count * phdr_size();
        if (header.e_phentsize != phdr_size()) {
            report(format("program header size %u is not %zu", header.e_phentsize, phdr_size()));
        } else if (segment_count > file_size / phdr_size() || !in_file(header.e_phoff, bytes)) {
            report("program header table out of bounds");
        } else {
            segments.resize(segment_count);
            if (!seek(stream, header.e_phoff) ||
                quenza_read_Phdrs(stream, segments.data(), static_cast<int>(segment_count)) !=
                    static_cast<int>(segment_count)) {
                report("cannot read the program header table");
                segments.clear();
            }
        }
    }
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Elf64_Phdr &p = segments[i];
        if (p.p_type == PT_NULL) continue;
        if (!in_file(p.p_offset, p.p_filesz))
            report(format("segment %zu: [0x%" PRIx64 ", +0x%" PRIx64 ") is outside the file", i,
                          p.p_offset, p.p_filesz));
        if (p.p_type == PT_LOAD && p.p_filesz > p.p_memsz)
            report(format("segment %zu: file size 0x%" PRIx64 " exceeds memory size 0x%" PRIx64, i,
                          p.p_filesz, p.p_memsz));
        if (p.p_type == PT_DYNAMIC && dynamic_segment < 0) dynamic_segment = static_cast<int>(i);
    }

    for (std::size_t i = 0; i < sections.size(); ++i)
        if (sections[i].sh_type == SHT_DYNAMIC) {
            dynamic_section = static_cast<int>(i);
            break;
        }
    if (dynamic_segment >= 0) {
        const Elf64_Phdr &p = segments[static_cast<std::size_t>(dynamic_segment)];
        dynamic_offset = p.p_offset;
        dynamic_address = p.p_vaddr;
        dynamic_slots = p.p_filesz / dyn_size();
        if (dynamic_section >= 0) {
            const Elf64_Shdr &s = sections[static_cast<std::size_t>(dynamic_section)];
            if (s.sh_offset != p.p_offset || s.sh_addr != p.p_vaddr)
                report(format("the dynamic section (0x%" PRIx64 ") and segment (0x%" PRIx64
                              ") disagree",
                              s.sh_offset, p.p_offset));
        }
        std::uint64_t mapped = 0;
        if (!file_offset(p.p_vaddr, p.p_filesz, mapped) || mapped != p.p_offset)
            report("the dynamic segment is not where a loadable segment maps its address");
        if (in_file(dynamic_offset, dynamic_slots * dyn_size()) && dynamic_slots > 0) {
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
    }
    if (has_dynamic) {
        std::uint64_t table = 0;
        std::uint64_t size = 0;
        const bool strings = dynamic_strings(table, size);
        for (const Elf64_Dyn &entry : dynamic) {
            if (!is_string_tag(entry.d_tag)) continue;
            if (!strings) {
                report("the dynamic string table (DT_STRTAB, DT_STRSZ) is not in the file");
                break;
            }
            if (entry.d_un.d_val >= size)
                report(format("dynamic entry 0x%" PRIx64 ": string offset 0x%" PRIx64
                              " is outside the string table",
                              static_cast<std::uint64_t>(entry.d_tag), entry.d_un.d_val));
        }
    }
    return true;
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
