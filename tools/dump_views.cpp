// The structure views beyond the record tables: the section to segment mapping, section groups,
// notes, hash-table histograms and the hex and string dumps of sections. Each is read first into
// a small model, then printed as text laid out like binutils readelf -W, or as JSON.
#include "dumper.hpp"
#include "messages.hpp"
#include "note_names.hpp"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <iterator>

namespace {

// Hex dumps show this many bytes a row; larger dumps are read a chunk of rows at a time.
constexpr std::size_t hex_row = 16;
constexpr std::size_t dump_chunk = std::size_t{1} << 16;
// Notes larger than this are not decoded or shown byte by byte (real ones are a few kilobytes;
// core files hold register sets of some tens of kilobytes).
constexpr std::uint64_t note_data_limit = std::uint64_t{16} << 20;

// The section to segment mapping is made for at most this many pairs.
constexpr std::size_t mapping_limit = std::size_t{1} << 26;

// Segment types that hold only allocated sections, besides those <elf.h> names.
constexpr std::uint32_t pt_gnu_sframe = 0x6474e554;
constexpr std::uint32_t pt_gnu_mbind_lo = 0x6474e555;
constexpr std::uint32_t pt_gnu_mbind_hi = 0x6474f554;

const char *note_type_text(const NoteTypeName *begin, const NoteTypeName *end, std::uint32_t type) {
    const auto *const found =
        std::find_if(begin, end, [type](const NoteTypeName &entry) { return entry.type == type; });
    return found != end ? found->text : nullptr;
}

template <std::size_t N>
const char *note_type_text(const NoteTypeName (&table)[N], std::uint32_t type) {
    return note_type_text(std::begin(table), std::end(table), type);
}

// Bit names joined by ", ", lowest bit first; "<None>" for no bits when none_text.
template <std::size_t N>
std::string bit_names(std::uint32_t mask, const char *const (&names)[N], bool none_text) {
    if (mask == 0) return none_text ? "<None>" : "";
    std::string text;
    while (mask != 0) {
        const std::uint32_t bit = mask & (0U - mask);
        mask &= ~bit;
        const int index = __builtin_ctz(bit);
        if (static_cast<std::size_t>(index) < N) {
            text += names[index];
        } else {
            char unknown[32];
            std::snprintf(unknown, sizeof unknown, "<unknown: %x>", bit);
            text += unknown;
        }
        if (mask != 0) text += ", ";
    }
    return text;
}

std::string hex_bytes(const std::string &bytes, bool spaced) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * (spaced ? 3 : 2));
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += digits[byte >> 4];
        text += digits[byte & 15];
        if (spaced) text += ' ';
    }
    return text;
}

// The text of a NUL-terminated field, cut at its first NUL or its end.
std::string_view c_string(const std::string &bytes, std::size_t at = 0) {
    if (at >= bytes.size()) return {};
    const std::string_view rest(bytes.data() + at, bytes.size() - at);
    return rest.substr(0, rest.find('\0'));
}

// A string of a string dump: control characters as ^X, and DEL as '^' followed by the byte 0xbf
// (DEL + 0x40), as readelf shows them; other bytes as they are.
void string_dump_text(Output &out, std::string_view text) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7f) continue;
        out.put(text.substr(start, i - start));
        out.put('^');
        out.put(static_cast<char>(c + 0x40));
        start = i + 1;
    }
    out.put(text.substr(start));
}

} // namespace

// -- Section to segment mapping ------------------------------------------------------------------

namespace {

// Whether a section lies in a segment, by readelf's rule: its file bytes (unless NOBITS) and, when
// allocated, its addresses inside the segment's; TLS sections only in TLS, LOAD and RELRO
// segments; no empty sections at the edges of DYNAMIC and NOTE segments.
bool section_in_segment(const Elf64_Shdr &s, const Elf64_Phdr &p) {
    const bool tls = (s.sh_flags & SHF_TLS) != 0;
    const bool alloc = (s.sh_flags & SHF_ALLOC) != 0;
    const bool nobits = s.sh_type == SHT_NOBITS;
    // A TLS .tbss takes no room outside the TLS segment.
    const bool tbss_special = tls && nobits && p.p_type != PT_TLS;
    if (tbss_special) return false;
    const std::uint64_t size = s.sh_size;
    if (!((tls && (p.p_type == PT_TLS || p.p_type == PT_GNU_RELRO || p.p_type == PT_LOAD)) ||
          (!tls && p.p_type != PT_TLS && p.p_type != PT_PHDR)))
        return false;
    const bool alloc_only = p.p_type == PT_LOAD || p.p_type == PT_DYNAMIC ||
                            p.p_type == PT_GNU_EH_FRAME || p.p_type == PT_GNU_STACK ||
                            p.p_type == PT_GNU_RELRO || p.p_type == pt_gnu_sframe ||
                            (p.p_type >= pt_gnu_mbind_lo && p.p_type <= pt_gnu_mbind_hi);
    if (!alloc && alloc_only) return false;
    // Offsets and addresses inside the segment, with unsigned wrap-around as the rule has it.
    if (!nobits && !(s.sh_offset >= p.p_offset && s.sh_offset - p.p_offset <= p.p_filesz - 1 &&
                     s.sh_offset - p.p_offset + size <= p.p_filesz))
        return false;
    if (alloc && !(s.sh_addr >= p.p_vaddr && s.sh_addr - p.p_vaddr <= p.p_memsz - 1 &&
                   s.sh_addr - p.p_vaddr + size <= p.p_memsz))
        return false;
    // No empty sections at the edges of DYNAMIC and NOTE segments.
    if ((p.p_type == PT_DYNAMIC || p.p_type == PT_NOTE) && size == 0 && p.p_memsz != 0) {
        const bool offset_inside =
            nobits || (s.sh_offset > p.p_offset && s.sh_offset - p.p_offset < p.p_filesz);
        const bool address_inside =
            !alloc || (s.sh_addr > p.p_vaddr && s.sh_addr - p.p_vaddr < p.p_memsz);
        if (!(offset_inside && address_inside)) return false;
    }
    return true;
}

} // namespace

