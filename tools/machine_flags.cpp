// The words for a file header's e_flags, as binutils readelf prints them after the number. Each
// machine's words are tables: single bits, and fields whose value names a choice.
#include "names.hpp"

#include <elf.h>

#include <cstdint>
#include <string>

namespace {

// A bit's word, shown when the bit is set.
struct BitWord {
    std::uint32_t bit;
    const char *word;
};
// A field's value and its word.
struct FieldWord {
    std::uint32_t value;
    const char *word;
};

class Words {
  public:
    void add(const char *word) {
        if (!text_.empty()) text_ += ", ";
        text_ += word;
    }
    // The words of the set bits, in table order; returns the set bits the table has no word for.
    template <std::size_t N>
    std::uint32_t bits(std::uint32_t flags, const BitWord (&table)[N], std::uint32_t among) {
        for (const BitWord &entry : table) {
            if ((flags & entry.bit) != 0) add(entry.word);
            among &= ~entry.bit;
        }
        return flags & among;
    }
    // The word of a field's value; `other` (may be null) when the table has none.
    template <std::size_t N>
    void field(std::uint32_t value, const FieldWord (&table)[N], const char *other) {
        for (const FieldWord &entry : table)
            if (entry.value == value) return add(entry.word);
        if (other != nullptr) add(other);
    }
    std::string take() { return std::move(text_); }

