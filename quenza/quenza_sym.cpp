// Symbol table entries and symbol-information entries. The 32-bit symbol puts value and size
// before the single bytes and the section index; the 64-bit symbol puts them last.
#include "record_codec.hpp"

namespace {

// clang-format off
#define F(member, offset32, width32, offset64, width64, widen)                                     \
    QUENZA_FIELD(Elf64_Sym, member, offset32, width32, offset64, width64, widen)
constexpr Layout<Elf64_Sym, 6> sym{16, 24, {{
    //  field       Elf32    Elf64    32-bit value
    F(st_name,    0, 4,    0, 4,    Same),
    F(st_value,   4, 4,    8, 8,    Zero),
    F(st_size,    8, 4,   16, 8,    Zero),
    F(st_info,   12, 1,    4, 1,    Bytes),
    F(st_other,  13, 1,    5, 1,    Bytes),
    F(st_shndx,  14, 2,    6, 2,    Same),
}}};
#undef F

// One form in both classes.
#define F(member, offset32, width32, offset64, width64, widen)                                     \
    QUENZA_FIELD(Elf64_Syminfo, member, offset32, width32, offset64, width64, widen)
constexpr Layout<Elf64_Syminfo, 2> syminfo{4, 4, {{
    F(si_boundto, 0, 2,    0, 2,    Same),
    F(si_flags,   2, 2,    2, 2,    Same),
}}};
#undef F
// clang-format on

} // namespace

QUENZA_TABLE_OPERATIONS(Sym, sym)
QUENZA_TABLE_OPERATIONS(Syminfo, syminfo)

int quenza_count_Syms(int size) {
    return count_records<sym>(size);
}
int quenza_count_Syminfos(int size) {
    return count_records<syminfo>(size);
}