void Dumper::print_segment_mapping() {
    if (image_.segments.empty() || image_.sections.size() <= 1 || section_names_ == nullptr) return;
    // Every section is tried against every segment: hostile counts of both must not make that
    // take hours.
    if (image_.segments.size() * image_.sections.size() > mapping_limit) {
        problem("section to segment mapping: %zu segments by %zu sections is more than is mapped",
                image_.segments.size(), image_.sections.size());
        return;
    }
    if (options_.json) {
        json_.key("segment_sections");
        json_.begin_array();
    } else {
        out_.put("\n Section to Segment mapping:\n  Segment Sections...\n");
    }
    for (std::size_t i = 0; i < image_.segments.size(); ++i) {
        if (options_.json) {
            json_.begin_object(true);
            json_.field("segment", i);
            json_.key("sections");
            json_.begin_array();
        } else {
            out_.put("   ");
            if (i < 10) out_.put('0');
            out_.dec(i);
            out_.put("     ");
        }
        for (std::size_t k = 1; k < image_.sections.size(); ++k) {
            if (!section_in_segment(image_.sections[k], image_.segments[i])) continue;
            if (options_.json) {
                json_.number(k);
            } else {
                out_.visible(section_name(k));
                out_.put(' ');
            }
        }
        if (options_.json) {
            json_.end_array();
            json_.end_object();
        } else {
            out_.put('\n');
        }
    }
    if (options_.json) json_.end_array();
}

// -- Section groups ------------------------------------------------------------------------------

void Dumper::print_groups() {
    if (options_.json) {
        json_.key("groups");
        json_.begin_array();
    } else if (image_.sections.empty()) {
        out_.put("\nThere are no sections to group in this file.\n");
        return;
    }
    bool any = false;
    for (std::size_t i = 1; i < image_.sections.size(); ++i) {
        const Elf64_Shdr &section = image_.sections[i];
        if (section.sh_type != SHT_GROUP) continue;
        any = true;
        const std::string label = section_label(i);
        // The signature: the name of symbol sh_info of the symbol table sh_link (for a section
        // symbol, that section's name).
        std::string signature = "<corrupt>";
        std::size_t link;
        if (linked_section(i, link, "symbol table")) {
            const SymbolTable *table = symbol_table(link);
            if (section.sh_info >= table->symbols.size()) {
                problem("%s: signature symbol %u is out of range (%zu symbols)", label.c_str(),
                        section.sh_info, table->symbols.size());
            } else {
                const CompactSymbol &symbol = table->symbols[section.sh_info];
                if (ELF64_ST_TYPE(symbol.info) == STT_SECTION) {
                    if (symbol.shndx == 0 || symbol.shndx >= image_.sections.size()) {
                        problem("%s: signature symbol %u names section %u, which does not exist",
                                label.c_str(), section.sh_info, symbol.shndx);
                    } else {
                        signature = section_name(symbol.shndx);
                    }
                } else {
                    signature = string_or_corrupt(table->strings.get(), symbol.name, link, "symbol",
                                                  section.sh_info);
                }
            }
        }
        std::uint64_t count = 0;
        std::vector<Elf64_Word> words;
        if (section_table(i, 4, count)) {
            words.resize(count);
            seek(section.sh_offset);
            for (std::uint64_t k = 0; k < count; ++k) {
                if (quenza_read_Word(in_, &words[k]) != 1) {
                    problem("%s: read error at entry %" PRIu64, label.c_str(), k);
                    words.resize(k);
                    break;
                }
            }
        }
        const std::uint32_t flags = words.empty() ? 0 : words[0];
        const std::uint64_t members = words.empty() ? 0 : words.size() - 1;
        if (options_.json) {
            json_.begin_object();
            json_.field("section", i);
            json_.string_field("name", section_name(i));
            json_.string_field("signature", signature);
            json_.field("flags", flags);
            json_.key("comdat");
            json_.boolean((flags & GRP_COMDAT) != 0);
            json_.key("members");
            json_.begin_array();
        } else {
            out_.put('\n');
            if ((flags & GRP_COMDAT) != 0) out_.put("COMDAT ");
            out_.put("group section [");
            out_.dec(i, 5);
            out_.put("] `");
            out_.visible(section_name(i));
            out_.put("' [");
            out_.visible(signature);
            out_.put("] contains ");
            out_.dec(members);
            out_.put(" sections:\n   [Index]    Name\n");
        }
        for (std::uint64_t k = 1; k < words.size(); ++k) {
            const std::uint32_t member = words[k];
            if (member == 0 || member >= image_.sections.size()) {
                problem("%s: member %" PRIu64 " names section %u, which does not exist",
                        label.c_str(), k - 1, member);
                continue;
            }
            if (options_.json) {
                json_.begin_object(true);
                json_.field("index", member);
                json_.string_field("name", section_name(member));
                json_.end_object();
            } else {
                out_.put("   [");
                out_.dec(member, 5);
                out_.put("]   ");
                out_.visible(section_name(member));
                out_.put('\n');
            }
        }
        if (options_.json) {
            json_.end_array();
            json_.end_object();
        }
    }
    if (options_.json) {
        json_.end_array();
    } else if (!any) {
        out_.put("\nThere are no section groups in this file.\n");
    }
}

// -- Notes ---------------------------------------------------------------------------------------

bool Dumper::scalar_at(std::uint64_t offset, int width, std::uint64_t &value) {
    if (!in_file(offset, static_cast<std::uint64_t>(width)) || !seek(offset)) return false;
    if (width == 4) {
        Elf64_Word word;
        if (quenza_read_Word(in_, &word) != 1) return false;
        value = word;
        return true;
    }
    Elf64_Xword word;
    if (quenza_read_Xword(in_, &word) != 1) return false;
    value = word;
    return true;
}

