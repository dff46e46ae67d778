// Names of the numbered things in ELF files, as the dump shows them. Each lookup returns nullptr
// for a value it has no name for; the caller then shows the number.
#ifndef QUENZA_DUMP_NAMES_HPP
#define QUENZA_DUMP_NAMES_HPP

#include <cstdint>
#include <string>

struct MachineName {
    unsigned number;
    const char *name;        // EM_ name without the prefix
    const char *description; // <elf.h>'s words for it
};
struct TypeName {
    unsigned number;
    const char *name;
};

const MachineName *machine_name(unsigned machine);
const char *class_name(unsigned elf_class);
const char *data_name(unsigned data);
const char *osabi_name(unsigned osabi);
const char *file_type_name(unsigned type);        // "DYN"
const char *file_type_description(unsigned type); // "Shared object file"
const char *section_type_name(unsigned type, unsigned machine);
const char *segment_type_name(unsigned type, unsigned machine);
const char *dynamic_tag_name(std::int64_t tag, unsigned machine);
// By (machine, type); SPARC types are taken from their low 8 bits. MIPS64's three types of one
// r_info each come from the MIPS table.
const char *relocation_type_name(unsigned machine, unsigned type);
// IFUNC and UNIQUE are GNU's, shown for the GNU and FreeBSD OS/ABIs only, as readelf does.
const char *symbol_type_name(unsigned type, unsigned machine, unsigned osabi);
const char *symbol_binding_name(unsigned binding, unsigned osabi);
const char *symbol_visibility_name(unsigned visibility);

// How the value of a machine's own dynamic entry shows.
enum class DynamicValue : std::uint32_t {
    hex,               // 0x1f
    decimal,           // a count: 31
    mips_flags,        // words for the bits (NOTPOT QUICKSTART), NONE for 0
    time_stamp,        // Time Stamp: 2023-11-14T22:13:20 (seconds since 1970, UTC)
    interface_version, // Interface Version: <string at this offset of the dynamic strings>
    plt_reserve,       // the range it starts: 0x1000 -- 0x1018
    nothing,           // a marker whose value means nothing
};
struct DynamicTagName {
    std::uint32_t tag;
    DynamicValue value;
    const char *name;
};
// The machine's own tag (in DT_LOOS .. DT_HIPROC), or nullptr.
const DynamicTagName *machine_dynamic_tag(std::int64_t tag, unsigned machine);

// The words readelf puts after e_flags' number (", noreorder, pic, cpic, o32, mips32r2"),
// joined by ", " without the leading one; empty for 0 and for machines without any.
std::string machine_flags_description(unsigned machine, std::uint32_t flags);

// Section flags as letters, in bit order (W A X M S I L O G T C x o E D l p R); writes at most 24
// characters and a terminating NUL into letters.
void section_flag_letters(std::uint64_t flags, unsigned machine, unsigned osabi, char *letters);
// The "Key to Flags:" legend under the section headers, for this machine and OS/ABI.
void section_flag_legend(unsigned machine, unsigned osabi, std::string &legend);

#endif // QUENZA_DUMP_NAMES_HPP
