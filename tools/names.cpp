#include "names.hpp"

#include <elf.h>

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace {

#include "elf_names.inc"

// A machine's relocation types, in ascending order.
struct MachineRelocations {
    unsigned machine;
    const TypeName *types;
    std::size_t count;
};
#include "relocation_names.inc"

template <std::size_t N> const char *find(const TypeName (&table)[N], unsigned number) {
    const TypeName *end = table + N;
    const TypeName *at = std::lower_bound(
        table, end, number, [](const TypeName &entry, unsigned n) { return entry.number < n; });
    return at != end && at->number == number ? at->name : nullptr;
}

// clang-format off
constexpr TypeName section_types[] = {
    {SHT_NULL, "NULL"}, {SHT_PROGBITS, "PROGBITS"}, {SHT_SYMTAB, "SYMTAB"},
    {SHT_STRTAB, "STRTAB"}, {SHT_RELA, "RELA"}, {SHT_HASH, "HASH"}, {SHT_DYNAMIC, "DYNAMIC"},
    {SHT_NOTE, "NOTE"}, {SHT_NOBITS, "NOBITS"}, {SHT_REL, "REL"}, {SHT_SHLIB, "SHLIB"},
    {SHT_DYNSYM, "DYNSYM"}, {SHT_INIT_ARRAY, "INIT_ARRAY"}, {SHT_FINI_ARRAY, "FINI_ARRAY"},
    {SHT_PREINIT_ARRAY, "PREINIT_ARRAY"}, {SHT_GROUP, "GROUP"},
    {SHT_SYMTAB_SHNDX, "SYMTAB_SHNDX"}, {SHT_RELR, "RELR"},
    {SHT_GNU_ATTRIBUTES, "GNU_ATTRIBUTES"}, {SHT_GNU_HASH, "GNU_HASH"},
    {SHT_GNU_LIBLIST, "GNU_LIBLIST"}, {SHT_CHECKSUM, "CHECKSUM"}, {SHT_SUNW_move, "SUNW_MOVE"},
    {SHT_SUNW_COMDAT, "SUNW_COMDAT"}, {SHT_SUNW_syminfo, "SUNW_SYMINFO"},
    {SHT_GNU_verdef, "VERDEF"}, {SHT_GNU_verneed, "VERNEED"}, {SHT_GNU_versym, "VERSYM"},
};

constexpr TypeName segment_types[] = {
    {PT_NULL, "NULL"}, {PT_LOAD, "LOAD"}, {PT_DYNAMIC, "DYNAMIC"}, {PT_INTERP, "INTERP"},
    {PT_NOTE, "NOTE"}, {PT_SHLIB, "SHLIB"}, {PT_PHDR, "PHDR"}, {PT_TLS, "TLS"},
    {PT_GNU_EH_FRAME, "GNU_EH_FRAME"}, {PT_GNU_STACK, "GNU_STACK"}, {PT_GNU_RELRO, "GNU_RELRO"},
    {PT_GNU_PROPERTY, "GNU_PROPERTY"}, {PT_SUNWBSS, "SUNWBSS"}, {PT_SUNWSTACK, "SUNWSTACK"},
};

constexpr TypeName dynamic_tags[] = {
    {DT_NULL, "NULL"}, {DT_NEEDED, "NEEDED"}, {DT_PLTRELSZ, "PLTRELSZ"}, {DT_PLTGOT, "PLTGOT"},
    {DT_HASH, "HASH"}, {DT_STRTAB, "STRTAB"}, {DT_SYMTAB, "SYMTAB"}, {DT_RELA, "RELA"},
    {DT_RELASZ, "RELASZ"}, {DT_RELAENT, "RELAENT"}, {DT_STRSZ, "STRSZ"}, {DT_SYMENT, "SYMENT"},
    {DT_INIT, "INIT"}, {DT_FINI, "FINI"}, {DT_SONAME, "SONAME"}, {DT_RPATH, "RPATH"},
    {DT_SYMBOLIC, "SYMBOLIC"}, {DT_REL, "REL"}, {DT_RELSZ, "RELSZ"}, {DT_RELENT, "RELENT"},
    {DT_PLTREL, "PLTREL"}, {DT_DEBUG, "DEBUG"}, {DT_TEXTREL, "TEXTREL"}, {DT_JMPREL, "JMPREL"},
    {DT_BIND_NOW, "BIND_NOW"}, {DT_INIT_ARRAY, "INIT_ARRAY"}, {DT_FINI_ARRAY, "FINI_ARRAY"},
    {DT_INIT_ARRAYSZ, "INIT_ARRAYSZ"}, {DT_FINI_ARRAYSZ, "FINI_ARRAYSZ"},
    {DT_RUNPATH, "RUNPATH"}, {DT_FLAGS, "FLAGS"}, {DT_PREINIT_ARRAY, "PREINIT_ARRAY"},
    {DT_PREINIT_ARRAYSZ, "PREINIT_ARRAYSZ"}, {DT_SYMTAB_SHNDX, "SYMTAB_SHNDX"},
    {DT_RELRSZ, "RELRSZ"}, {DT_RELR, "RELR"}, {DT_RELRENT, "RELRENT"},
    {DT_GNU_PRELINKED, "GNU_PRELINKED"}, {DT_GNU_CONFLICTSZ, "GNU_CONFLICTSZ"},
    {DT_GNU_LIBLISTSZ, "GNU_LIBLISTSZ"}, {DT_CHECKSUM, "CHECKSUM"}, {DT_PLTPADSZ, "PLTPADSZ"},
    {DT_MOVEENT, "MOVEENT"}, {DT_MOVESZ, "MOVESZ"}, {DT_FEATURE_1, "FEATURE_1"},
    {DT_POSFLAG_1, "POSFLAG_1"}, {DT_SYMINSZ, "SYMINSZ"}, {DT_SYMINENT, "SYMINENT"},
    {DT_GNU_HASH, "GNU_HASH"}, {DT_TLSDESC_PLT, "TLSDESC_PLT"}, {DT_TLSDESC_GOT, "TLSDESC_GOT"},
    {DT_GNU_CONFLICT, "GNU_CONFLICT"}, {DT_GNU_LIBLIST, "GNU_LIBLIST"}, {DT_CONFIG, "CONFIG"},
    {DT_DEPAUDIT, "DEPAUDIT"}, {DT_AUDIT, "AUDIT"}, {DT_PLTPAD, "PLTPAD"},
    {DT_MOVETAB, "MOVETAB"}, {DT_SYMINFO, "SYMINFO"}, {DT_VERSYM, "VERSYM"},
    {DT_RELACOUNT, "RELACOUNT"}, {DT_RELCOUNT, "RELCOUNT"}, {DT_FLAGS_1, "FLAGS_1"},
    {DT_VERDEF, "VERDEF"}, {DT_VERDEFNUM, "VERDEFNUM"}, {DT_VERNEED, "VERNEED"},
    {DT_VERNEEDNUM, "VERNEEDNUM"}, {DT_AUXILIARY, "AUXILIARY"}, {DT_FILTER, "FILTER"},
};

constexpr TypeName ppc_dynamic_tags[] = {{DT_PPC_GOT, "PPC_GOT"}, {DT_PPC_OPT, "PPC_OPT"}};
constexpr TypeName ppc64_dynamic_tags[] = {
    {DT_PPC64_GLINK, "PPC64_GLINK"}, {DT_PPC64_OPD, "PPC64_OPD"},
    {DT_PPC64_OPDSZ, "PPC64_OPDSZ"}, {DT_PPC64_OPT, "PPC64_OPT"},
};

constexpr TypeName file_types[] = {
    {ET_NONE, "NONE"}, {ET_REL, "REL"}, {ET_EXEC, "EXEC"}, {ET_DYN, "DYN"}, {ET_CORE, "CORE"},
};
constexpr TypeName file_type_descriptions[] = {
    {ET_NONE, "No file type"}, {ET_REL, "Relocatable file"}, {ET_EXEC, "Executable file"},
    {ET_DYN, "Shared object file"}, {ET_CORE, "Core file"},
};
// <elf.h>'s words for each ABI.
constexpr TypeName osabis[] = {
    {ELFOSABI_SYSV, "UNIX System V ABI"}, {ELFOSABI_HPUX, "HP-UX"}, {ELFOSABI_NETBSD, "NetBSD"},
    {ELFOSABI_GNU, "GNU ELF extensions"}, {ELFOSABI_SOLARIS, "Sun Solaris"},
    {ELFOSABI_AIX, "IBM AIX"}, {ELFOSABI_IRIX, "SGI Irix"}, {ELFOSABI_FREEBSD, "FreeBSD"},
    {ELFOSABI_TRU64, "Compaq TRU64 UNIX"}, {ELFOSABI_MODESTO, "Novell Modesto"},
    {ELFOSABI_OPENBSD, "OpenBSD"}, {ELFOSABI_ARM_AEABI, "ARM EABI"}, {ELFOSABI_ARM, "ARM"},
    {ELFOSABI_STANDALONE, "Standalone (embedded) application"},
};
constexpr TypeName symbol_types[] = {
    {STT_NOTYPE, "NOTYPE"}, {STT_OBJECT, "OBJECT"}, {STT_FUNC, "FUNC"}, {STT_SECTION, "SECTION"},
    {STT_FILE, "FILE"}, {STT_COMMON, "COMMON"}, {STT_TLS, "TLS"}, {STT_GNU_IFUNC, "IFUNC"},
};
constexpr TypeName symbol_bindings[] = {
    {STB_LOCAL, "LOCAL"}, {STB_GLOBAL, "GLOBAL"}, {STB_WEAK, "WEAK"},
    {STB_GNU_UNIQUE, "UNIQUE"},
};
// clang-format on

// Lookups are binary searches: every table must be in ascending order.
template <typename Entry, std::size_t N> constexpr bool ascending(const Entry (&table)[N]) {
    return std::is_sorted(table, table + N,
                          [](const Entry &a, const Entry &b) { return a.number < b.number; });
}
constexpr bool relocation_tables_ascending() {
    for (const MachineRelocations &table : machine_relocations)
        if (!std::is_sorted(
                table.types, table.types + table.count,
                [](const TypeName &a, const TypeName &b) { return a.number < b.number; }))
            return false;
    return std::is_sorted(std::begin(machine_relocations), std::end(machine_relocations),
                          [](const MachineRelocations &a, const MachineRelocations &b) {
                              return a.machine < b.machine;
                          });
}
static_assert(ascending(machine_names) && relocation_tables_ascending());
static_assert(ascending(section_types) && ascending(segment_types) && ascending(dynamic_tags) &&
              ascending(ppc_dynamic_tags) && ascending(ppc64_dynamic_tags) &&
              ascending(file_types) && ascending(file_type_descriptions) && ascending(osabis) &&
              ascending(symbol_types) && ascending(symbol_bindings));

} // namespace