void Dumper::describe_property_note(const Note &note, NoteDetails &details) {
    const std::uint64_t size = image_.wide ? 8 : 4;
    std::string &text = details.text;
    text = "      Properties: ";
    if (note.descsz < 8 || note.descsz % size != 0) {
        text += format_message("<corrupt GNU_PROPERTY_TYPE, size = %#x>\n", note.descsz);
        problem("note at offset 0x%" PRIx64 ": property note size 0x%x is damaged", note.offset,
                note.descsz);
        return;
    }
    const unsigned machine = image_.header.e_machine;
    const bool x86 = machine == EM_X86_64 || machine == EM_386 || machine == EM_IAMCU;
    std::uint64_t at = 0;
    while (at < note.descsz) {
        if (note.descsz - at < 8) {
            text += format_message("<corrupt descsz: %#x>\n", note.descsz);
            problem("note at offset 0x%" PRIx64 ": property %" PRIu64 " is cut short", note.offset,
                    at);
            return;
        }
        std::uint64_t type = 0;
        std::uint64_t datasz = 0;
        scalar_at(note.desc_offset + at, 4, type);
        scalar_at(note.desc_offset + at + 4, 4, datasz);
        at += 8;
        if (datasz > note.descsz - at) {
            text += format_message("<corrupt type (%#x) datasz: %#x>\n",
                                   static_cast<unsigned>(type), static_cast<unsigned>(datasz));
            problem("note at offset 0x%" PRIx64 ": property type 0x%x has size 0x%x past the end",
                    note.offset, static_cast<unsigned>(type), static_cast<unsigned>(datasz));
            return;
        }
        std::uint64_t word = 0;
        if (datasz == 4) scalar_at(note.desc_offset + at, 4, word);
        const auto mask = static_cast<std::uint32_t>(word);
        std::string shown;
        const auto bits = [&](const char *label, auto &names, bool none) {
            shown = label;
            if (datasz != 4) {
                shown += format_message("<corrupt length: %#x> ", static_cast<unsigned>(datasz));
            } else {
                shown += bit_names(mask, names, none);
            }
        };
        if (type >= GNU_PROPERTY_LOPROC && type <= GNU_PROPERTY_HIPROC && x86) {
            switch (type) {
            case GNU_PROPERTY_X86_ISA_1_USED:
                bits("x86 ISA used: ", x86_isa_bits, false);
                break;
            case GNU_PROPERTY_X86_ISA_1_NEEDED:
                bits("x86 ISA needed: ", x86_isa_bits, false);
                break;
            case GNU_PROPERTY_X86_FEATURE_1_AND:
                bits("x86 feature: ", x86_feature_1_bits, true);
                break;
            case 0xc0010001: // GNU_PROPERTY_X86_FEATURE_2_USED
                bits("x86 feature used: ", x86_feature_2_bits, true);
                break;
            case 0xc0008001: // GNU_PROPERTY_X86_FEATURE_2_NEEDED
                bits("x86 feature needed: ", x86_feature_2_bits, true);
                break;
            case 0xc0000000: // GNU_PROPERTY_X86_COMPAT_ISA_1_USED
                bits("x86 ISA used: ", x86_compat_isa_bits, false);
                break;
            case 0xc0000001: // GNU_PROPERTY_X86_COMPAT_ISA_1_NEEDED
                bits("x86 ISA needed: ", x86_compat_isa_bits, false);
                break;
            default:
                break;
            }
        } else if (type == GNU_PROPERTY_AARCH64_FEATURE_1_AND && machine == EM_AARCH64) {
            bits("AArch64 feature: ", aarch64_feature_1_bits, false);
        } else if (type == GNU_PROPERTY_STACK_SIZE) {
            shown = "stack size: ";
            std::uint64_t value = 0;
            if (datasz != size) {
                shown += format_message("<corrupt length: %#x> ", static_cast<unsigned>(datasz));
            } else {
                scalar_at(note.desc_offset + at, static_cast<int>(size), value);
                shown += format_message("%#" PRIx64, value);
            }
        } else if (type == GNU_PROPERTY_NO_COPY_ON_PROTECTED) {
            shown = "no copy on protected ";
            if (datasz != 0)
                shown += format_message("<corrupt length: %#x> ", static_cast<unsigned>(datasz));
        } else if (type == 0xb0008000) { // GNU_PROPERTY_1_NEEDED
            bits("1_needed: ", gnu_1_needed_bits, false);
        }
        if (shown.empty()) {
            if (type < GNU_PROPERTY_LOPROC) {
                shown = format_message("<unknown type %#x data: ", static_cast<unsigned>(type));
            } else if (type < GNU_PROPERTY_LOUSER) {
                shown = format_message("<processor-specific type %#x data: ",
                                       static_cast<unsigned>(type));
            } else {
                shown = format_message("<application-specific type %#x data: ",
                                       static_cast<unsigned>(type));
            }
            std::string data(datasz, '\0');
            read_bytes(note.desc_offset + at, data.data(), data.size());
            shown += hex_bytes(data, true) + ">";
        }
        details.properties.push_back({static_cast<std::uint32_t>(type), shown});
        text += shown;
        at += (datasz + (size - 1)) & ~(size - 1);
        if (at >= note.descsz) break;
        text += ", ";
    }
    text += '\n';
}

