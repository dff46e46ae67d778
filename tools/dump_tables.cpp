// Printing each part of the dump, as text laid out like binutils readelf -W shows it, or as JSON.
// Tables are read and printed a chunk at a time.
#include "dumper.hpp"
#include "names.hpp"
#include "relocation_info.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <iterator>

namespace {

constexpr std::size_t header_label_width = 35;
constexpr std::size_t interpreter_limit = 4096;

const char *entries(std::uint64_t count) {
    return count == 1 ? " entry:\n" : " entries:\n";
}

bool is_string_tag(std::int64_t tag) {
    return tag == DT_NEEDED || tag == DT_SONAME || tag == DT_RPATH || tag == DT_RUNPATH ||
           tag == DT_AUXILIARY || tag == DT_FILTER;
}

// Tags whose value is a size in bytes.
bool is_size_tag(std::int64_t tag) {
    static constexpr std::int64_t sizes[] = {
        DT_PLTRELSZ, DT_RELASZ,   DT_RELAENT,        DT_STRSZ,        DT_SYMENT,
        DT_RELSZ,    DT_RELENT,   DT_INIT_ARRAYSZ,   DT_FINI_ARRAYSZ, DT_PREINIT_ARRAYSZ,
        DT_RELRSZ,   DT_RELRENT,  DT_SYMINSZ,        DT_SYMINENT,     DT_MOVEENT,
        DT_MOVESZ,   DT_PLTPADSZ, DT_GNU_CONFLICTSZ, DT_GNU_LIBLISTSZ};
    return std::find(std::begin(sizes), std::end(sizes), tag) != std::end(sizes);
}

bool is_count_tag(std::int64_t tag) {
    return tag == DT_VERDEFNUM || tag == DT_VERNEEDNUM || tag == DT_RELACOUNT || tag == DT_RELCOUNT;
}

// Flag words for DT_FLAGS and DT_FLAGS_1, lowest bit first.
void flag_words(Output &out, std::uint64_t value, const char *const *words, int known) {
    bool first = true;
    for (int bit = 0; bit < 64; ++bit) {
        const std::uint64_t flag = std::uint64_t{1} << bit;
        if ((value & flag) == 0) continue;
        if (!first) out.put(' ');
        first = false;
        if (bit < known) {
            out.put(words[bit]);
        } else {
            out.put("<unknown>: ");
            out.hex0x(flag);
        }
    }
}

const char *const dt_flags_words[] = {"ORIGIN", "SYMBOLIC", "TEXTREL", "BIND_NOW", "STATIC_TLS"};
const char *const dt_flags_1_words[] = {
    "NOW",       "GLOBAL",     "GROUP",      "NODELETE",  "LOADFLTR",  "INITFIRST", "NOOPEN",
    "ORIGIN",    "DIRECT",     "TRANS",      "INTERPOSE", "NODEFLIB",  "NODUMP",    "CONFALT",
    "ENDFILTEE", "DISPRELDNE", "DISPRELPND", "NODIRECT",  "IGNMULDEF", "NOKSYMS",   "NOHDR",
    "EDITED",    "NORELOC",    "SYMINTPOSE", "GLOBAUDIT", "SINGLETON", "STUB",      "PIE",
    "KMOD",      "WEAKFILTER", "NOCOMMON"};

// DT_MIPS_FLAGS, lowest bit first; higher bits are not shown.
const char *const mips_flag_words[] = {"QUICKSTART",
                                       "NOTPOT",
                                       "NO_LIBRARY_REPLACEMENT",
                                       "NO_MOVE",
                                       "SGI_ONLY",
                                       "GUARANTEE_INIT",
                                       "DELTA_C_PLUS_PLUS",
                                       "GUARANTEE_START_INIT",
                                       "PIXIE",
                                       "DEFAULT_DELAY_LOAD",
                                       "REQUICKSTART",
                                       "REQUICKSTARTED",
                                       "CORD",
                                       "NO_UNRES_UNDEF",
                                       "RLD_ORDER_SAFE"};

// Version flags: "none", or words joined by " | ".
void version_flags(Output &out, unsigned flags) {
    if (flags == 0) return out.put("none");
    static const char *const words[] = {"BASE", "WEAK", "INFO"};
    bool first = true;
    for (unsigned bit = 0; bit < 16; ++bit) {
        if ((flags & (1U << bit)) == 0) continue;
        if (!first) out.put(" | ");
        first = false;
        if (bit < 3) {
            out.put(words[bit]);
        } else {
            out.put("<unknown>: ");
            out.hex0x(1U << bit);
        }
    }
}

// Offsets within version sections: "000000" for 0, else at least four hex digits after 0x.
void version_offset(Output &out, std::uint64_t offset) {
    out.put("  ");
    if (offset == 0) {
        out.put("000000");
    } else {
        out.hex0x(offset, 4);
    }
    out.put(':');
}

// Symbol type and binding, with the reserved ranges named as readelf does.
void symbol_class_name(Output &out, const char *name, unsigned value, std::size_t width) {
    if (name != nullptr) return out.left(name, width);
    char text[48];
    if (value >= 10 && value <= 12) {
        std::snprintf(text, sizeof text, "<OS specific>: %u", value);
    } else if (value >= 13) {
        std::snprintf(text, sizeof text, "<processor specific>: %u", value);
    } else {
        std::snprintf(text, sizeof text, "<unknown>: %u", value);
    }
    out.left(text, width);
}

// A symbol's section index as the Ndx column shows it.
void section_index(Output &out, unsigned index) {
    char text[16];
    if (index == SHN_UNDEF) return out.put(" UND");
    if (index == SHN_ABS) return out.put(" ABS");
    if (index == SHN_COMMON) return out.put(" COM");
    if (index < SHN_LORESERVE) return out.dec(index, 4);
    const char *kind = index <= SHN_HIPROC ? "PRC" : index <= SHN_HIOS ? "OS " : "RSV";
    std::snprintf(text, sizeof text, "%s[0x%04x]", kind, index);
    out.put(text);
}

// A relocation type's name left-aligned in width columns (cut to them when cut is set), or
// "unrecognized: N" in readelf's words.
void relocation_type(Output &out, const char *name, unsigned type, std::size_t width,
                     bool cut = false) {
    if (name == nullptr) {
        char text[32];
        std::snprintf(text, sizeof text, "unrecognized: %-7x", type);
        return out.put(text);
    }
    const std::string_view text(name);
    out.left(cut ? text.substr(0, width) : text, width);
}

// The file type as the header shows it: "DYN (Shared object file)".
void file_type(Output &out, unsigned type) {
    if (const char *name = file_type_name(type)) {
        out.put(name);
        out.put(" (");
        out.put(file_type_description(type));
        out.put(")");
    } else if (type >= ET_LOOS && type <= ET_HIOS) {
        out.put("OS Specific: (");
        out.hex(type);
        out.put(')');
    } else if (type >= ET_LOPROC) {
        out.put("Processor Specific: (");
        out.hex(type);
        out.put(')');
    } else {
        out.put("<unknown>: ");
        out.hex(type);
    }
}

const char *version_kind_name(VersionKind kind) {
    switch (kind) {
    case VersionKind::default_version:
        return "default";
    case VersionKind::hidden:
        return "hidden";
    case VersionKind::needed:
        return "needed";
    default:
        return nullptr;
    }
}

} // namespace

