#include "names.hpp"

#include <elf.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <string>

namespace {

#include "elf_names.inc"

// A machine's own names for numbers (relocation types, processor-specific section types, ...),
// in ascending order.
struct MachineTable {
    unsigned machine;
    const TypeName *types;
    std::size_t count;
};
template <std::size_t N>
constexpr MachineTable table(unsigned machine, const TypeName (&types)[N]) {
    return {machine, types, N};
}
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
    {0x7ffffffd, "AUXILIARY"}, {0x7fffffff, "FILTER"},
};

constexpr TypeName segment_types[] = {
    {PT_NULL, "NULL"}, {PT_LOAD, "LOAD"}, {PT_DYNAMIC, "DYNAMIC"}, {PT_INTERP, "INTERP"},
    {PT_NOTE, "NOTE"}, {PT_SHLIB, "SHLIB"}, {PT_PHDR, "PHDR"}, {PT_TLS, "TLS"},
    {PT_GNU_EH_FRAME, "GNU_EH_FRAME"}, {PT_GNU_STACK, "GNU_STACK"}, {PT_GNU_RELRO, "GNU_RELRO"},
    {PT_GNU_PROPERTY, "GNU_PROPERTY"}, {0x6474e554, "GNU_SFRAME"}, {0x65a3dbe6, "OPENBSD_RANDOM"},
    {0x65a3dbe7, "OPENBSD_WXNEEDED"}, {0x65a41be6, "OPENBSD_BOOTDATA"}, {PT_SUNWBSS, "SUNWBSS"},
    {PT_SUNWSTACK, "SUNWSTACK"},
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

// Processor-specific section types (SHT_LOPROC and up), as readelf names them.
constexpr TypeName mips_section_types[] = {
    {0x70000000, "MIPS_LIBLIST"}, {0x70000001, "MIPS_MSYM"}, {0x70000002, "MIPS_CONFLICT"},
    {0x70000003, "MIPS_GPTAB"}, {0x70000004, "MIPS_UCODE"}, {0x70000005, "MIPS_DEBUG"},
    {0x70000006, "MIPS_REGINFO"}, {0x70000007, "MIPS_PACKAGE"}, {0x70000008, "MIPS_PACKSYM"},
    {0x70000009, "MIPS_RELD"}, {0x7000000b, "MIPS_IFACE"}, {0x7000000c, "MIPS_CONTENT"},
    {0x7000000d, "MIPS_OPTIONS"}, {0x70000010, "MIPS_SHDR"}, {0x70000011, "MIPS_FDESC"},
    {0x70000012, "MIPS_EXTSYM"}, {0x70000013, "MIPS_DENSE"}, {0x70000014, "MIPS_PDESC"},
    {0x70000015, "MIPS_LOCSYM"}, {0x70000016, "MIPS_AUXSYM"}, {0x70000017, "MIPS_OPTSYM"},
    {0x70000018, "MIPS_LOCSTR"}, {0x70000019, "MIPS_LINE"}, {0x7000001a, "MIPS_RFDESC"},
    {0x7000001b, "MIPS_DELTASYM"}, {0x7000001c, "MIPS_DELTAINST"},
    {0x7000001d, "MIPS_DELTACLASS"}, {0x7000001e, "MIPS_DWARF"}, {0x7000001f, "MIPS_DELTADECL"},
    {0x70000020, "MIPS_SYMBOL_LIB"}, {0x70000021, "MIPS_EVENTS"}, {0x70000022, "MIPS_TRANSLATE"},
    {0x70000023, "MIPS_PIXIE"}, {0x70000024, "MIPS_XLATE"}, {0x70000025, "MIPS_XLATE_DEBUG"},
    {0x70000026, "MIPS_WHIRL"}, {0x70000027, "MIPS_EH_REGION"}, {0x70000028, "MIPS_XLATE_OLD"},
    {0x70000029, "MIPS_PDR_EXCEPTION"}, {0x7000002a, "MIPS_ABIFLAGS"}, {0x7000002b, "MIPS_XHASH"},
};
constexpr TypeName parisc_section_types[] = {
    {0x70000000, "PARISC_EXT"}, {0x70000001, "PARISC_UNWIND"}, {0x70000002, "PARISC_DOC"},
    {0x70000003, "PARISC_ANNOT"}, {0x70000004, "PARISC_DLKM"}, {0x70000008, "PARISC_SYMEXTN"},
    {0x70000009, "PARISC_STUBS"},
};
constexpr TypeName arm_section_types[] = {
    {0x70000001, "ARM_EXIDX"}, {0x70000002, "ARM_PREEMPTMAP"}, {0x70000003, "ARM_ATTRIBUTES"},
    {0x70000004, "ARM_DEBUGOVERLAY"}, {0x70000005, "ARM_OVERLAYSECTION"},
};
constexpr TypeName ia64_section_types[] = {{0x70000000, "IA_64_EXT"}, {0x70000001, "IA_64_UNWIND"}};
constexpr TypeName x86_64_section_types[] = {{0x70000001, "X86_64_UNWIND"}};
constexpr TypeName aarch64_section_types[] = {{0x70000003, "AARCH64_ATTRIBUTES"}};
constexpr TypeName riscv_section_types[] = {{0x70000003, "RISCV_ATTRIBUTES"}};
constexpr TypeName csky_section_types[] = {{0x70000001, "CSKY_ATTRIBUTES"}};
constexpr MachineTable processor_section_types[] = {
    table(EM_MIPS, mips_section_types),        table(EM_MIPS_RS3_LE, mips_section_types),
    table(EM_PARISC, parisc_section_types),    table(EM_ARM, arm_section_types),
    table(EM_IA_64, ia64_section_types),       table(EM_X86_64, x86_64_section_types),
    table(EM_AARCH64, aarch64_section_types),  table(EM_RISCV, riscv_section_types),
    table(EM_CSKY, csky_section_types),
};

// Processor-specific segment types (PT_LOPROC and up).
constexpr TypeName mips_segment_types[] = {
    {0x70000000, "REGINFO"}, {0x70000001, "RTPROC"}, {0x70000002, "OPTIONS"},
    {0x70000003, "ABIFLAGS"},
};
constexpr TypeName parisc_segment_types[] = {
    {0x70000000, "PARISC_ARCHEXT"}, {0x70000001, "PARISC_UNWIND"},
    {0x70000002, "PARISC_WEAKORDER"},
};
constexpr TypeName arm_segment_types[] = {{0x70000001, "EXIDX"}};
constexpr TypeName s390_segment_types[] = {{0x70000000, "S390_PGSTE"}};
constexpr TypeName ia64_segment_types[] = {
    {0x70000000, "IA_64_ARCHEXT"}, {0x70000001, "IA_64_UNWIND"}};
constexpr TypeName aarch64_segment_types[] = {
    {0x70000000, "AARCH64_ARCHEXT"}, {0x70000002, "AARCH64_MEMTAG_MTE"}};
constexpr TypeName riscv_segment_types[] = {{0x70000003, "RISCV_ATTRIBUTES"}};
constexpr MachineTable processor_segment_types[] = {
    table(EM_MIPS, mips_segment_types),       table(EM_MIPS_RS3_LE, mips_segment_types),
    table(EM_PARISC, parisc_segment_types),   table(EM_S390, s390_segment_types),
    table(EM_ARM, arm_segment_types),         table(EM_IA_64, ia64_segment_types),
    table(EM_AARCH64, aarch64_segment_types), table(EM_RISCV, riscv_segment_types),
};

// Each machine's own dynamic tags (processor-specific ones, DT_LOPROC and up, and for some
// machines OS-specific ones), with how readelf shows each one's value.
using V = DynamicValue;
constexpr DynamicTagName mips_dynamic_tags[] = {
    {0x70000001, V::decimal, "MIPS_RLD_VERSION"}, {0x70000002, V::time_stamp, "MIPS_TIME_STAMP"},
    {0x70000003, V::hex, "MIPS_ICHECKSUM"}, {0x70000004, V::interface_version, "MIPS_IVERSION"},
    {0x70000005, V::mips_flags, "MIPS_FLAGS"}, {0x70000006, V::hex, "MIPS_BASE_ADDRESS"},
    {0x70000007, V::hex, "MIPS_MSYM"}, {0x70000008, V::hex, "MIPS_CONFLICT"},
    {0x70000009, V::hex, "MIPS_LIBLIST"}, {0x7000000a, V::decimal, "MIPS_LOCAL_GOTNO"},
    {0x7000000b, V::decimal, "MIPS_CONFLICTNO"}, {0x70000010, V::decimal, "MIPS_LIBLISTNO"},
    {0x70000011, V::decimal, "MIPS_SYMTABNO"}, {0x70000012, V::decimal, "MIPS_UNREFEXTNO"},
    {0x70000013, V::hex, "MIPS_GOTSYM"}, {0x70000014, V::decimal, "MIPS_HIPAGENO"},
    {0x70000016, V::hex, "MIPS_RLD_MAP"}, {0x70000017, V::hex, "MIPS_DELTA_CLASS"},
    {0x70000018, V::decimal, "MIPS_DELTA_CLASS_NO"}, {0x70000019, V::hex, "MIPS_DELTA_INSTANCE"},
    {0x7000001a, V::decimal, "MIPS_DELTA_INSTANCE_NO"}, {0x7000001b, V::hex, "MIPS_DELTA_RELOC"},
    {0x7000001c, V::decimal, "MIPS_DELTA_RELOC_NO"}, {0x7000001d, V::hex, "MIPS_DELTA_SYM"},
    {0x7000001e, V::decimal, "MIPS_DELTA_SYM_NO"}, {0x70000020, V::hex, "MIPS_DELTA_CLASSSYM"},
    {0x70000021, V::decimal, "MIPS_DELTA_CLASSSYM_NO"}, {0x70000022, V::hex, "MIPS_CXX_FLAGS"},
    {0x70000023, V::hex, "MIPS_PIXIE_INIT"}, {0x70000024, V::hex, "MIPS_SYMBOL_LIB"},
    {0x70000025, V::hex, "MIPS_LOCALPAGE_GOTIDX"}, {0x70000026, V::hex, "MIPS_LOCAL_GOTIDX"},
    {0x70000027, V::hex, "MIPS_HIDDEN_GOTIDX"}, {0x70000028, V::hex, "MIPS_PROTECTED_GOTIDX"},
    {0x70000029, V::hex, "MIPS_OPTIONS"}, {0x7000002a, V::hex, "MIPS_INTERFACE"},
    {0x7000002b, V::hex, "MIPS_DYNSTR_ALIGN"}, {0x7000002c, V::hex, "MIPS_INTERFACE_SIZE"},
    {0x7000002d, V::hex, "MIPS_RLD_TEXT_RESOLVE_ADDR"}, {0x7000002e, V::hex, "MIPS_PERF_SUFFIX"},
    {0x7000002f, V::decimal, "MIPS_COMPACT_SIZE"}, {0x70000030, V::hex, "MIPS_GP_VALUE"},
    {0x70000031, V::hex, "MIPS_AUX_DYNAMIC"}, {0x70000032, V::hex, "MIPS_PLTGOT"},
    {0x70000034, V::hex, "MIPS_RWPLT"}, {0x70000035, V::hex, "MIPS_RLD_MAP_REL"},
    {0x70000036, V::hex, "MIPS_XHASH"},
};
constexpr DynamicTagName sparcv9_dynamic_tags[] = {{0x70000001, V::hex, "SPARC_REGISTER"}};
constexpr DynamicTagName ppc_dynamic_tags[] = {
    {DT_PPC_GOT, V::hex, "PPC_GOT"}, {DT_PPC_OPT, V::hex, "PPC_OPT"}};
constexpr DynamicTagName ppc64_dynamic_tags[] = {
    {DT_PPC64_GLINK, V::hex, "PPC64_GLINK"}, {DT_PPC64_OPD, V::hex, "PPC64_OPD"},
    {DT_PPC64_OPDSZ, V::hex, "PPC64_OPDSZ"}, {DT_PPC64_OPT, V::hex, "PPC64_OPT"},
};
constexpr DynamicTagName aarch64_dynamic_tags[] = {
    {0x70000001, V::nothing, "AARCH64_BTI_PLT"}, {0x70000003, V::nothing, "AARCH64_PAC_PLT"},
    {0x70000005, V::hex, "AARCH64_VARIANT_PCS"},
};
// PA-RISC's (HP-UX) tags are OS-specific ones (DT_LOOS and up).
constexpr DynamicTagName parisc_dynamic_tags[] = {
    {0x6000000d, V::hex, "HP_GST_EPLTREL"}, {0x6000000e, V::hex, "HP_GST_EPLTRELSZ"},
    {0x6000000f, V::hex, "HP_FILTERED"}, {0x60000010, V::hex, "HP_FILTER_TLS"},
    {0x60000011, V::hex, "HP_COMPAT_FILTERED"}, {0x60000012, V::hex, "HP_LAZYLOAD"},
    {0x60000013, V::hex, "HP_BIND_NOW_COUNT"}, {0x60000014, V::hex, "PLT"},
    {0x60000015, V::hex, "PLT_SIZE"}, {0x60000016, V::hex, "DLT"}, {0x60000017, V::hex, "DLT_SIZE"},
};
constexpr DynamicTagName riscv_dynamic_tags[] = {{0x70000001, V::hex, "RISCV_VARIANT_CC"}};
constexpr DynamicTagName ia64_dynamic_tags[] = {
    {0x70000000, V::plt_reserve, "IA_64_PLT_RESERVE"}};
constexpr DynamicTagName alpha_dynamic_tags[] = {{0x70000000, V::hex, "ALPHA_PLTRO"}};
struct MachineDynamicTags {
    unsigned machine;
    const DynamicTagName *tags;
    std::size_t count;
};
template <std::size_t N>
constexpr MachineDynamicTags tags(unsigned machine, const DynamicTagName (&names)[N]) {
    return {machine, names, N};
}
constexpr MachineDynamicTags processor_dynamic_tags[] = {
    tags(EM_MIPS, mips_dynamic_tags), tags(EM_MIPS_RS3_LE, mips_dynamic_tags),
    tags(EM_PARISC, parisc_dynamic_tags), tags(EM_PPC, ppc_dynamic_tags),   tags(EM_PPC64, ppc64_dynamic_tags),
    tags(EM_SPARCV9, sparcv9_dynamic_tags), tags(EM_IA_64, ia64_dynamic_tags),
    tags(EM_AARCH64, aarch64_dynamic_tags), tags(EM_RISCV, riscv_dynamic_tags),
    tags(EM_ALPHA, alpha_dynamic_tags),
};

// Processor-specific symbol types (STT_LOPROC and up) and the OS-specific ones of GNU.
constexpr TypeName sparcv9_symbol_types[] = {{13, "REGISTER"}};
constexpr TypeName parisc_symbol_types[] = {
    {11, "HP_OPAQUE"}, {12, "HP_STUB"}, {13, "PARISC_MILLI"}};
constexpr TypeName arm_symbol_types[] = {{13, "THUMB_FUNC"}};
constexpr MachineTable processor_symbol_types[] = {
    table(EM_PARISC, parisc_symbol_types), table(EM_ARM, arm_symbol_types),
    table(EM_SPARCV9, sparcv9_symbol_types),
};

// Section flags with a letter on one machine only, and their words in the legend.
struct MachineFlag {
    unsigned machine;
    std::uint32_t flag;
    const char *word;
    char letter;
};
constexpr MachineFlag machine_section_flags[] = {
    {EM_X86_64, 0x10000000, "large", 'l'}, {EM_L10M, 0x10000000, "large", 'l'},
    {EM_K10M, 0x10000000, "large", 'l'},   {EM_ARM, 0x20000000, "purecode", 'y'},
    {EM_PPC, 0x10000000, "VLE", 'v'},
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
    {STT_FILE, "FILE"}, {STT_COMMON, "COMMON"}, {STT_TLS, "TLS"},
    {8, "RELC"}, {9, "SRELC"}, // binutils' complex relocation expressions
};
constexpr TypeName symbol_bindings[] = {
    {STB_LOCAL, "LOCAL"}, {STB_GLOBAL, "GLOBAL"}, {STB_WEAK, "WEAK"},
};
// clang-format on

// Lookups are binary searches: every table must be in ascending order.
template <typename Entry, std::size_t N> constexpr bool ascending(const Entry (&table)[N]) {
    return std::is_sorted(table, table + N,
                          [](const Entry &a, const Entry &b) { return a.number < b.number; });
}
// Per-machine tables: each in ascending order, and the machines in ascending order.
template <std::size_t N> constexpr bool ascending_tables(const MachineTable (&tables)[N]) {
    for (const MachineTable &entry : tables)
        if (!std::is_sorted(
                entry.types, entry.types + entry.count,
                [](const TypeName &a, const TypeName &b) { return a.number < b.number; }))
            return false;
    return std::is_sorted(tables, tables + N, [](const MachineTable &a, const MachineTable &b) {
        return a.machine < b.machine;
    });
}
constexpr bool ascending_dynamic_tags() {
    for (const MachineDynamicTags &entry : processor_dynamic_tags)
        if (!std::is_sorted(
                entry.tags, entry.tags + entry.count,
                [](const DynamicTagName &a, const DynamicTagName &b) { return a.tag < b.tag; }))
            return false;
    return std::is_sorted(std::begin(processor_dynamic_tags), std::end(processor_dynamic_tags),
                          [](const MachineDynamicTags &a, const MachineDynamicTags &b) {
                              return a.machine < b.machine;
                          });
}
static_assert(ascending(machine_names) && ascending_tables(machine_relocations) &&
              ascending_tables(processor_section_types) &&
              ascending_tables(processor_segment_types) &&
              ascending_tables(processor_symbol_types) && ascending_dynamic_tags());
static_assert(ascending(section_types) && ascending(segment_types) && ascending(dynamic_tags) &&
              ascending(file_types) && ascending(file_type_descriptions) && ascending(osabis) &&
              ascending(symbol_types) && ascending(symbol_bindings));

// The name of number in machine's table of tables, or nullptr.
template <std::size_t N>
const char *find_for(const MachineTable (&tables)[N], unsigned machine, unsigned number) {
    const MachineTable *end = tables + N;
    const MachineTable *at =
        std::lower_bound(tables, end, machine,
                         [](const MachineTable &entry, unsigned n) { return entry.machine < n; });
    if (at == end || at->machine != machine) return nullptr;
    const TypeName *last = at->types + at->count;
    const TypeName *found =
        std::lower_bound(at->types, last, number,
                         [](const TypeName &entry, unsigned n) { return entry.number < n; });
    return found != last && found->number == number ? found->name : nullptr;
}

// Machine numbers below this find their relocation table by index, not by search: the lookup
// runs once per relocation.
constexpr unsigned indexed_machines = 512;
static_assert(std::size(machine_relocations) < 255);
constexpr std::array<std::uint8_t, indexed_machines> relocation_table_index = [] {
    std::array<std::uint8_t, indexed_machines> index{}; // table position + 1; 0 for none
    for (std::size_t i = 0; i < std::size(machine_relocations); ++i)
        if (machine_relocations[i].machine < indexed_machines)
            index[machine_relocations[i].machine] = static_cast<std::uint8_t>(i + 1);
    return index;
}();

bool gnu_osabi(unsigned osabi) {
    return osabi == ELFOSABI_GNU || osabi == ELFOSABI_FREEBSD;
}

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
    if (type >= SHT_LOPROC && type <= SHT_HIPROC)
        if (const char *name = find_for(processor_section_types, machine, type)) return name;
    return find(section_types, type);
}