void Dumper::describe_note(const Note &note, NoteDetails &details) {
    const std::string &owner = note.owner;
    const bool core = image_.header.e_type == ET_CORE;
    const auto starts = [&](const char *prefix) { return owner.rfind(prefix, 0) == 0; };
    const char *type_text = nullptr;
    if (note.namesz != 0 && starts("GNU")) {
        type_text = note_type_text(gnu_note_types, note.type);
    } else if (note.namesz != 0 && starts("stapsdt")) {
        type_text = note.type == 3 ? "NT_STAPSDT (SystemTap probe descriptors)" : nullptr;
    } else if (note.namesz != 0 && starts("Go")) {
        type_text = note.type == 4 ? "GO BUILDID" : nullptr;
    } else if (note.namesz != 0 && starts("FDO")) {
        type_text = note.type == NT_FDO_PACKAGING_METADATA ? "FDO_PACKAGING_METADATA" : nullptr;
    } else {
        type_text = core ? note_type_text(core_note_types, note.type)
                         : note_type_text(file_note_types, note.type);
    }
    details.type_name = type_text != nullptr ? type_text : "";
    details.type_text =
        type_text != nullptr ? type_text : format_message("Unknown note type: (0x%08x)", note.type);
    const std::string &desc = note.desc;
    std::string &text = details.text;
    const int address = image_.wide ? 8 : 4;
    const auto address_text = [&](std::uint64_t value) {
        return image_.wide ? format_message("0x%016" PRIx64, value)
                           : format_message("0x%08" PRIx64, value);
    };

    if (note.namesz != 0 && starts("GNU")) {
        switch (note.type) {
        case NT_GNU_BUILD_ID:
            details.strings.emplace_back("build_id", hex_bytes(desc, false));
            text = "    Build ID: " + hex_bytes(desc, false) + "\n";
            return;
        case NT_GNU_ABI_TAG: {
            if (note.descsz < 16) {
                text = "    <corrupt GNU_ABI_TAG>\n";
                problem("note at offset 0x%" PRIx64 ": ABI tag of %u bytes is too short",
                        note.offset, note.descsz);
                return;
            }
            std::uint64_t words[4] = {};
            for (int k = 0; k < 4; ++k)
                scalar_at(note.desc_offset + 4 * static_cast<std::uint64_t>(k), 4, words[k]);
            const char *os =
                words[0] < std::size(gnu_abi_systems) ? gnu_abi_systems[words[0]] : "Unknown";
            details.strings.emplace_back("os", os);
            details.strings.emplace_back("abi", format_message("%" PRIu64 ".%" PRIu64 ".%" PRIu64,
                                                               words[1], words[2], words[3]));
            text = format_message("    OS: %s, ABI: %" PRIu64 ".%" PRIu64 ".%" PRIu64 "\n", os,
                                  words[1], words[2], words[3]);
            return;
        }
        case NT_GNU_GOLD_VERSION:
            details.strings.emplace_back("version", std::string(c_string(desc)));
            text = "    Version: " + std::string(c_string(desc)) + "\n";
            return;
        case NT_GNU_HWCAP: {
            text = "      Hardware Capabilities: ";
            if (note.descsz < 8) {
                problem("note at offset 0x%" PRIx64 ": hardware capabilities are too short",
                        note.offset);
                text += '\n';
                return;
            }
            std::uint64_t count = 0;
            std::uint64_t mask = 0;
            scalar_at(note.desc_offset, 4, count);
            scalar_at(note.desc_offset + 4, 4, mask);
            text += format_message("num entries: %" PRIu64 ", enabled mask: %" PRIx64 "\n", count,
                                   mask);
            return;
        }
        case NT_GNU_PROPERTY_TYPE_0:
            describe_property_note(note, details);
            return;
        default:
            text = "    Description data: " + hex_bytes(desc, true) + "\n";
            return;
        }
    }
    if (note.namesz != 0 && starts("stapsdt")) {
        // Three addresses, then the provider, the probe's name and its arguments.
        std::uint64_t values[3] = {};
        std::size_t at = 3 * static_cast<std::size_t>(address);
        std::string_view fields[3];
        bool whole = note.descsz >= at;
        for (int k = 0; k < 3 && whole; ++k)
            scalar_at(note.desc_offset + static_cast<std::uint64_t>(k * address), address,
                      values[k]);
        for (std::string_view &field : fields) {
            if (!whole || at >= desc.size() || desc.find('\0', at) == std::string::npos) {
                whole = false;
                break;
            }
            field = c_string(desc, at);
            at += field.size() + 1;
        }
        if (!whole) {
            text = "  <corrupt - note is too small>\n";
            problem("note at offset 0x%" PRIx64 ": probe descriptor of %u bytes is damaged",
                    note.offset, note.descsz);
            return;
        }
        details.strings.emplace_back("provider", std::string(fields[0]));
        details.strings.emplace_back("probe", std::string(fields[1]));
        details.numbers.emplace_back("location", values[0]);
        details.numbers.emplace_back("base", values[1]);
        details.numbers.emplace_back("semaphore", values[2]);
        details.strings.emplace_back("arguments", std::string(fields[2]));
        text = "    Provider: " + std::string(fields[0]) + "\n    Name: " + std::string(fields[1]) +
               "\n    Location: " + address_text(values[0]) + ", Base: " + address_text(values[1]) +
               ", Semaphore: " + address_text(values[2]) +
               "\n    Arguments: " + std::string(fields[2]) + "\n";
        return;
    }
    if (note.namesz != 0 && starts("FDO") && note.type == NT_FDO_PACKAGING_METADATA) {
        const std::string_view metadata = c_string(desc);
        details.strings.emplace_back("packaging_metadata", std::string(metadata));
        text = "    Packaging Metadata: " + std::string(metadata) + "\n";
        return;
    }
    if (note.namesz != 0 && starts("CORE")) {
        if (note.type != NT_FILE) {
            text = "\n";
            return;
        }
        describe_file_note(note, details);
        return;
    }
    if (note.descsz != 0) text = "   description data: " + hex_bytes(desc, true);
    text += '\n';
}

void Dumper::describe_file_note(const Note &note, NoteDetails &details) {
    const std::uint64_t address = image_.wide ? 8 : 4;
    const auto address_text = [&](std::uint64_t value) {
        return image_.wide ? format_message("0x%016" PRIx64, value)
                           : format_message("0x%08" PRIx64, value);
    };
    std::string &text = details.text;
    text.clear();
    if (note.descsz < 2 * address || note.desc.back() != '\0') {
        problem("note at offset 0x%" PRIx64 ": mapped-files note of %u bytes is damaged",
                note.offset, note.descsz);
        text = "\n";
        return;
    }
    std::uint64_t count = 0;
    std::uint64_t page_size = 0;
    scalar_at(note.desc_offset, static_cast<int>(address), count);
    scalar_at(note.desc_offset + address, static_cast<int>(address), page_size);
    if (count > (note.descsz - 2 * address) / (3 * address)) {
        problem("note at offset 0x%" PRIx64 ": %" PRIu64 " mapped files do not fit in %u bytes",
                note.offset, count, note.descsz);
        text = "\n";
        return;
    }
    details.numbers.emplace_back("page_size", page_size);
    const int width = static_cast<int>(2 * address);
    text = format_message("    Page size: %" PRIu64 "\n", page_size) +
           format_message("    %*s%*s%*s\n", 2 + width, "Start", 4 + width, "End", 4 + width,
                          "Page Offset");
    std::size_t name_at = static_cast<std::size_t>(2 * address + count * 3 * address);
    for (std::uint64_t k = 0; k < count; ++k) {
        if (name_at >= note.desc.size()) {
            problem("note at offset 0x%" PRIx64 ": the mapped files' names end after %" PRIu64
                    " of %" PRIu64,
                    note.offset, k, count);
            break;
        }
        std::uint64_t values[3] = {};
        for (std::uint64_t v = 0; v < 3; ++v)
            scalar_at(note.desc_offset + (2 + 3 * k + v) * address, static_cast<int>(address),
                      values[v]);
        const std::string_view file = c_string(note.desc, name_at);
        name_at += file.size() + 1;
        details.files.push_back({values[0], values[1], values[2], std::string(file)});
        text += "    " + address_text(values[0]) + "  " + address_text(values[1]) + "  " +
                address_text(values[2]) + "\n        " + std::string(file) + "\n";
    }
}

