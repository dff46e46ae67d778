// Relocation entries without (REL) and with (RELA) addend. r_info is repacked between the
// classes' symbol/type splits; the 32-bit addend is signed.
#include "record_codec.hpp"

namespace {

// clang-format off
#define F(member, offset32, width32, offset64, width64, widen)                                     \
    QUENZA_FIELD(Elf64_Rel, member, offset32, width32, offset64, width64, widen)
constexpr Layout<Elf64_Rel, 2> rel{8, 16, {{
    //  field       Elf32    Elf64    32-bit value
    F(r_offset,   0, 4,    0, 8,    Zero),
    F(r_info,     4, 4,    8, 8,    RelInfo),
}}};
#undef F

#define F(member, offset32, width32, offset64, width64, widen)                                     \
    QUENZA_FIELD(Elf64_Rela, member, offset32, width32, offset64, width64, widen)
constexpr Layout<Elf64_Rela, 3> rela{12, 24, {{
    F(r_offset,   0, 4,    0, 8,    Zero),
    F(r_info,     4, 4,    8, 8,    RelInfo),
    F(r_addend,   8, 4,   16, 8,    Sign),
}}};
#undef F
// clang-format on

} // namespace

QUENZA_TABLE_OPERATIONS(Rel, rel)
QUENZA_TABLE_OPERATIONS(Rela, rela)