const char *segment_type_name(unsigned type, unsigned machine) {
    if (type >= PT_LOPROC && type <= PT_HIPROC)
        if (const char *name = find_for(processor_segment_types, machine, type)) return name;
    return find(segment_types, type);
}

const DynamicTagName *machine_dynamic_tag(std::int64_t tag, unsigned machine) {
    if (tag < DT_LOOS || tag > DT_HIPROC) return nullptr;
    const MachineDynamicTags *end = std::end(processor_dynamic_tags);
    const MachineDynamicTags *at = std::lower_bound(
        std::begin(processor_dynamic_tags), end, machine,
        [](const MachineDynamicTags &entry, unsigned n) { return entry.machine < n; });
    if (at == end || at->machine != machine) return nullptr;
    const DynamicTagName *last = at->tags + at->count;
    const DynamicTagName *found =
        std::lower_bound(at->tags, last, tag, [](const DynamicTagName &entry, std::int64_t n) {
            return static_cast<std::int64_t>(entry.tag) < n;
        });
    return found != last && found->tag == tag ? found : nullptr;
}

const char *dynamic_tag_name(std::int64_t tag, unsigned machine) {
    if (tag < 0 || tag > 0xffffffff) return nullptr;
    if (const DynamicTagName *entry = machine_dynamic_tag(tag, machine)) return entry->name;
    // readelf names these two of the processor range whatever the machine.
    if (tag >= DT_LOPROC && tag <= DT_HIPROC && tag != DT_AUXILIARY && tag != DT_FILTER)
        return nullptr;
    return find(dynamic_tags, static_cast<unsigned>(tag));
}