void Dumper::print_note_block(std::size_t section, std::uint64_t offset, std::uint64_t size,
                              std::uint64_t align) {
    const std::string label = section != 0
                                  ? section_label(section)
                                  : format_message("NOTE segment at offset 0x%" PRIx64, offset);
    if (size == 0) return;
    if (section != 0 && image_.sections[section].sh_type == SHT_NOBITS) return;
    if (!in_file(offset, size)) {
        problem("%s: offset 0x%" PRIx64 " and size 0x%" PRIx64
                " run past the end of the file (size 0x%" PRIx64 ")",
                label.c_str(), offset, size, image_.file_size);
        return;
    }
    if (!charge(size)) return;
    if (options_.json) {
        json_.begin_object();
        if (section != 0) {
            json_.field("section", section);
            json_.string_field("name", section_name(section));
        }
        json_.field("offset", offset);
        json_.field("size", size);
        json_.key("notes");
        json_.begin_array();
    } else if (section != 0) {
        out_.put("\nDisplaying notes found in: ");
        out_.visible(section_name(section));
        out_.put('\n');
    } else {
        out_.put(format_message("\nDisplaying notes found at file offset 0x%08" PRIx64
                                " with length 0x%08" PRIx64 ":\n",
                                offset, size));
    }
    // Alignment 4 (also for 0 and 1) or 8; anything else cannot be walked.
    if (align < 4) align = 4;
    if (align != 4 && align != 8) {
        problem("%s: note alignment %" PRIu64 " is not 4 or 8", label.c_str(), align);
    } else {
        if (!options_.json) out_.put("  Owner                Data size \tDescription\n");
        std::uint64_t at = 0;
        const auto align_up = [align](std::uint64_t value) {
            return (value + align - 1) & ~(align - 1);
        };
        while (at < size) {
            Note note;
            note.offset = offset + at;
            if (size - at < 12) {
                problem("%s: only %" PRIu64 " bytes remain at offset 0x%" PRIx64
                        ", not enough for a note",
                        label.c_str(), size - at, note.offset);
                break;
            }
            Elf64_Word fields[3] = {};
            seek(note.offset);
            for (Elf64_Word &field : fields)
                quenza_read_Word(in_, &field);
            note.namesz = fields[0];
            note.descsz = fields[1];
            note.type = fields[2];
            const std::uint64_t desc_at = align_up(12 + std::uint64_t{note.namesz});
            const std::uint64_t next = align_up(desc_at + note.descsz);
            if (desc_at > size - at || note.descsz > size - at - desc_at) {
                problem("%s: note at offset 0x%" PRIx64 " has name size 0x%x and data size 0x%x "
                        "past the end of the notes (alignment %" PRIu64 ")",
                        label.c_str(), note.offset, note.namesz, note.descsz, align);
                break;
            }
            if (note.descsz > note_data_limit) {
                problem("%s: note at offset 0x%" PRIx64 " has %u bytes of data, more than shown",
                        label.c_str(), note.offset, note.descsz);
                break;
            }
            std::string name(note.namesz, '\0');
            read_bytes(note.offset + 12, name.data(), name.size());
            note.owner = std::string(c_string(name));
            note.desc_offset = note.offset + desc_at;
            note.desc.resize(note.descsz);
            read_bytes(note.desc_offset, note.desc.data(), note.desc.size());
            NoteDetails details;
            describe_note(note, details);
            print_note(note, details);
            at = next > size - at ? size : at + next;
        }
    }
    if (options_.json) {
        json_.end_array();
        json_.end_object();
    }
}

void Dumper::print_note(const Note &note, const NoteDetails &details) {
    if (!options_.json) {
        out_.put("  ");
        const std::string_view owner =
            note.namesz != 0 ? std::string_view(note.owner) : std::string_view("(NONE)");
        out_.visible(owner);
        if (owner.size() < 20) out_.spaces(20 - owner.size());
        out_.put(" 0x");
        out_.hex(note.descsz, 8);
        out_.put('\t');
        out_.put(details.type_text);
        out_.put('\t');
        out_.put(details.text);
        return;
    }
    json_.begin_object();
    json_.string_field("owner", note.owner);
    json_.field("type", note.type);
    json_.name_field("type_name", details.type_name.empty() ? nullptr : details.type_name.c_str());
    json_.field("offset", note.offset);
    json_.field("data_size", note.descsz);
    json_.string_field("data", hex_bytes(note.desc, false));
    for (const auto &[key, value] : details.strings)
        json_.string_field(key, value);
    for (const auto &[key, value] : details.numbers)
        json_.field(key, value);
    if (!details.properties.empty()) {
        json_.key("properties");
        json_.begin_array();
        for (const auto &[type, text] : details.properties) {
            json_.begin_object(true);
            json_.field("type", type);
            json_.string_field("text", text);
            json_.end_object();
        }
        json_.end_array();
    }
    if (!details.files.empty()) {
        json_.key("files");
        json_.begin_array();
        for (const MappedFile &file : details.files) {
            json_.begin_object(true);
            json_.field("start", file.start);
            json_.field("end", file.end);
            json_.field("page_offset", file.page_offset);
            json_.string_field("name", file.name);
            json_.end_object();
        }
        json_.end_array();
    }
    json_.end_object();
}