void Dumper::print_header() {
    const Elf64_Ehdr &h = image_.header;
    const unsigned char *ident = h.e_ident;
    const MachineName *machine = machine_name(h.e_machine);
    const bool extended_sections = h.e_shnum == 0 && !image_.sections.empty();
    const bool extended_names = h.e_shstrndx == SHN_XINDEX && !image_.sections.empty();
    const bool extended_segments = h.e_phnum == PN_XNUM && !image_.sections.empty();
    if (options_.json) {
        json_.key("header");
        json_.begin_object();
        json_.key("ident");
        json_.begin_array(true);
        for (int i = 0; i < EI_NIDENT; ++i)
            json_.number(ident[i]);
        json_.end_array();
        json_.field("class", ident[EI_CLASS]);
        json_.name_field("class_name", class_name(ident[EI_CLASS]));
        json_.field("data", ident[EI_DATA]);
        json_.name_field("data_name", data_name(ident[EI_DATA]));
        json_.field("ident_version", ident[EI_VERSION]);
        json_.field("osabi", ident[EI_OSABI]);
        json_.name_field("osabi_name", osabi_name(ident[EI_OSABI]));
        json_.field("abi_version", ident[EI_ABIVERSION]);
        json_.field("type", h.e_type);
        json_.name_field("type_name", file_type_name(h.e_type));
        json_.name_field("type_description", file_type_description(h.e_type));
        json_.field("machine", h.e_machine);
        json_.name_field("machine_name", machine != nullptr ? machine->name : nullptr);
        json_.name_field("machine_description",
                         machine != nullptr ? machine->description : nullptr);
        const std::pair<const char *, std::uint64_t> fields[] = {
            {"version", h.e_version},     {"entry", h.e_entry},       {"phoff", h.e_phoff},
            {"shoff", h.e_shoff},         {"flags", h.e_flags},       {"ehsize", h.e_ehsize},
            {"phentsize", h.e_phentsize}, {"phnum", h.e_phnum},       {"shentsize", h.e_shentsize},
            {"shnum", h.e_shnum},         {"shstrndx", h.e_shstrndx},
        };
        for (const auto &[key, value] : fields)
            json_.field(key, value);
        const std::string flags = machine_flags_description(h.e_machine, h.e_flags);
        json_.key("flags_description");
        if (flags.empty()) {
            json_.null();
        } else {
            json_.string(flags);
        }
        // Extended numbering resolved through section 0.
        json_.field("section_count", extended_sections ? image_.sections[0].sh_size : h.e_shnum);
        json_.field("section_name_index",
                    extended_names ? image_.sections[0].sh_link : h.e_shstrndx);
        json_.field("segment_count", extended_segments ? image_.sections[0].sh_info : h.e_phnum);
        json_.end_object();
        return;
    }
    Output &o = out_;
    const auto label = [&](const char *text) {
        o.put("  ");
        o.left(text, header_label_width);
    };
    o.put("ELF Header:\n  Magic:   ");
    for (int i = 0; i < EI_NIDENT; ++i) {
        o.hex(ident[i], 2);
        o.put(' ');
    }
    o.put('\n');
    label("Class:");
    o.put(class_name(ident[EI_CLASS]));
    o.put('\n');
    label("Data:");
    o.put(data_name(ident[EI_DATA]));
    o.put('\n');
    label("Version:");
    o.dec(ident[EI_VERSION]);
    o.put(" (current)\n");
    label("OS/ABI:");
    if (const char *name = osabi_name(ident[EI_OSABI])) {
        o.put(name);
    } else {
        o.put("<unknown: ");
        o.hex(ident[EI_OSABI]);
        o.put('>');
    }
    o.put('\n');
    label("ABI Version:");
    o.dec(ident[EI_ABIVERSION]);
    o.put('\n');
    label("Type:");
    file_type(o, h.e_type);
    o.put('\n');
    label("Machine:");
    if (machine != nullptr) {
        o.put(machine->description);
    } else {
        o.put("<unknown>: ");
        o.hex0x(h.e_machine);
    }
    o.put('\n');
    label("Version:");
    o.hex0x(h.e_version);
    o.put('\n');
    label("Entry point address:");
    o.hex0x(h.e_entry);
    o.put('\n');
    label("Start of program headers:");
    o.dec(h.e_phoff);
    o.put(" (bytes into file)\n");
    label("Start of section headers:");
    o.dec(h.e_shoff);
    o.put(" (bytes into file)\n");
    label("Flags:");
    o.hex0x(h.e_flags);
    if (const std::string flags = machine_flags_description(h.e_machine, h.e_flags);
        !flags.empty()) {
        o.put(", ");
        o.put(flags);
    }
    o.put('\n');
    const auto count = [&](const char *text, std::uint64_t value, bool extended, std::uint64_t real,
                           const char *unit) {
        label(text);
        o.dec(value);
        if (extended) {
            o.put(" (");
            o.dec(real);
            o.put(")");
        }
        o.put(unit);
    };
    count("Size of this header:", h.e_ehsize, false, 0, " (bytes)\n");
    count("Size of program headers:", h.e_phentsize, false, 0, " (bytes)\n");
    count("Number of program headers:", h.e_phnum, extended_segments,
          extended_segments ? image_.sections[0].sh_info : 0, "\n");
    count("Size of section headers:", h.e_shentsize, false, 0, " (bytes)\n");
    count("Number of section headers:", h.e_shnum, extended_sections,
          extended_sections ? image_.sections[0].sh_size : 0, "\n");
    count("Section header string table index:", h.e_shstrndx, extended_names,
          extended_names ? image_.sections[0].sh_link : 0, "\n");
}

void Dumper::print_sections() {
    const unsigned machine = image_.header.e_machine;
    if (options_.json) {
        json_.key("section_table");
        json_.begin_object(true);
        json_.field("offset", image_.header.e_shoff);
        json_.field("count", image_.section_count);
        json_.end_object();
        json_.key("sections");
        json_.begin_array();
        for (std::size_t i = 0; i < image_.sections.size(); ++i) {
            const Elf64_Shdr &s = image_.sections[i];
            json_.begin_object(true);
            json_.field("index", i);
            json_.string_field("name", section_name(i));
            json_.field("type", s.sh_type);
            json_.name_field("type_name", section_type_name(s.sh_type, machine));
            const std::pair<const char *, std::uint64_t> fields[] = {
                {"flags", s.sh_flags},         {"addr", s.sh_addr},       {"offset", s.sh_offset},
                {"size", s.sh_size},           {"link", s.sh_link},       {"info", s.sh_info},
                {"addralign", s.sh_addralign}, {"entsize", s.sh_entsize},
            };
            for (const auto &[key, value] : fields)
                json_.field(key, value);
            json_.end_object();
        }
        json_.end_array();
        return;
    }
    Output &o = out_;
    if (image_.sections.empty()) return o.put("\nThere are no sections in this file.\n");
    // Without the file header, where the table is comes first.
    if (!options_.header) {
        o.put(image_.section_count == 1 ? "There is " : "There are ");
        o.dec(image_.section_count);
        o.put(image_.section_count == 1 ? " section header, starting at offset "
                                        : " section headers, starting at offset ");
        o.hex0x(image_.header.e_shoff);
        o.put(":\n");
    }
    o.put(image_.wide
              ? "\nSection Headers:\n  [Nr] Name              Type            Address          "
                "Off    Size   ES Flg Lk Inf Al\n"
              : "\nSection Headers:\n  [Nr] Name              Type            Addr     Off    "
                "Size   ES Flg Lk Inf Al\n");
    for (std::size_t i = 0; i < image_.sections.size(); ++i) {
        const Elf64_Shdr &s = image_.sections[i];
        o.put("  [");
        o.dec(i, 2);
        o.put("] ");
        const std::string_view name = section_name(i);
        o.visible(name);
        if (name.size() < 17) o.spaces(17 - name.size());
        o.put(' ');
        if (const char *type = section_type_name(s.sh_type, machine)) {
            o.left(type, 15);
        } else {
            char text[32];
            if (s.sh_type >= SHT_LOUSER) {
                std::snprintf(text, sizeof text, "LOUSER+%#x", s.sh_type - SHT_LOUSER);
            } else if (s.sh_type >= SHT_LOPROC) {
                std::snprintf(text, sizeof text, "LOPROC+%#x", s.sh_type - SHT_LOPROC);
            } else if (s.sh_type >= SHT_LOOS) {
                std::snprintf(text, sizeof text, "LOOS+%#x", s.sh_type - SHT_LOOS);
            } else {
                std::snprintf(text, sizeof text, "%08x: <unknown>", s.sh_type);
            }
            o.left(text, 15);
        }
        o.put(' ');
        o.hex(s.sh_addr, image_.wide ? 16 : 8);
        o.put(' ');
        o.hex(s.sh_offset, 6);
        o.put(' ');
        o.hex(s.sh_size, 6);
        o.put(' ');
        o.hex(s.sh_entsize, 2);
        o.put(' ');
        char flags[32];
        section_flag_letters(s.sh_flags, machine, image_.header.e_ident[EI_OSABI], flags);
        o.right(flags, 3);
        o.put(' ');
        o.dec(s.sh_link, 2);
        o.put(' ');
        o.dec(s.sh_info, 3);
        o.put(' ');
        o.dec(s.sh_addralign, 2);
        o.put('\n');
    }
    std::string legend;
    section_flag_legend(machine, image_.header.e_ident[EI_OSABI], legend);
    o.put(legend);
}