const char *relocation_type_name(unsigned machine, unsigned type) {
    // A SPARC type's upper 24 bits hold an addend (R_SPARC_OLO10): the type is the low 8.
    if (machine == EM_SPARC || machine == EM_SPARC32PLUS || machine == EM_SPARCV9) type &= 0xff;
    if (machine >= indexed_machines) return find_for(machine_relocations, machine, type);
    const unsigned position = relocation_table_index[machine];
    if (position == 0) return nullptr;
    const MachineTable &table = machine_relocations[position - 1];
    const TypeName *last = table.types + table.count;
    const TypeName *found =
        std::lower_bound(table.types, last, type,
                         [](const TypeName &entry, unsigned n) { return entry.number < n; });
    return found != last && found->number == type ? found->name : nullptr;
}

const char *symbol_type_name(unsigned type, unsigned machine, unsigned osabi) {
    if (type == STT_GNU_IFUNC && gnu_osabi(osabi)) return "IFUNC";
    if (const char *name = find_for(processor_symbol_types, machine, type)) return name;
    return find(symbol_types, type);
}

const char *symbol_binding_name(unsigned binding, unsigned osabi) {
    if (binding == STB_GNU_UNIQUE && gnu_osabi(osabi)) return "UNIQUE";
    return find(symbol_bindings, binding);
}