void Dumper::print_notes() {
    if (options_.json) {
        json_.key("notes");
        json_.begin_array();
    }
    // Sections when there are any (except in core files), else the NOTE segments.
    if (image_.header.e_type != ET_CORE && !image_.sections.empty()) {
        for (std::size_t i = 1; i < image_.sections.size(); ++i)
            if (image_.sections[i].sh_type == SHT_NOTE)
                print_note_block(i, image_.sections[i].sh_offset, image_.sections[i].sh_size,
                                 image_.sections[i].sh_addralign);
    } else {
        for (const Elf64_Phdr &p : image_.segments)
            if (p.p_type == PT_NOTE) print_note_block(0, p.p_offset, p.p_filesz, p.p_align);
    }
    if (options_.json) json_.end_array();
}

// -- Hash table histograms -----------------------------------------------------------------------

template <typename Word>
bool Dumper::read_words(std::uint64_t offset, std::uint64_t count, int width,
                        std::vector<Word> &words) {
    words.assign(count, 0);
    if (!seek(offset)) return false;
    for (Word &word : words) {
        if (width == 4) {
            Elf64_Word value;
            if (quenza_read_Word(in_, &value) != 1) return false;
            word = value;
        } else {
            Elf64_Xword value;
            if (quenza_read_Xword(in_, &value) != 1) return false;
            word = static_cast<Word>(value);
        }
    }
    return true;
}

void Dumper::print_histogram_rows(std::size_t section, HashKind kind,
                                  const std::vector<std::uint32_t> &lengths,
                                  std::uint64_t symbols) {
    std::uint64_t longest = 0;
    for (const std::uint32_t length : lengths)
        longest = std::max<std::uint64_t>(longest, length);
    std::vector<std::uint64_t> counts(lengths.empty() ? 0 : longest + 1);
    for (const std::uint32_t length : lengths)
        ++counts[length];
    if (options_.json) {
        json_.begin_object();
        json_.field("section", section);
        json_.string_field("name", section_name(section));
        json_.string_field("kind", kind == HashKind::sysv  ? "hash"
                                   : kind == HashKind::gnu ? "gnu_hash"
                                                           : "mips_xhash");
        json_.field("buckets", lengths.size());
        json_.field("symbols", symbols);
        json_.key("counts");
        json_.begin_array(true);
        for (const std::uint64_t count : counts)
            json_.number(count);
        json_.end_array();
        json_.end_object();
        return;
    }
    out_.put(kind == HashKind::sysv ? "\nHistogram for bucket list length (total of "
             : kind == HashKind::gnu
                 ? "\nHistogram for `.gnu.hash' bucket list length (total of "
                 : "\nHistogram for `.MIPS.xhash' bucket list length (total of ");
    out_.dec(lengths.size());
    out_.put(lengths.size() == 1 ? " bucket):\n" : " buckets):\n");
    out_.put(" Length  Number     % of total  Coverage\n");
    if (lengths.empty()) return;
    const double buckets = static_cast<double>(lengths.size());
    std::uint64_t covered = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const double share = static_cast<double>(counts[i]) * 100.0 / buckets;
        if (i == 0) {
            out_.put(format_message("      0  %-10" PRIu64 " (%5.1f%%)\n", counts[0], share));
            continue;
        }
        covered += counts[i] * i;
        out_.put(
            format_message("%7zu  %-10" PRIu64 " (%5.1f%%)    %5.1f%%\n", i, counts[i], share,
                           static_cast<double>(covered) * 100.0 / static_cast<double>(symbols)));
    }
}

namespace {

// Walks each bucket's chain of a .hash table: lengths by bucket; the number of symbols reached,
// or false when a chain loops.
template <typename Word>
bool hash_chain_lengths(const std::vector<Word> &buckets, const std::vector<Word> &chains,
                        std::vector<std::uint32_t> &lengths, std::uint64_t &symbols,
                        std::size_t &looping) {
    lengths.assign(buckets.size(), 0);
    symbols = 0;
    for (std::size_t b = 0; b < buckets.size(); ++b) {
        for (std::uint64_t si = buckets[b]; si > 0 && si < chains.size(); si = chains[si]) {
            ++symbols;
            if (++lengths[b] > chains.size()) {
                looping = b;
                return false;
            }
        }
    }
    return true;
}

} // namespace

void Dumper::histogram_of_hash(std::size_t section, std::uint64_t offset, std::uint64_t size) {
    const std::string label = section != 0
                                  ? section_label(section)
                                  : format_message("hash table at offset 0x%" PRIx64, offset);
    // 64-bit s390 and Alpha use 8-byte hash words.
    const int width =
        image_.wide && (image_.header.e_machine == EM_S390 || image_.header.e_machine == EM_ALPHA)
            ? 8
            : 4;
    const auto word = static_cast<std::uint64_t>(width);
    std::vector<std::uint64_t> head;
    if (!in_file(offset, size) || size < 2 * word || !read_words(offset, 2, width, head)) {
        problem("%s: hash table header cannot be read", label.c_str());
        return;
    }
    const std::uint64_t room = size / word - 2;
    if (head[0] > room || head[1] > room - head[0]) {
        problem("%s: %" PRIu64 " buckets and %" PRIu64
                " chains do not fit in the section (size 0x%" PRIx64 ")",
                label.c_str(), head[0], head[1], size);
        return;
    }
    if (!charge((2 + head[0] + head[1]) * word)) return;
    std::vector<std::uint32_t> lengths;
    std::uint64_t symbols = 0;
    std::size_t looping = 0;
    bool whole = true;
    bool read = false;
    const auto walk = [&](auto buckets, auto chains) {
        read = read_words(offset + 2 * word, head[0], width, buckets) &&
               read_words(offset + (2 + head[0]) * word, head[1], width, chains);
        if (read) whole = hash_chain_lengths(buckets, chains, lengths, symbols, looping);
    };
    if (width == 4) {
        walk(std::vector<std::uint32_t>(), std::vector<std::uint32_t>());
    } else {
        walk(std::vector<std::uint64_t>(), std::vector<std::uint64_t>());
    }
    if (!read) {
        problem("%s: read error", label.c_str());
        return;
    }
    if (!whole) problem("%s: chain of bucket %zu loops", label.c_str(), looping);
    print_histogram_rows(section, HashKind::sysv, lengths, symbols);
}