void Dumper::print_segments() {
    const unsigned machine = image_.header.e_machine;
    if (!options_.json) {
        if (image_.segments.empty())
            return out_.put("\nThere are no program headers in this file.\n");
        // Without the file header, the file's type, entry point and where the table is.
        if (!options_.header) {
            out_.put("\nElf file type is ");
            file_type(out_, image_.header.e_type);
            out_.put("\nEntry point ");
            out_.hex0x(image_.header.e_entry);
            out_.put(image_.segment_count == 1 ? "\nThere is " : "\nThere are ");
            out_.dec(image_.segment_count);
            out_.put(image_.segment_count == 1 ? " program header, starting at offset "
                                               : " program headers, starting at offset ");
            out_.dec(image_.header.e_phoff);
            out_.put('\n');
        }
        out_.put(image_.wide
                     ? "\nProgram Headers:\n  Type           Offset   VirtAddr           "
                       "PhysAddr           FileSiz  MemSiz   Flg Align\n"
                     : "\nProgram Headers:\n  Type           Offset   VirtAddr   PhysAddr   "
                       "FileSiz MemSiz  Flg Align\n");
    } else {
        json_.key("segment_table");
        json_.begin_object(true);
        json_.field("offset", image_.header.e_phoff);
        json_.field("count", image_.segment_count);
        json_.field("file_type", image_.header.e_type);
        json_.name_field("file_type_name", file_type_name(image_.header.e_type));
        json_.field("entry", image_.header.e_entry);
        json_.end_object();
        json_.key("segments");
        json_.begin_array();
    }
    for (std::size_t i = 0; i < image_.segments.size(); ++i) {
        const Elf64_Phdr &p = image_.segments[i];
        std::string interpreter;
        bool has_interpreter = false;
        if (p.p_type == PT_INTERP) {
            if (!in_file(p.p_offset, p.p_filesz)) {
                problem("segment %zu (INTERP): offset 0x%" PRIx64 " and size 0x%" PRIx64
                        " run past the end of the file (size 0x%" PRIx64 ")",
                        i, p.p_offset, p.p_filesz, image_.file_size);
            } else {
                interpreter.resize(std::min<std::uint64_t>(p.p_filesz, interpreter_limit));
                if (read_bytes(p.p_offset, interpreter.data(), interpreter.size())) {
                    interpreter.resize(std::strlen(interpreter.c_str()));
                    has_interpreter = true;
                } else {
                    problem("segment %zu (INTERP): read error", i);
                }
            }
        }
        const char *type = segment_type_name(p.p_type, machine);
        if (options_.json) {
            json_.begin_object(true);
            json_.field("index", i);
            json_.field("type", p.p_type);
            json_.name_field("type_name", type);
            const std::pair<const char *, std::uint64_t> fields[] = {
                {"flags", p.p_flags}, {"offset", p.p_offset}, {"vaddr", p.p_vaddr},
                {"paddr", p.p_paddr}, {"filesz", p.p_filesz}, {"memsz", p.p_memsz},
                {"align", p.p_align},
            };
            for (const auto &[key, value] : fields)
                json_.field(key, value);
            if (has_interpreter) {
                json_.string_field("interpreter", interpreter);
            }
            json_.end_object();
            continue;
        }
        Output &o = out_;
        o.put("  ");
        // The type takes 14 columns, cut to them as readelf does (RISCV_ATTRIBUT).
        if (type != nullptr) {
            o.left(std::string_view(type).substr(0, 14), 14);
        } else {
            char text[32];
            if (p.p_type >= PT_LOPROC && p.p_type <= PT_HIPROC) {
                std::snprintf(text, sizeof text, "LOPROC+%#x", p.p_type - PT_LOPROC);
            } else if (p.p_type >= PT_LOOS && p.p_type <= PT_HIOS) {
                std::snprintf(text, sizeof text, "LOOS+%#x", p.p_type - PT_LOOS);
            } else {
                std::snprintf(text, sizeof text, "<unknown>: %x", p.p_type);
            }
            o.left(std::string_view(text).substr(0, 14), 14);
        }
        o.put(' ');
        o.hex0x(p.p_offset, 6);
        o.put(' ');
        o.hex0x(p.p_vaddr, image_.wide ? 16 : 8);
        o.put(' ');
        o.hex0x(p.p_paddr, image_.wide ? 16 : 8);
        o.put(' ');
        o.hex0x(p.p_filesz, image_.wide ? 6 : 5);
        o.put(' ');
        o.hex0x(p.p_memsz, image_.wide ? 6 : 5);
        o.put(' ');
        o.put((p.p_flags & PF_R) != 0 ? 'R' : ' ');
        o.put((p.p_flags & PF_W) != 0 ? 'W' : ' ');
        o.put((p.p_flags & PF_X) != 0 ? 'E' : ' ');
        o.put(' ');
        if (p.p_align == 0) {
            o.put('0'); // readelf prints it with %#lx
        } else {
            o.hex0x(p.p_align);
        }
        o.put('\n');
        if (has_interpreter) {
            o.put("      [Requesting program interpreter: ");
            o.visible(interpreter);
            o.put("]\n");
        }
    }
    if (options_.json) json_.end_array();
}

