// How a relocation's r_info divides into a symbol index and a type on each machine. The library
// hands r_info over as the file stores it (a 32-bit file's repacked into the 64-bit layout); two
// 64-bit machines give the word a layout of their own:
//
// - MIPS64 stores a 32-bit symbol index followed by four single bytes: the special symbol
//   (r_ssym), then r_type3, r_type2 and r_type. Read as one 64-bit number in the file's byte
//   order, a big-endian file gives sym << 32 | ssym << 24 | type3 << 16 | type2 << 8 | type,
//   but a little-endian one gives type << 56 | type2 << 48 | type3 << 40 | ssym << 32 | sym.
// - 64-bit SPARC keeps the type in the low 8 bits and type-dependent data (the second addend of
//   R_SPARC_OLO10, signed) in the 24 bits above it.
#ifndef QUENZA_DUMP_RELOCATION_INFO_HPP
#define QUENZA_DUMP_RELOCATION_INFO_HPP

#include <elf.h>

#include <cstdint>

enum class InfoLayout { elf32, elf64, mips64_big, mips64_little, sparc64 };

constexpr InfoLayout info_layout(bool wide, unsigned machine, unsigned data) {
    if (!wide) return InfoLayout::elf32;
    if (machine == EM_MIPS)
        return data == ELFDATA2MSB ? InfoLayout::mips64_big : InfoLayout::mips64_little;
    if (machine == EM_SPARCV9) return InfoLayout::sparc64;
    return InfoLayout::elf64;
}

struct RelocationInfo {
    // r_info as readelf shows it: the file's word (a 32-bit one as the file holds it), for
    // MIPS64 in the big-endian field order (the symbol index in the upper 32 bits).
    std::uint64_t info;
    std::uint64_t symbol;
    unsigned type;
    // MIPS64 only: the second and third relocation types and the special symbol.
    unsigned type2 = 0, type3 = 0, ssym = 0;
    // 64-bit SPARC only: the 24 bits above the type, sign-extended.
    std::int64_t type_data = 0;
};

inline RelocationInfo decode_relocation_info(InfoLayout layout, std::uint64_t r_info) {
    const std::uint64_t symbol = r_info >> 32;
    const auto low = static_cast<std::uint32_t>(r_info);
    switch (layout) {
    case InfoLayout::elf32:
        return {symbol << 8 | (low & 0xff), symbol, low & 0xff};
    case InfoLayout::elf64:
        break;
    case InfoLayout::mips64_little: {
        // The four bytes after the symbol index, read little-endian: ssym lowest, type highest.
        const auto bytes = static_cast<std::uint32_t>(r_info >> 32);
        const std::uint32_t ordered = __builtin_bswap32(bytes);
        return {(r_info & 0xffffffff) << 32 | ordered,
                r_info & 0xffffffff,
                ordered & 0xff,
                (ordered >> 8) & 0xff,
                (ordered >> 16) & 0xff,
                ordered >> 24};
    }
    case InfoLayout::mips64_big:
        return {r_info, symbol, low & 0xff, (low >> 8) & 0xff, (low >> 16) & 0xff, low >> 24};
    case InfoLayout::sparc64: {
        RelocationInfo decoded{r_info, symbol, low & 0xff};
        const std::uint32_t data = low >> 8;
        decoded.type_data = static_cast<std::int64_t>(data ^ 0x800000) - 0x800000;
        return decoded;
    }
    }
    return {r_info, symbol, low};
}

// The MIPS64 special-symbol values (r_ssym).
inline const char *mips_special_symbol_name(unsigned ssym) {
    static const char *const names[] = {"RSS_UNDEF", "RSS_GP", "RSS_GP0", "RSS_LOC"};
    return ssym < 4 ? names[ssym] : nullptr;
}

#endif // QUENZA_DUMP_RELOCATION_INFO_HPP