void Dumper::histogram_of_gnu_hash(std::size_t section, std::uint64_t offset, std::uint64_t size,
                                   HashKind kind) {
    const std::string label = section != 0
                                  ? section_label(section)
                                  : format_message("hash table at offset 0x%" PRIx64, offset);
    std::vector<std::uint64_t> head;
    if (!in_file(offset, size) || size < 16 || !read_words(offset, 4, 4, head)) {
        problem("%s: hash table header cannot be read", label.c_str());
        return;
    }
    const std::uint64_t bloom = head[2] * (image_.wide ? 8 : 4);
    const std::uint64_t room = size - 16;
    if (bloom > room || head[0] > (room - bloom) / 4) {
        problem("%s: %" PRIu64 " buckets and %" PRIu64
                " filter words do not fit in the section (size 0x%" PRIx64 ")",
                label.c_str(), head[0], head[2], size);
        return;
    }
    const std::uint64_t buckets_at = offset + 16 + bloom;
    const std::uint64_t chains_at = buckets_at + 4 * head[0];
    const std::uint64_t chain_room = (room - bloom - 4 * head[0]) / 4;
    std::vector<std::uint32_t> buckets; // .gnu.hash words are 4 bytes in both classes
    if (!charge(4 * head[0]) || !read_words(buckets_at, head[0], 4, buckets)) {
        problem("%s: read error", label.c_str());
        return;
    }
    // The chains run to the end of the last bucket's chain: the one its last word marks.
    std::uint64_t last = 0;
    for (const std::uint32_t bucket : buckets)
        last = std::max<std::uint64_t>(last, bucket);
    std::uint64_t chain_count = 0;
    if (last >= head[1]) {
        chain_count = last - head[1];
        std::uint64_t value = 0;
        while (chain_count < chain_room && scalar_at(chains_at + 4 * chain_count, 4, value) &&
               (value & 1) == 0)
            ++chain_count;
        chain_count = std::min(chain_count + 1, chain_room);
    }
    std::vector<std::uint32_t> chains;
    if (!charge(4 * chain_count) || !read_words(chains_at, chain_count, 4, chains)) {
        problem("%s: read error", label.c_str());
        return;
    }
    std::vector<std::uint32_t> lengths(buckets.size());
    std::uint64_t symbols = 0;
    for (std::size_t b = 0; b < buckets.size(); ++b) {
        if (buckets[b] == 0) continue;
        std::uint32_t length = 1;
        if (buckets[b] < head[1]) {
            problem("%s: bucket %zu starts at symbol %" PRIu64
                    ", before the first hashed symbol %" PRIu64,
                    label.c_str(), b, std::uint64_t{buckets[b]}, head[1]);
        } else {
            for (std::uint64_t off = buckets[b] - head[1];
                 off < chains.size() && (chains[off] & 1) == 0; ++off)
                ++length;
        }
        lengths[b] = length;
        symbols += length;
    }
    // A table whose buckets are all empty hashes nothing: no histogram, as readelf.
    if (symbols != 0) print_histogram_rows(section, kind, lengths, symbols);
}

void Dumper::print_histogram() {
    if (options_.json) {
        json_.key("histogram");
        json_.begin_array();
    }
    if (!image_.sections.empty()) {
        // The first table of each kind, .hash before .gnu.hash whatever their order in the file;
        // MIPS's .MIPS.xhash, where there is one, in place of .gnu.hash.
        const bool mips = image_.header.e_machine == EM_MIPS;
        const auto has_xhash = [&] {
            for (const Elf64_Shdr &s : image_.sections)
                if (s.sh_type == SHT_MIPS_XHASH) return true;
            return false;
        };
        const std::uint32_t gnu_type = mips && has_xhash() ? SHT_MIPS_XHASH : SHT_GNU_HASH;
        for (const std::uint32_t type : {std::uint32_t{SHT_HASH}, gnu_type}) {
            for (std::size_t i = 1; i < image_.sections.size(); ++i) {
                const Elf64_Shdr &s = image_.sections[i];
                if (s.sh_type != type) continue;
                if (type == SHT_HASH) {
                    histogram_of_hash(i, s.sh_offset, s.sh_size);
                } else {
                    histogram_of_gnu_hash(i, s.sh_offset, s.sh_size,
                                          type == SHT_GNU_HASH ? HashKind::gnu
                                                               : HashKind::mips_xhash);
                }
                break;
            }
        }
    } else {
        // Without section headers, the tables the dynamic segment names.
        std::uint64_t hash = 0;
        std::uint64_t gnu_hash = 0;
        HashKind gnu_kind = HashKind::gnu;
        image_.read_dynamic(in_, reporter());
        for (const Elf64_Dyn &entry : image_.dynamic) {
            if (entry.d_tag == DT_NULL) break;
            if (entry.d_tag == DT_HASH) hash = entry.d_un.d_ptr;
            if (entry.d_tag == DT_GNU_HASH && gnu_kind == HashKind::gnu)
                gnu_hash = entry.d_un.d_ptr;
            if (entry.d_tag == DT_MIPS_XHASH && image_.header.e_machine == EM_MIPS) {
                gnu_hash = entry.d_un.d_ptr;
                gnu_kind = HashKind::mips_xhash;
            }
        }
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
        if (hash != 0 && image_.segment_offset(hash, offset, size))
            histogram_of_hash(0, offset, size);
        if (gnu_hash != 0 && image_.segment_offset(gnu_hash, offset, size))
            histogram_of_gnu_hash(0, offset, size, gnu_kind);
    }
    if (options_.json) json_.end_array();
}

// -- Hex and string dumps ------------------------------------------------------------------------

void Dumper::print_section_dumps() {
    // Which sections each request names; a request naming none is a problem.
    std::vector<unsigned char> wanted(image_.sections.size()); // bit 1: hex, bit 2: strings
    for (const SectionDump &request : options_.dumps) {
        bool found = false;
        if (request.by_index) {
            char *end = nullptr;
            const unsigned long long index = std::strtoull(request.section.c_str(), &end, 10);
            if (index < image_.sections.size()) {
                wanted[index] |= request.strings ? 2 : 1;
                found = true;
            }
        } else {
            for (std::size_t i = 0; i < image_.sections.size(); ++i) {
                if (section_name(i) != request.section) continue;
                wanted[i] |= request.strings ? 2 : 1;
                found = true;
            }
        }
        if (!found)
            problem("section '%s' was not dumped because it does not exist",
                    request.section.c_str());
    }
    if (options_.json) {
        json_.key("hex_dumps");
        json_.begin_array();
        for (std::size_t i = 0; i < image_.sections.size(); ++i)
            if ((wanted[i] & 1) != 0) dump_section(i, false);
        json_.end_array();
        json_.key("string_dumps");
        json_.begin_array();
        for (std::size_t i = 0; i < image_.sections.size(); ++i)
            if ((wanted[i] & 2) != 0) dump_section(i, true);
        json_.end_array();
        return;
    }
    for (std::size_t i = 0; i < image_.sections.size(); ++i) {
        if ((wanted[i] & 1) != 0) dump_section(i, false);
        if ((wanted[i] & 2) != 0) dump_section(i, true);
    }
}