void Dumper::print_dynamic() {
    const std::uint64_t record = image_.wide ? 16 : 8;
    // The DYNAMIC section, or without section headers the DYNAMIC segment.
    std::size_t section = 0;
    std::uint64_t offset = 0;
    std::uint64_t count = 0;
    bool found = false;
    bool usable = false;
    for (std::size_t i = 1; i < image_.sections.size() && !found; ++i) {
        if (image_.sections[i].sh_type != SHT_DYNAMIC) continue;
        found = true;
        section = i;
        offset = image_.sections[i].sh_offset;
        usable = section_table(i, record, count);
    }
    if (!found && image_.sections.empty()) {
        for (const Elf64_Phdr &p : image_.segments) {
            if (p.p_type != PT_DYNAMIC) continue;
            found = true;
            offset = p.p_offset;
            usable = in_file(p.p_offset, p.p_filesz) && charge(p.p_filesz);
            if (!usable)
                problem("DYNAMIC segment: offset 0x%" PRIx64 " and size 0x%" PRIx64
                        " run past the end of the file (size 0x%" PRIx64 ")",
                        p.p_offset, p.p_filesz, image_.file_size);
            count = usable ? p.p_filesz / record : 0;
            break;
        }
    }
    if (!found) {
        if (options_.json) {
            json_.key("dynamic");
            json_.null();
        } else {
            out_.put("\nThere is no dynamic section in this file.\n");
        }
        return;
    }

    // The table ends at the first DT_NULL, which is shown.
    // Hands entries [0, limit) to visit(entry, number) until it returns false, through the shared
    // reader's chunked walk. An entry that cannot be read is reported and ends the walk (false).
    const auto for_each_entry = [&](std::uint64_t limit, auto visit) {
        bool going = true;
        const std::uint64_t read_whole = image_.for_each_record(
            in_, offset, limit, record, quenza_read_Dyns,
            [&](const Elf64_Dyn &entry, std::uint64_t number) {
                if (going) going = visit(entry, number);
            },
            [](std::uint64_t) {});
        if (going && read_whole != limit) {
            problem("dynamic table: read error at entry %" PRIu64, read_whole);
            return false;
        }
        return true;
    };
    std::uint64_t shown = 0;
    bool ended = false;
    // An entry that cannot be read ends the table after the ones before it, all of them shown.
    if (usable && !for_each_entry(count, [&](const Elf64_Dyn &entry, std::uint64_t) {
            ++shown;
            ended = entry.d_tag == DT_NULL;
            return !ended;
        }))
        count = shown;
    if (usable && !ended && count != 0)
        problem("dynamic table: no DT_NULL entry ends it (%" PRIu64 " entries)", count);

    // Names come from the linked string table, or for a segment from DT_STRTAB, found through
    // the loadable segments.
    std::shared_ptr<const StringTable> names;
    if (section != 0) {
        std::size_t link;
        if (linked_section(section, link, "string table")) names = strings(link);
    } else if (usable) {
        std::uint64_t address = 0;
        std::uint64_t size = 0;
        bool has_address = false;
        for_each_entry(shown, [&](const Elf64_Dyn &entry, std::uint64_t) {
            if (entry.d_tag == DT_STRTAB) {
                address = entry.d_un.d_ptr;
                has_address = true;
            }
            if (entry.d_tag == DT_STRSZ) size = entry.d_un.d_val;
            return true;
        });
        std::uint64_t at = 0;
        std::uint64_t left = 0;
        if (has_address && image_.segment_offset(address, at, left)) {
            auto table = std::make_shared<StringTable>();
            if (!image_.read_strings(in_, at, size, *table) && !in_file(at, size)) {
                problem("dynamic string table: offset 0x%" PRIx64 " and size 0x%" PRIx64
                        " run past the end of the file (size 0x%" PRIx64 ")",
                        at, size, image_.file_size);
            }
            names = std::move(table);
        }
    }

    const unsigned machine = image_.header.e_machine;
    if (options_.json) {
        json_.key("dynamic");
        json_.begin_object();
        json_.key("section");
        if (section != 0) {
            json_.number(section);
        } else {
            json_.null();
        }
        json_.field("offset", offset);
        json_.key("entries");
        json_.begin_array();
    } else {
        out_.put("\nDynamic section at offset ");
        out_.hex0x(offset);
        out_.put(" contains ");
        out_.dec(shown);
        out_.put(entries(shown));
        out_.put("  Tag        Type                         Name/Value\n");
    }
    for_each_entry(shown, [&](const Elf64_Dyn &entry, std::uint64_t number) {
        const std::int64_t tag = entry.d_tag;
        const std::uint64_t value = entry.d_un.d_val;
        const char *tag_name = dynamic_tag_name(tag, machine);
        const DynamicTagName *own = machine_dynamic_tag(tag, machine);
        std::string_view text;
        // MIPS_IVERSION names a string too, but readelf shows a bad offset as a number.
        const bool named = is_string_tag(tag);
        const bool interface_version =
            own != nullptr && own->value == DynamicValue::interface_version;
        bool has_text = named;
        if (named) text = string_or_corrupt(names.get(), value, section, "dynamic entry", number);
        if (interface_version && names != nullptr) has_text = names->get(value, text);
        if (options_.json) {
            json_.begin_object(true);
            json_.signed_field("tag", tag);
            json_.name_field("tag_name", tag_name);
            json_.field("value", value);
            if (has_text) {
                json_.string_field("name", text);
            }
            json_.end_object();
            return true;
        }
        Output &o = out_;
        o.put(' ');
        o.hex0x(static_cast<std::uint64_t>(tag) & (image_.wide ? ~std::uint64_t{0} : 0xffffffff),
                image_.wide ? 16 : 8);
        o.put(" (");
        char unknown[64];
        if (tag_name == nullptr) {
            const char *kind = tag >= DT_LOPROC && tag <= DT_HIPROC ? "Processor Specific"
                               : tag >= DT_LOOS && tag <= DT_HIOS   ? "Operating System specific"
                                                                    : "<unknown>";
            std::snprintf(unknown, sizeof unknown, "%s: %" PRIx64, kind,
                          static_cast<std::uint64_t>(tag));
            tag_name = unknown;
        }
        o.put(tag_name);
        o.put(')');
        // The value starts where a 19-character (32-bit: 27) name would end it; a longer name
        // is followed by as many spaces as it is longer, as readelf pads it.
        const std::size_t length = std::strlen(tag_name);
        const std::size_t column = image_.wide ? 19 : 27;
        o.spaces(std::max<std::size_t>(1, length > column ? length - column : column - length));
        if (own != nullptr) {
            print_machine_dynamic_value(*own, value, has_text, text);
            o.put('\n');
            return true;
        }
        switch (tag) {
        case DT_NEEDED:
            o.put("Shared library: [");
            break;
        case DT_SONAME:
            o.put("Library soname: [");
            break;
        case DT_RPATH:
            o.put("Library rpath: [");
            break;
        case DT_RUNPATH:
            o.put("Library runpath: [");
            break;
        case DT_AUXILIARY:
            o.put("Auxiliary library: [");
            break;
        case DT_FILTER:
            o.put("Filter library: [");
            break;
        default:
            break;
        }
        if (named) {
            o.visible(text);
            o.put("]");
        } else if (is_size_tag(tag)) {
            o.dec(value);
            o.put(" (bytes)");
        } else if (is_count_tag(tag)) {
            o.dec(value);
        } else if (tag == DT_PLTREL && (value == DT_REL || value == DT_RELA)) {
            o.put(value == DT_REL ? "REL" : "RELA");
        } else if (tag == DT_FLAGS && value != 0) {
            flag_words(o, value, dt_flags_words, 5);
        } else if (tag == DT_FLAGS_1 && value != 0) {
            o.put("Flags: ");
            flag_words(o, value, dt_flags_1_words, 31);
        } else {
            o.hex0x(value);
        }
        o.put('\n');
        return true;
    });
    end_table_json();
}