const char *symbol_visibility_name(unsigned visibility) {
    static const char *const names[] = {"DEFAULT", "INTERNAL", "HIDDEN", "PROTECTED"};
    return visibility < 4 ? names[visibility] : nullptr;
}

void section_flag_letters(std::uint64_t flags, unsigned machine, unsigned osabi, char *letters) {
    const bool gnu = gnu_osabi(osabi);
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
        case 0x01000000: // GNU mbind, shown whatever the OS/ABI
            letter = 'D';
            break;
        default:
            for (const MachineFlag &entry : machine_section_flags)
                if (entry.machine == machine && entry.flag == flag) letter = entry.letter;
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

void section_flag_legend(unsigned machine, unsigned osabi, std::string &legend) {
    legend = "Key to Flags:\n"
             "  W (write), A (alloc), X (execute), M (merge), S (strings), I (info),\n"
             "  L (link order), O (extra OS processing required), G (group), T (TLS),\n"
             "  C (compressed), x (unknown), o (OS specific), E (exclude),\n  ";
    if (gnu_osabi(osabi)) legend += "R (retain), ";
    legend += "D (mbind), ";
    for (const MachineFlag &entry : machine_section_flags) {
        if (entry.machine != machine) continue;
        legend += entry.letter;
        legend += " (";
        legend += entry.word;
        legend += "), ";
    }
    legend += "p (processor specific)\n";
}