void Dumper::dump_section(std::size_t index, bool strings) {
    const Elf64_Shdr &s = image_.sections[index];
    const std::string label = section_label(index);
    if (s.sh_type == SHT_NOBITS || s.sh_size == 0) {
        if (options_.json) {
            json_.begin_object();
            json_.field("section", index);
            json_.string_field("name", section_name(index));
            json_.field("address", s.sh_addr);
            json_.key(strings ? "strings" : "data");
            if (strings) {
                json_.begin_array();
                json_.end_array();
            } else {
                json_.string("");
            }
            json_.end_object();
            return;
        }
        out_.put("Section '");
        out_.visible(section_name(index));
        out_.put("' has no data to dump.\n");
        return;
    }
    if (!in_file(s.sh_offset, s.sh_size)) {
        problem("%s: offset 0x%" PRIx64 " and size 0x%" PRIx64
                " run past the end of the file (size 0x%" PRIx64 ")",
                label.c_str(), s.sh_offset, s.sh_size, image_.file_size);
        return;
    }
    if (!charge(s.sh_size)) return;
    // Relocatable files: relocations that apply to this section are not applied to its bytes.
    bool relocated = false;
    if (image_.header.e_type == ET_REL)
        for (const Elf64_Shdr &other : image_.sections)
            relocated |=
                (other.sh_type == SHT_REL || other.sh_type == SHT_RELA) && other.sh_info == index;
    if (options_.json) {
        json_.begin_object();
        json_.field("section", index);
        json_.string_field("name", section_name(index));
        json_.field("address", s.sh_addr);
        json_.key("relocations_not_applied");
        json_.boolean(relocated);
        if (strings) {
            json_.key("strings");
            json_.begin_array();
        }
    } else {
        out_.put(strings ? "\nString dump of section '" : "\nHex dump of section '");
        out_.visible(section_name(index));
        out_.put("':\n");
        if (relocated)
            out_.put(strings ? "  Note: This section has relocations against it, but these have "
                               "NOT been applied to this dump.\n"
                             : " NOTE: This section has relocations against it, but these have "
                               "NOT been applied to this dump.\n");
    }
    std::string chunk;
    std::string data_hex; // JSON hex dumps
    std::string pending;  // a string cut by the chunk's end, for string dumps
    std::uint64_t pending_start = 0;
    bool any_string = false;
    bool continuing = false; // the previous string's last row ended with a new line
    const auto emit_string = [&](std::uint64_t start, std::string_view text) {
        any_string = true;
        if (options_.json) {
            json_.begin_object(true);
            json_.field("offset", start);
            json_.string_field("text", text);
            json_.end_object();
            return;
        }
        // A new line ends a row; the text after it (from its next printable byte) goes on the
        // next row, indented, as does the next string when the new line was not the last byte.
        std::size_t at = 0;
        while (at < text.size()) {
            if (continuing) {
                out_.spaces(12);
            } else {
                out_.put(format_message("  [%6" PRIx64 "]  ", start + at));
            }
            continuing = false;
            const std::size_t line_end = text.find('\n', at);
            if (line_end == std::string_view::npos) {
                string_dump_text(out_, text.substr(at));
                out_.put('\n');
                return;
            }
            string_dump_text(out_, text.substr(at, line_end - at));
            out_.put("\\n\n");
            at = line_end + 1;
            continuing = at < text.size();
            while (at < text.size() && !(text[at] >= ' ' && text[at] < 0x7f))
                ++at;
        }
    };
    for (std::uint64_t done = 0; done < s.sh_size;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(s.sh_size - done, dump_chunk));
        chunk.resize(n);
        if (!read_bytes(s.sh_offset + done, chunk.data(), n)) {
            problem("%s: read error at offset 0x%" PRIx64, label.c_str(), done);
            break;
        }
        if (!strings) {
            if (options_.json) {
                data_hex += hex_bytes(chunk, false);
            } else {
                for (std::size_t row = 0; row < n; row += hex_row) {
                    const std::size_t length = std::min(hex_row, n - row);
                    out_.put("  0x");
                    out_.hex(s.sh_addr + done + row, 8);
                    out_.put(' ');
                    for (std::size_t k = 0; k < hex_row; ++k) {
                        if (k < length) {
                            out_.hex(static_cast<unsigned char>(chunk[row + k]), 2);
                        } else {
                            out_.put("  ");
                        }
                        if ((k & 3) == 3) out_.put(' ');
                    }
                    for (std::size_t k = 0; k < length; ++k) {
                        const char c = chunk[row + k];
                        out_.put(c >= ' ' && c < 0x7f ? c : '.');
                    }
                    out_.put('\n');
                }
            }
        } else {
            // Strings: runs of bytes up to a NUL, each starting at a printable byte.
            for (std::size_t k = 0; k < n; ++k) {
                const char c = chunk[k];
                if (pending.empty() && c != '\0' && !(c >= ' ' && c < 0x7f)) continue;
                if (c == '\0') {
                    if (!pending.empty()) emit_string(pending_start, pending);
                    pending.clear();
                    continue;
                }
                if (pending.empty()) pending_start = done + k;
                pending += c;
            }
        }
        done += n;
    }
    if (strings && !pending.empty()) emit_string(pending_start, pending);
    if (options_.json) {
        if (strings) {
            json_.end_array();
        } else {
            json_.string_field("data", data_hex);
        }
        json_.end_object();
        return;
    }
    if (strings && !any_string) out_.put("  No strings found in this section.");
    out_.put('\n');
}