void Dumper::print_machine_dynamic_value(const DynamicTagName &tag, std::uint64_t value,
                                         bool has_text, std::string_view text) {
    Output &o = out_;
    switch (tag.value) {
    case DynamicValue::decimal:
        return o.dec(value);
    case DynamicValue::mips_flags:
        if (value == 0) return o.put("NONE");
        flag_words(o, value & ((1U << std::size(mips_flag_words)) - 1), mips_flag_words,
                   static_cast<int>(std::size(mips_flag_words)));
        return;
    case DynamicValue::time_stamp: {
        // Seconds since 1970, as a UTC date and time.
        const time_t seconds = static_cast<time_t>(value);
        struct tm utc {};
        char text_time[64];
        if (gmtime_r(&seconds, &utc) == nullptr) {
            std::snprintf(text_time, sizeof text_time, "<corrupt time val: %" PRIx64, value);
        } else {
            std::snprintf(text_time, sizeof text_time, "Time Stamp: %04u-%02u-%02uT%02u:%02u:%02u",
                          static_cast<unsigned>(utc.tm_year + 1900),
                          static_cast<unsigned>(utc.tm_mon + 1), static_cast<unsigned>(utc.tm_mday),
                          static_cast<unsigned>(utc.tm_hour), static_cast<unsigned>(utc.tm_min),
                          static_cast<unsigned>(utc.tm_sec));
        }
        return o.put(text_time);
    }
    case DynamicValue::interface_version:
        o.put("Interface Version: ");
        if (has_text) {
            o.visible(text);
            return;
        }
        o.put("<corrupt: ");
        o.hex(value);
        return o.put('>');
    case DynamicValue::plt_reserve:
        o.hex0x(value);
        o.put(" -- ");
        return o.hex0x(value + 0x18);
    case DynamicValue::nothing:
        return;
    case DynamicValue::hex:
        break;
    }
    o.hex0x(value);
}

void Dumper::print_table_heading(const char *title, std::size_t index, std::uint64_t count,
                                 bool with_offset) {
    out_.put('\n');
    out_.put(title);
    out_.put(" '");
    out_.visible(section_name(index));
    out_.put('\'');
    if (with_offset) {
        out_.put(" at offset ");
        out_.hex0x(image_.sections[index].sh_offset);
    }
    out_.put(" contains ");
    out_.dec(count);
    out_.put(entries(count));
}

void Dumper::begin_table_json(std::size_t index) {
    json_.begin_object();
    json_.field("section", index);
    json_.string_field("name", section_name(index));
}

void Dumper::end_table_json() {
    if (!options_.json) return;
    json_.end_array();
    json_.end_object();
}

void Dumper::print_relocations() {
    if (options_.json) {
        json_.key("relocation_sections");
        json_.begin_array();
    }
    bool any = false;
    for (std::size_t i = 1; i < image_.sections.size(); ++i) {
        const std::uint32_t type = image_.sections[i].sh_type;
        if (type != SHT_REL && type != SHT_RELA && type != SHT_RELR) continue;
        any = true;
        if (type == SHT_RELR) {
            print_relr_section(i);
        } else {
            print_relocation_section(i);
        }
    }
    if (options_.json) {
        json_.end_array();
    } else if (!any) {
        out_.put("\nThere are no relocations in this file.\n");
    }
}

void Dumper::print_relocation_section(std::size_t index) {
    const Elf64_Shdr &section = image_.sections[index];
    const bool rela = section.sh_type == SHT_RELA;
    const std::uint64_t record = rela ? (image_.wide ? 24 : 12) : (image_.wide ? 16 : 8);
    std::uint64_t count = 0;
    const bool usable = section_table(index, record, count);

    // The symbol table the entries index (sh_link 0: none).
    const SymbolTable *symbols = nullptr;
    const std::uint32_t link = section.sh_link;
    if (link != 0) {
        std::size_t checked;
        if (linked_section(index, checked, "symbol table")) {
            const std::uint32_t type = image_.sections[checked].sh_type;
            if (type == SHT_SYMTAB || type == SHT_DYNSYM) {
                symbols = symbol_table(checked);
            } else {
                problem("%s: linked section %zu is not a symbol table",
                        section_label(index).c_str(), checked);
            }
        }
    }
    if (options_.json) {
        begin_table_json(index);
        json_.key("rela");
        json_.boolean(rela);
        json_.field("offset", section.sh_offset);
        json_.field("symbol_section", link);
        json_.key("relocations");
        json_.begin_array();
    } else {
        print_table_heading("Relocation section", index, count, true);
        if (image_.wide) {
            out_.put(rela ? "    Offset             Info             Type               "
                            "Symbol's Value  Symbol's Name + Addend\n"
                          : "    Offset             Info             Type               "
                            "Symbol's Value  Symbol's Name\n");
        } else {
            out_.put(rela ? " Offset     Info    Type                Sym. Value  "
                            "Symbol's Name + Addend\n"
                          : " Offset     Info    Type                Sym. Value  "
                            "Symbol's Name\n");
        }
    }

    const unsigned machine = image_.header.e_machine;
    const int digits = image_.wide ? 16 : 8;
    const InfoLayout layout = info_layout(image_.wide, machine, image_.header.e_ident[EI_DATA]);
    const bool mips64 = layout == InfoLayout::mips64_big || layout == InfoLayout::mips64_little;
    const auto print_relocation = [&](const Elf64_Rela &r, std::uint64_t) QUENZA_INLINE {
        const RelocationInfo decoded = decode_relocation_info(layout, r.r_info);
        const std::uint64_t symbol = decoded.symbol;
        const unsigned type = decoded.type;
        const char *type_name = relocation_type_name(machine, type);
        // R_SPARC_OLO10 carries a second addend in the bits above its type.
        const bool second_addend = layout == InfoLayout::sparc64 && type == R_SPARC_OLO10;
        const CompactSymbol *target = nullptr;
        std::string_view target_name;
        SymbolVersion version;
        if (symbol != 0) {
            if (symbols == nullptr) {
                if (link == 0)
                    problem("%s: relocations refer to symbols but the section has no symbol table",
                            section_label(index).c_str());
                target_name = "<corrupt>";
            } else if (symbol >= symbols->symbols.size()) {
                // Keyed by the symbol, so a bad index many relocations use counts once.
                problem("%s: symbol index %" PRIu64 " is out of range (%zu symbols)",
                        section_label(index).c_str(), symbol, symbols->symbols.size());
                target_name = "<corrupt>";
            } else {
                target = &symbols->symbols[symbol];
                target_name = string_or_corrupt(symbols->strings.get(), target->name,
                                                symbols->section, "symbol", symbol);
                if (target->name == 0)
                    target_name = ELF64_ST_TYPE(target->info) == STT_SECTION
                                      ? section_symbol_name(target->shndx)
                                      : std::string_view();
                if (symbol < symbols->versyms.size())
                    version = symbol_version(symbols->versyms[symbol], target->shndx != SHN_UNDEF,
                                             target_name);
            }
        }
        if (options_.json) {
            json_.begin_object(true);
            json_.field("offset", r.r_offset);
            json_.field("info", decoded.info);
            json_.field("type", type);
            json_.name_field("type_name", type_name);
            if (mips64) {
                json_.field("type2", decoded.type2);
                json_.name_field("type2_name", relocation_type_name(machine, decoded.type2));
                json_.field("type3", decoded.type3);
                json_.name_field("type3_name", relocation_type_name(machine, decoded.type3));
                json_.field("ssym", decoded.ssym);
                json_.name_field("ssym_name", mips_special_symbol_name(decoded.ssym));
            }
            json_.field("symbol", symbol);
            if (symbol != 0) {
                json_.key("symbol_value");
                if (target != nullptr) {
                    json_.number(target->value);
                } else {
                    json_.null();
                }
                json_.string_field("symbol_name", target_name);
                if (version.kind != VersionKind::none) {
                    json_.string_field("version", version.name);
                    json_.name_field("version_kind", version_kind_name(version.kind));
                }
            }
            if (rela) {
                json_.signed_field("addend", r.r_addend);
            }
            if (second_addend) {
                json_.signed_field("second_addend", decoded.type_data);
            }
            json_.end_object();
            return;
        }
        Output &o = out_;
        o.hex(r.r_offset, digits);
        o.put("  ");
        o.hex(decoded.info, digits);
        o.put(' ');
        relocation_type(o, type_name, type, 22);
        if (symbol != 0) {
            o.put(' ');
            if (target != nullptr && ELF64_ST_TYPE(target->info) == STT_GNU_IFUNC) {
                // An IFUNC symbol's value is not the address used: readelf shows "name()" in its
                // place, in the same columns when the name fits.
                const std::size_t width = image_.wide ? 14 : 8;
                const std::size_t columns =
                    o.visible(target->name == 0 || target_name == "<corrupt>" ? "??" : target_name);
                if (version.kind != VersionKind::none) {
                    o.put(version.kind == VersionKind::default_version ? "@@" : "@");
                    o.visible(version.name);
                }
                o.put("()");
                o.spaces(columns <= width ? width + 1 - columns : 1);
            } else {
                if (target != nullptr) {
                    o.hex(target->value, digits);
                } else {
                    o.spaces(static_cast<std::size_t>(digits));
                }
                o.put(image_.wide ? " " : "   ");
            }
            if (target != nullptr && target->name == 0 && target_name.empty()) {
                o.put("<null>");
            } else {
                print_symbol_name(target_name, version, false);
            }
            if (rela) {
                const bool negative = r.r_addend < 0;
                o.put(negative ? " - " : " + ");
                o.hex(negative ? 0 - static_cast<std::uint64_t>(r.r_addend)
                               : static_cast<std::uint64_t>(r.r_addend));
            }
        } else if (rela) {
            o.spaces(static_cast<std::size_t>(digits) + 4);
            if (r.r_addend < 0) {
                o.put('-');
                o.hex(0 - static_cast<std::uint64_t>(r.r_addend));
            } else {
                o.hex(static_cast<std::uint64_t>(r.r_addend));
            }
        }
        if (second_addend) {
            // Shown as an unsigned 64-bit number, as readelf does.
            o.put(" + ");
            o.hex(static_cast<std::uint64_t>(decoded.type_data));
        }
        o.put('\n');
        if (mips64) {
            o.put("                    Type2: ");
            relocation_type(o, relocation_type_name(machine, decoded.type2), decoded.type2, 17,
                            true);
            o.put("\n                    Type3: ");
            relocation_type(o, relocation_type_name(machine, decoded.type3), decoded.type3, 17,
                            true);
            o.put('\n');
            // readelf does not show the special symbol; it is shown when there is one.
            if (decoded.ssym != 0) {
                o.put("                    Ssym: ");
                relocation_type(o, mips_special_symbol_name(decoded.ssym), decoded.ssym, 17, true);
                o.put('\n');
            }
        }
    };
    if (usable && rela) {
        for_each_record(index, count, record, quenza_read_Relas, "relocation", print_relocation);
    } else if (usable) {
        for_each_record(index, count, record, quenza_read_Rels, "relocation",
                        [&](const Elf64_Rel &r, std::uint64_t number) {
                            print_relocation({r.r_offset, r.r_info, 0}, number);
                        });
    }
    end_table_json();
}