const MachineName *machine_name(unsigned machine) {
    const MachineName *end = std::end(machine_names);
    const MachineName *at =
        std::lower_bound(std::begin(machine_names), end, machine,
                         [](const MachineName &entry, unsigned n) { return entry.number < n; });
    return at != end && at->number == machine ? at : nullptr;
}

const char *class_name(unsigned elf_class) {
    return elf_class == ELFCLASS32 ? "ELF32" : elf_class == ELFCLASS64 ? "ELF64" : nullptr;
}

const char *data_name(unsigned data) {
    return data == ELFDATA2LSB   ? "2's complement, little endian"
           : data == ELFDATA2MSB ? "2's complement, big endian"
                                 : nullptr;
}

const char *osabi_name(unsigned osabi) {
    return find(osabis, osabi);
}
const char *file_type_name(unsigned type) {
    return find(file_types, type);
}
const char *file_type_description(unsigned type) {
    return find(file_type_descriptions, type);
}

const char *section_type_name(unsigned type, unsigned machine) {
    if (type == SHT_X86_64_UNWIND && machine == EM_X86_64) return "X86_64_UNWIND";
    if (type == SHT_ARM_EXIDX && machine == EM_ARM) return "ARM_EXIDX";
    if (type == SHT_ARM_ATTRIBUTES && machine == EM_ARM) return "ARM_ATTRIBUTES";
    if (type == SHT_RISCV_ATTRIBUTES && machine == EM_RISCV) return "RISCV_ATTRIBUTES";
    return find(section_types, type);
}