  private:
    std::string text_;
};

// ARM: the EABI version in the top byte chooses the meaning of the other bits.
constexpr std::uint32_t arm_relocatable_executable = 0x01;
constexpr std::uint32_t arm_position_independent = 0x20;
constexpr BitWord arm_gnu_bits[] = {
    {0x04, "interworking enabled"}, {0x08, "uses APCS/26"},
    {0x10, "uses APCS/float"},      {0x40, "8 bit structure alignment"},
    {0x80, "uses new ABI"},         {0x100, "uses old ABI"},
    {0x200, "software FP"},         {0x400, "VFP"},
    {0x800, "Maverick FP"},
};
constexpr BitWord arm_eabi1_bits[] = {{0x04, "sorted symbol tables"}};
constexpr BitWord arm_eabi2_bits[] = {
    {0x04, "sorted symbol tables"},
    {0x08, "dynamic symbols use segment index"},
    {0x10, "mapping symbols precede others"},
};
constexpr BitWord arm_eabi4_bits[] = {{0x400000, "LE8"}, {0x800000, "BE8"}};
constexpr BitWord arm_eabi5_bits[] = {
    {0x200, "soft-float ABI"}, {0x400, "hard-float ABI"}, {0x400000, "LE8"}, {0x800000, "BE8"}};

void arm_words(Words &words, std::uint32_t flags) {
    if ((flags & arm_relocatable_executable) != 0) words.add("relocatable executable");
    if ((flags & arm_position_independent) != 0) words.add("position independent");
    const std::uint32_t rest =
        flags & 0x00ffffff & ~(arm_relocatable_executable | arm_position_independent);
    std::uint32_t unknown = 0;
    switch (flags >> 24) {
    case 0:
        words.add("GNU EABI");
        unknown = words.bits(rest, arm_gnu_bits, 0xffffffff);
        break;
    case 1:
        words.add("Version1 EABI");
        unknown = words.bits(rest, arm_eabi1_bits, 0xffffffff);
        break;
    case 2:
        words.add("Version2 EABI");
        unknown = words.bits(rest, arm_eabi2_bits, 0xffffffff);
        break;
    case 3:
        words.add("Version3 EABI"); // its bits are not described
        break;
    case 4:
        words.add("Version4 EABI");
        unknown = words.bits(rest, arm_eabi4_bits, 0xffffffff);
        break;
    case 5:
        words.add("Version5 EABI");
        unknown = words.bits(rest, arm_eabi5_bits, 0xffffffff);
        break;
    default:
        words.add("<unrecognized EABI>");
        unknown = rest;
        break;
    }
    if (unknown != 0) words.add("<unknown>");
}

// MIPS: single bits, then the CPU, the ABI, the extensions and the instruction set.
constexpr BitWord mips_bits[] = {
    {EF_MIPS_NOREORDER, "noreorder"},
    {EF_MIPS_PIC, "pic"},
    {EF_MIPS_CPIC, "cpic"},
    {0x10, "ugen_reserved"},
    {0x20, "abi2"},
    {0x80, "odk first"},
    {0x100, "32bitmode"},
    {0x400, "nan2008"},
    {0x200, "fp64"},
};
constexpr std::uint32_t mips_cpu_mask = 0x00ff0000;
constexpr FieldWord mips_cpus[] = {
    {0x810000, "3900"},    {0x820000, "4010"},           {0x830000, "4100"},
    {0x850000, "4650"},    {0x870000, "4120"},           {0x880000, "4111"},
    {0x8a0000, "sb1"},     {0x8b0000, "octeon"},         {0x8c0000, "xlr"},
    {0x8d0000, "octeon2"}, {0x8e0000, "octeon3"},        {0x910000, "5400"},
    {0x920000, "5900"},    {0x930000, "interaptiv-mr2"}, {0x980000, "5500"},
    {0x990000, "9000"},    {0xa00000, "loongson-2e"},    {0xa10000, "loongson-2f"},
    {0xa20000, "gs464"},   {0xa30000, "gs464e"},         {0xa40000, "gs264e"},
};
constexpr std::uint32_t mips_abi_mask = 0x0000f000;
constexpr FieldWord mips_abis[] = {
    {0x1000, "o32"}, {0x2000, "o64"}, {0x3000, "eabi32"}, {0x4000, "eabi64"}};
constexpr BitWord mips_extensions[] = {
    {0x08000000, "mdmx"}, {0x04000000, "mips16"}, {0x02000000, "micromips"}};
constexpr FieldWord mips_isas[] = {
    {0x00000000, "mips1"},    {0x10000000, "mips2"},    {0x20000000, "mips3"},
    {0x30000000, "mips4"},    {0x40000000, "mips5"},    {0x50000000, "mips32"},
    {0x60000000, "mips64"},   {0x70000000, "mips32r2"}, {0x80000000, "mips64r2"},
    {0x90000000, "mips32r6"}, {0xa0000000, "mips64r6"},
};

void mips_words(Words &words, std::uint32_t flags) {
    words.bits(flags, mips_bits, 0);
    if ((flags & mips_cpu_mask) != 0) words.field(flags & mips_cpu_mask, mips_cpus, "unknown CPU");
    if ((flags & mips_abi_mask) != 0) words.field(flags & mips_abi_mask, mips_abis, "unknown ABI");
    words.bits(flags, mips_extensions, 0);
    words.field(flags & 0xf0000000, mips_isas, "unknown ISA");
}

// PA-RISC: the architecture version in the low half, then single bits.
constexpr FieldWord parisc_versions[] = {
    {0x20b, "PA-RISC 1.0"}, {0x210, "PA-RISC 1.1"}, {0x214, "PA-RISC 2.0"}};
constexpr BitWord parisc_bits[] = {
    {0x10000, "trapnil"}, {0x20000, "ext"},      {0x40000, "lsb"},
    {0x80000, "wide"},    {0x100000, "no kabp"}, {0x400000, "lazyswap"},
};

// SPARC V9: single bits, then the memory model.
constexpr BitWord sparcv9_bits[] = {
    {0x100, "v8+"},   {0x200, "ultrasparcI"}, {0x800, "ultrasparcIII"},
    {0x400, "halr1"}, {0x800000, "ledata"},
};
constexpr FieldWord sparcv9_memory_models[] = {{0, "tso"}, {1, "pso"}, {2, "rmo"}};

constexpr BitWord ppc_bits[] = {
    {0x80000000, "emb"}, {0x10000, "relocatable"}, {0x8000, "relocatable-lib"}};
constexpr FieldWord ppc64_abis[] = {{1, "abiv1"}, {2, "abiv2"}, {3, "abiv3"}};

constexpr BitWord riscv_bits[] = {{0x1, "RVC"}, {0x8, "RVE"}, {0x10, "TSO"}};
constexpr FieldWord riscv_float_abis[] = {{0x0, "soft-float ABI"},
                                          {0x2, "single-float ABI"},
                                          {0x4, "double-float ABI"},
                                          {0x6, "quad-float ABI"}};

// m68k: 68000, CPU32 and Fido by architecture bits; otherwise ColdFire, described by its
// instruction set, floating point and multiply-accumulate unit.
constexpr std::uint32_t m68k_architecture_mask = 0x03818000; // with ColdFire V4e
constexpr FieldWord m68k_architectures[] = {
    {0x01000000, "m68000"}, {0x00810000, "cpu32"}, {0x02000000, "fido_a"}};
constexpr FieldWord m68k_coldfire_isas[] = {
    {1, "cf, isa A, nodiv"}, {2, "cf, isa A"}, {3, "cf, isa A+"},      {4, "cf, isa B, nousp"},
    {5, "cf, isa B"},        {6, "cf, isa C"}, {7, "cf, isa C, nodiv"}};
constexpr BitWord m68k_coldfire_bits[] = {{0x40, "float"}};
constexpr FieldWord m68k_coldfire_macs[] = {{0x10, "mac"}, {0x20, "emac"}, {0x30, "emac_b"}};

void m68k_words(Words &words, std::uint32_t flags) {
    for (const FieldWord &entry : m68k_architectures)
        if ((flags & m68k_architecture_mask) == entry.value) return words.add(entry.word);
    words.field(flags & 0x0f, m68k_coldfire_isas, "cf, isa unknown");
    words.bits(flags, m68k_coldfire_bits, 0);
    if ((flags & 0x30) != 0) words.field(flags & 0x30, m68k_coldfire_macs, nullptr);
}

constexpr BitWord s390_bits[] = {{0x1, "highgprs"}};

} // namespace

std::string machine_flags_description(unsigned machine, std::uint32_t flags) {
    Words words;
    if (flags == 0) return words.take();
    switch (machine) {
    case EM_ARM:
        arm_words(words, flags);
        break;
    case EM_MIPS:
    case EM_MIPS_RS3_LE:
        mips_words(words, flags);
        break;
    case EM_PARISC:
        words.field(flags & 0xffff, parisc_versions, nullptr);
        words.bits(flags, parisc_bits, 0);
        break;
    case EM_SPARCV9:
        words.bits(flags, sparcv9_bits, 0);
        words.field(flags & 3, sparcv9_memory_models, nullptr);
        break;
    case EM_PPC:
        words.bits(flags, ppc_bits, 0);
        break;
    case EM_PPC64:
        words.field(flags & 3, ppc64_abis, nullptr);
        break;
    case EM_RISCV:
        words.bits(flags, riscv_bits, 0);
        words.field(flags & 6, riscv_float_abis, nullptr);
        break;
    case EM_68K:
        m68k_words(words, flags);
        break;
    case EM_S390:
        words.bits(flags, s390_bits, 0);
        break;
    default:
        break;
    }
    return words.take();
}