// Relative relocations packed as addresses and bitmaps: an even entry is an address to relocate;
// an odd one is a bitmap whose bit n (from 1) marks the word n - 1 places after the last address.
void Dumper::print_relr_section(std::size_t index) {
    const Elf64_Shdr &section = image_.sections[index];
    const std::uint64_t word = image_.wide ? 8 : 4;
    std::uint64_t count = 0;
    const bool usable = section_table(index, word, count);
    // One pass to count the addresses for the heading, one to show them.
    std::uint64_t addresses = 0;
    bool opened = false; // a failed first seek ends the section before its heading
    for (int pass = 0; pass < 2 && usable; ++pass) {
        if (pass == 1) {
            opened = true;
            if (options_.json) {
                begin_table_json(index);
                json_.key("relr");
                json_.boolean(true);
                json_.field("offset", section.sh_offset);
                json_.key("addresses");
                json_.begin_array(true);
            } else {
                print_table_heading("Relocation section", index, count, true);
                out_.put("  ");
                out_.dec(addresses);
                out_.put(" offsets\n");
            }
        }
        if (!seek(section.sh_offset)) break;
        std::uint64_t next = 0;
        for (std::uint64_t i = 0; i < count; ++i) {
            Elf64_Addr entry;
            if (quenza_read_Addr(in_, &entry) != 1) {
                if (pass == 0)
                    problem("%s: read error at entry %" PRIu64, section_label(index).c_str(), i);
                count = i;
                break;
            }
            const auto show = [&](std::uint64_t address) {
                if (pass == 0) {
                    ++addresses;
                } else if (options_.json) {
                    json_.number(address);
                } else {
                    out_.hex(address, image_.wide ? 16 : 8);
                    out_.put('\n');
                }
            };
            if ((entry & 1) == 0) {
                show(entry);
                next = entry + word;
                continue;
            }
            for (std::uint64_t bit = 1; bit < word * 8; ++bit)
                if (((entry >> bit) & 1) != 0) show(next + (bit - 1) * word);
            next += (word * 8 - 1) * word;
        }
    }
    if (opened) end_table_json();
}

void Dumper::print_symbol_name(std::string_view name, const SymbolVersion &version,
                               bool with_index) {
    out_.visible(name);
    switch (version.kind) {
    case VersionKind::none:
        return;
    case VersionKind::default_version:
        out_.put("@@");
        break;
    case VersionKind::hidden:
    case VersionKind::needed:
        out_.put('@');
        break;
    }
    out_.visible(version.name);
    if (with_index && version.kind == VersionKind::needed) {
        out_.put(" (");
        out_.dec(version.index);
        out_.put(')');
    }
}

void Dumper::print_symbols() {
    if (options_.json) {
        json_.key("symbol_tables");
        json_.begin_array();
    }
    for (std::size_t i = 1; i < image_.sections.size(); ++i)
        if ((image_.sections[i].sh_type == SHT_SYMTAB && !options_.dynamic_symbols_only) ||
            image_.sections[i].sh_type == SHT_DYNSYM)
            print_symbol_section(i);
    if (options_.json) {
        json_.end_array();
        json_.key("symbol_information");
        json_.begin_array();
    }
    for (std::size_t i = 1; i < image_.sections.size() && !options_.dynamic_symbols_only; ++i)
        if (image_.sections[i].sh_type == SHT_SUNW_syminfo) print_syminfo_section(i);
    if (options_.json) json_.end_array();
}