const char *segment_type_name(unsigned type, unsigned machine) {
    if (type == PT_ARM_EXIDX && machine == EM_ARM) return "EXIDX";
    if (type == PT_AARCH64_MEMTAG_MTE && machine == EM_AARCH64) return "AARCH64_MEMTAG_MTE";
    if (type == PT_RISCV_ATTRIBUTES && machine == EM_RISCV) return "RISCV_ATTRIBUTES";
    return find(segment_types, type);
}

const char *dynamic_tag_name(std::int64_t tag, unsigned machine) {
    if (tag < 0 || tag > 0xffffffff) return nullptr;
    const auto number = static_cast<unsigned>(tag);
    if (number >= DT_LOPROC && number < DT_AUXILIARY) {
        if (machine == EM_PPC) return find(ppc_dynamic_tags, number);
        if (machine == EM_PPC64) return find(ppc64_dynamic_tags, number);
        return nullptr;
    }
    return find(dynamic_tags, number);
}

const char *relocation_type_name(unsigned machine, unsigned type) {
    const MachineRelocations *end = std::end(machine_relocations);
    const MachineRelocations *at = std::lower_bound(
        std::begin(machine_relocations), end, machine,
        [](const MachineRelocations &entry, unsigned n) { return entry.machine < n; });
    if (at == end || at->machine != machine) return nullptr;
    // A SPARC type's upper 24 bits hold an addend (R_SPARC_OLO10): the type is the low 8.
    if (machine == EM_SPARC || machine == EM_SPARC32PLUS || machine == EM_SPARCV9) type &= 0xff;
    const TypeName *last = at->types + at->count;
    const TypeName *found = std::lower_bound(
        at->types, last, type, [](const TypeName &entry, unsigned n) { return entry.number < n; });
    return found != last && found->number == type ? found->name : nullptr;
}

