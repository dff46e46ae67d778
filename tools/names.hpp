// Names of the numbered things in ELF files, as the dump shows them. Each lookup returns nullptr
// for a value it has no name for; the caller then shows the number.
#ifndef QUENZA_DUMP_NAMES_HPP
#define QUENZA_DUMP_NAMES_HPP

#include <cstdint>

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
const char *relocation_type_name(unsigned machine, unsigned type);
const char *symbol_type_name(unsigned type);
const char *symbol_binding_name(unsigned binding);
const char *symbol_visibility_name(unsigned visibility);

// Section flags as letters, in bit order (W A X M S I L O G T C x o E D l p R); writes at most 24
// characters and a terminating NUL into letters.
void section_flag_letters(std::uint64_t flags, unsigned machine, unsigned osabi, char *letters);

#endif // QUENZA_DUMP_NAMES_HPP