void Dumper::print_symbol_section(std::size_t index) {
    const std::uint64_t record = image_.wide ? 24 : 16;
    std::uint64_t count = 0;
    const bool usable = section_table(index, record, count);
    std::shared_ptr<const StringTable> names;
    std::size_t link;
    if (linked_section(index, link, "string table")) names = strings(link);

    // Symbol versions, from the version section that links to this table.
    const std::size_t versym = versym_section_for(index);
    std::uint64_t versions = 0;
    if (versym != 0) {
        load_versions();
        if (section_table(versym, 2, versions) && usable && versions != count)
            problem("%s: %" PRIu64 " version entries for %" PRIu64 " symbols",
                    section_label(versym).c_str(), versions, count);
        versions = std::min(versions, count);
    }

    if (options_.json) {
        begin_table_json(index);
        json_.key("symbols");
        json_.begin_array();
    } else {
        print_table_heading("Symbol table", index, count);
        out_.put(image_.wide ? "   Num:    Value          Size Type    Bind   Vis      Ndx Name\n"
                             : "   Num:    Value  Size Type    Bind   Vis      Ndx Name\n");
    }

    // Version entries for the chunk of symbols in hand, where the version section has them.
    std::vector<Elf64_Versym> chunk_versions(
        usable && versions != 0 ? std::min<std::uint64_t>(count, chunk_records) : 0);
    std::uint64_t chunk_first = 0;
    std::uint64_t with_versions = 0;
    const auto read_versions = [&](std::uint64_t first) {
        chunk_first = first;
        with_versions = 0;
        if (first >= versions) return;
        with_versions = std::min<std::uint64_t>(versions - first, chunk_records);
        if (!seek(image_.sections[versym].sh_offset + first * 2)) with_versions = 0;
        for (std::uint64_t i = 0; i < with_versions; ++i) {
            if (quenza_read_Versym(in_, &chunk_versions[i]) != 1) {
                problem("%s: read error at entry %" PRIu64, section_label(versym).c_str(),
                        first + i);
                with_versions = i;
                versions = first + i;
                break;
            }
        }
    };
    const unsigned machine = image_.header.e_machine;
    const unsigned osabi = image_.header.e_ident[EI_OSABI];
    const auto print_symbol = [&](const Elf64_Sym &s, std::uint64_t number) QUENZA_INLINE {
        const std::uint64_t i = number - chunk_first;
        std::string_view symbol_name =
            string_or_corrupt(names.get(), s.st_name, index, "symbol", number);
        const unsigned type = ELF64_ST_TYPE(s.st_info);
        const unsigned binding = ELF64_ST_BIND(s.st_info);
        const unsigned visibility = ELF64_ST_VISIBILITY(s.st_other);
        if (symbol_name.empty() && type == STT_SECTION) symbol_name = section_name(s.st_shndx);
        if (!image_.sections.empty() && s.st_shndx >= image_.sections.size() &&
            s.st_shndx < SHN_LORESERVE)
            problem("%s: symbol %" PRIu64 ": section index %u is out of range (%zu sections)",
                    section_label(index).c_str(), number, s.st_shndx, image_.sections.size());
        SymbolVersion version;
        const bool has_versym = i < with_versions;
        if (has_versym) {
            const Elf64_Versym versym_value = chunk_versions[i];
            version = symbol_version(versym_value, s.st_shndx != SHN_UNDEF, symbol_name);
            if (version.kind == VersionKind::none && version.index > VER_NDX_GLOBAL &&
                (s.st_shndx == SHN_UNDEF || version.index >= version_names_.size() ||
                 !version_names_[version.index].has_defined))
                problem("%s: symbol %" PRIu64 ": version index %u is not defined",
                        section_label(index).c_str(), number, version.index);
        }
        if (options_.json) {
            json_.begin_object(true);
            json_.field("index", number);
            json_.field("value", s.st_value);
            json_.field("size", s.st_size);
            json_.field("type", type);
            json_.name_field("type_name", symbol_type_name(type, machine, osabi));
            json_.field("bind", binding);
            json_.name_field("bind_name", symbol_binding_name(binding, osabi));
            json_.field("visibility", visibility);
            json_.name_field("visibility_name", symbol_visibility_name(visibility));
            json_.field("other", s.st_other);
            json_.field("shndx", s.st_shndx);
            json_.string_field("name", symbol_name);
            if (has_versym) {
                json_.field("versym", chunk_versions[i]);
            }
            if (version.kind != VersionKind::none) {
                json_.string_field("version", version.name);
                json_.name_field("version_kind", version_kind_name(version.kind));
            }
            json_.end_object();
            return;
        }
        Output &o = out_;
        o.dec(number, 6);
        o.put(": ");
        o.hex(s.st_value, image_.wide ? 16 : 8);
        o.put(' ');
        if (s.st_size < 100000) {
            o.dec(s.st_size, 5);
        } else {
            o.hex0x(s.st_size);
        }
        o.put(' ');
        symbol_class_name(o, symbol_type_name(type, machine, osabi), type, 7);
        o.put(' ');
        symbol_class_name(o, symbol_binding_name(binding, osabi), binding, 6);
        o.put(' ');
        o.left(symbol_visibility_name(visibility), 7);
        o.put(' ');
        section_index(o, s.st_shndx);
        o.put(' ');
        print_symbol_name(symbol_name, version, true);
        o.put('\n');
    };
    if (usable)
        for_each_record(index, count, record, quenza_read_Syms, "symbol", print_symbol,
                        read_versions);
    end_table_json();
}

void Dumper::print_syminfo_section(std::size_t index) {
    std::uint64_t count = 0;
    const bool usable = section_table(index, 4, count);
    const SymbolTable *symbols = nullptr;
    std::size_t link;
    if (linked_section(index, link, "symbol table")) {
        if (image_.sections[link].sh_type == SHT_SYMTAB ||
            image_.sections[link].sh_type == SHT_DYNSYM) {
            symbols = symbol_table(link);
        } else {
            problem("%s: linked section %zu is not a symbol table", section_label(index).c_str(),
                    link);
        }
    }
    if (options_.json) {
        begin_table_json(index);
        json_.key("entries");
        json_.begin_array();
    } else {
        print_table_heading("Symbol information section", index, count);
        out_.put("   Num: BoundTo   Flags  Name\n");
    }
    const auto print_syminfo = [&](const Elf64_Syminfo &info, std::uint64_t number) {
        std::string_view symbol_name;
        if (symbols != nullptr && number < symbols->symbols.size()) {
            symbol_name = string_or_corrupt(symbols->strings.get(), symbols->symbols[number].name,
                                            link, "symbol", number);
        } else if (symbols != nullptr) {
            problem("%s: entry %" PRIu64 " has no symbol (%zu symbols)",
                    section_label(index).c_str(), number, symbols->symbols.size());
        }
        if (options_.json) {
            json_.begin_object(true);
            json_.field("index", number);
            json_.field("boundto", info.si_boundto);
            json_.field("flags", info.si_flags);
            json_.string_field("name", symbol_name);
            json_.end_object();
            return;
        }
        Output &o = out_;
        o.dec(number, 6);
        o.put(": ");
        if (info.si_boundto == SYMINFO_BT_SELF) {
            o.left("<self>", 8);
        } else if (info.si_boundto == SYMINFO_BT_PARENT) {
            o.left("<parent>", 8);
        } else {
            o.dec(info.si_boundto, 8);
        }
        o.put(' ');
        o.hex0x(info.si_flags, 4);
        o.put(' ');
        o.visible(symbol_name);
        o.put('\n');
    };
    if (usable) for_each_record(index, count, 4, quenza_read_Syminfos, "entry", print_syminfo);
    end_table_json();
}