const char *symbol_type_name(unsigned type) {
    return find(symbol_types, type);
}
const char *symbol_binding_name(unsigned binding) {
    return find(symbol_bindings, binding);
}

const char *symbol_visibility_name(unsigned visibility) {
    static const char *const names[] = {"DEFAULT", "INTERNAL", "HIDDEN", "PROTECTED"};
    return visibility < 4 ? names[visibility] : nullptr;
}

void section_flag_letters(std::uint64_t flags, unsigned machine, unsigned osabi, char *letters) {
    const bool gnu = osabi == ELFOSABI_GNU || osabi == ELFOSABI_FREEBSD;
    bool os = false;
    bool processor = false;
    bool unknown = false;
    int n = 0;
    for (int bit = 0; bit < 64; ++bit) {
        const std::uint64_t flag = std::uint64_t{1} << bit;
        if ((flags & flag) == 0) continue;
        char letter = 0;
        switch (flag) {
        case SHF_WRITE:
            letter = 'W';
            break;
        case SHF_ALLOC:
            letter = 'A';
            break;
        case SHF_EXECINSTR:
            letter = 'X';
            break;
        case SHF_MERGE:
            letter = 'M';
            break;
        case SHF_STRINGS:
            letter = 'S';
            break;
        case SHF_INFO_LINK:
            letter = 'I';
            break;
        case SHF_LINK_ORDER:
            letter = 'L';
            break;
        case SHF_OS_NONCONFORMING:
            letter = 'O';
            break;
        case SHF_GROUP:
            letter = 'G';
            break;
        case SHF_TLS:
            letter = 'T';
            break;
        case SHF_COMPRESSED:
            letter = 'C';
            break;
        case SHF_EXCLUDE:
            letter = 'E';
            break;
        case SHF_GNU_RETAIN:
            letter = gnu ? 'R' : 0;
            break;
        case 0x01000000:
            letter = gnu ? 'D' : 0;
            break; // GNU mbind
        case 0x10000000:
            letter = machine == EM_X86_64 ? 'l' : 0;
            break; // x86-64 large
        default:
            break;
        }
        if (letter != 0) {
            letters[n++] = letter;
        } else if ((flag & SHF_MASKOS) != 0) {
            os = true;
        } else if ((flag & SHF_MASKPROC) != 0) {
            processor = true;
        } else {
            unknown = true;
        }
    }
    if (unknown) letters[n++] = 'x';
    if (os) letters[n++] = 'o';
    if (processor) letters[n++] = 'p';
    letters[n] = '\0';
}