void Dumper::print_versions() {
    load_versions();
    if (options_.json) {
        json_.key("version_sections");
        json_.begin_array();
    }
    bool any = false;
    // Version sections were walked in section order; show them merged with the VERSYM ones.
    auto next = version_sections_.begin();
    for (std::size_t i = 1; i < image_.sections.size(); ++i) {
        if (image_.sections[i].sh_type == SHT_GNU_versym) {
            any = true;
            print_versym_section(i);
        }
        for (; next != version_sections_.end() && next->section == i; ++next) {
            any = true;
            print_version_section(*next);
        }
    }
    if (options_.json) {
        json_.end_array();
    } else if (!any) {
        out_.put("\nNo version information found in this file.\n");
    }
}

void Dumper::print_version_heading(const char *what, std::size_t index, std::uint64_t count) {
    const Elf64_Shdr &section = image_.sections[index];
    const std::uint32_t link = section.sh_link;
    if (options_.json) {
        json_.field("section", index);
        json_.string_field("name", section_name(index));
        json_.field("link", link);
        return;
    }
    print_table_heading(what, index, count);
    Output &o = out_;
    o.put(" Addr: ");
    o.hex0x(section.sh_addr, 16);
    o.put("  Offset: ");
    o.hex0x(section.sh_offset, 8);
    o.put("  Link: ");
    o.dec(link);
    o.put(" (");
    o.visible(section_name(link));
    o.put(")\n");
}

void Dumper::print_versym_section(std::size_t index) {
    std::uint64_t count = 0;
    const bool usable = section_table(index, 2, count);
    if (options_.json) {
        json_.begin_object();
        json_.string_field("kind", "symbols");
    }
    print_version_heading("Version symbols section", index, count);
    if (options_.json) {
        json_.key("entries");
        json_.begin_array(true);
    }
    const auto name_of = [&](unsigned value) -> std::string_view {
        const unsigned version = value & versym_index;
        if (version == VER_NDX_LOCAL) return "*local*";
        if (version == VER_NDX_GLOBAL) return "*global*";
        if (version < version_names_.size()) {
            const VersionName &entry = version_names_[version];
            if (entry.has_needed) return entry.needed;
            if (entry.has_defined) return entry.defined;
        }
        return "???";
    };
    if (usable && !seek(image_.sections[index].sh_offset)) count = 0;
    for (std::uint64_t i = 0; usable && i < count; ++i) {
        Elf64_Versym value;
        if (quenza_read_Versym(in_, &value) != 1) {
            problem("%s: read error at entry %" PRIu64, section_label(index).c_str(), i);
            break;
        }
        if (options_.json) {
            json_.number(value);
            continue;
        }
        Output &o = out_;
        if (i % 4 == 0) {
            if (i != 0) o.put('\n');
            o.put("  ");
            o.hex(i, 3);
            o.put(':');
        }
        // Each entry: index, 'h' when hidden, name in parentheses, padded to 18 columns.
        std::size_t width = 5;
        char digits[8];
        std::snprintf(digits, sizeof digits, "%4x", value & versym_index);
        o.put(digits);
        o.put((value & versym_hidden) != 0 ? 'h' : ' ');
        const std::string_view name = name_of(value);
        o.put('(');
        o.visible(name);
        o.put(')');
        // The closing parenthesis fills |12 - length| columns, the whole entry at least 18.
        const std::size_t closing = name.size() < 12 ? 12 - name.size() : name.size() - 12;
        width += name.size() + 1 + (closing > 1 ? closing : 1);
        if (closing > 1) o.spaces(closing - 1);
        if (width < 18) o.spaces(18 - width);
    }
    if (options_.json) {
        json_.end_array();
        json_.end_object();
    } else if (usable && count != 0) {
        out_.put('\n');
    }
}

void Dumper::print_version_section(const VersionSection &versions) {
    const std::size_t index = versions.section;
    const StringTable *names = versions.strings.get();
    const std::uint64_t count = image_.sections[index].sh_info;
    if (options_.json) {
        json_.begin_object();
        json_.string_field("kind", versions.definitions ? "definitions" : "requirements");
    }
    print_version_heading(versions.definitions ? "Version definition section"
                                               : "Version needs section",
                          index, count);
    if (options_.json) {
        json_.key("entries");
        json_.begin_array();
    }
    const char *what = versions.definitions ? "version definition" : "version requirement";
    for (std::size_t k = 0; k < versions.records.size(); ++k) {
        const VersionRecord &record = versions.records[k];
        if (versions.definitions) {
            const std::string_view name =
                record.aux.empty() ? std::string_view()
                                   : string_or_corrupt(names, record.aux[0].name, index, what, k);
            if (options_.json) {
                json_.begin_object(true);
                json_.field("offset", record.offset);
                json_.field("version", record.version);
                json_.field("flags", record.flags);
                json_.field("index", record.index);
                json_.field("count", record.count);
                json_.field("hash", record.hash);
                json_.string_field("name", name);
                json_.key("parents");
                json_.begin_array();
                for (std::size_t j = 1; j < record.aux.size(); ++j)
                    json_.string(string_or_corrupt(names, record.aux[j].name, index, what, k));
                json_.end_array();
                json_.end_object();
                continue;
            }
            Output &o = out_;
            version_offset(o, record.offset);
            o.put(" Rev: ");
            o.dec(record.version);
            o.put("  Flags: ");
            version_flags(o, record.flags);
            o.put("  Index: ");
            o.dec(record.index);
            o.put("  Cnt: ");
            o.dec(record.count);
            o.put("  Name: ");
            o.visible(name);
            o.put('\n');
            for (std::size_t j = 1; j < record.aux.size(); ++j) {
                version_offset(o, record.aux[j].offset);
                o.put(" Parent ");
                o.dec(j);
                o.put(": ");
                o.visible(string_or_corrupt(names, record.aux[j].name, index, what, k));
                o.put('\n');
            }
            continue;
        }
        const std::string_view file = string_or_corrupt(names, record.file, index, what, k);
        if (options_.json) {
            json_.begin_object(true);
            json_.field("offset", record.offset);
            json_.field("version", record.version);
            json_.string_field("file", file);
            json_.field("count", record.count);
            json_.key("aux");
            json_.begin_array();
            for (const VersionAux &aux : record.aux) {
                json_.begin_object();
                json_.field("offset", aux.offset);
                json_.string_field("name", string_or_corrupt(names, aux.name, index, what, k));
                json_.field("hash", aux.hash);
                json_.field("flags", aux.flags);
                json_.field("other", aux.other);
                json_.end_object();
            }
            json_.end_array();
            json_.end_object();
            continue;
        }
        Output &o = out_;
        version_offset(o, record.offset);
        o.put(" Version: ");
        o.dec(record.version);
        o.put("  File: ");
        o.visible(file);
        o.put("  Cnt: ");
        o.dec(record.count);
        o.put('\n');
        for (const VersionAux &aux : record.aux) {
            version_offset(o, aux.offset);
            o.put("   Name: ");
            o.visible(string_or_corrupt(names, aux.name, index, what, k));
            o.put("  Flags: ");
            version_flags(o, aux.flags);
            o.put("  Version: ");
            o.dec(aux.other);
            o.put('\n');
        }
    }
    end_table_json();
}
