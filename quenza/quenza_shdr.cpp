// Section header table entries.
#include "record_codec.hpp"

namespace {

// clang-format off
#define F(member, offset32, width32, offset64, width64, widen)                                     \
    QUENZA_FIELD(Elf64_Shdr, member, offset32, width32, offset64, width64, widen)
constexpr Layout<Elf64_Shdr, 10> shdr{40, 64, {{
    //  field          Elf32    Elf64    32-bit value
    F(sh_name,       0, 4,    0, 4,    Same),
    F(sh_type,       4, 4,    4, 4,    Same),
    F(sh_flags,      8, 4,    8, 8,    Zero),
    F(sh_addr,      12, 4,   16, 8,    Zero),
    F(sh_offset,    16, 4,   24, 8,    Zero),
    F(sh_size,      20, 4,   32, 8,    Zero),
    F(sh_link,      24, 4,   40, 4,    Same),
    F(sh_info,      28, 4,   44, 4,    Same),
    F(sh_addralign, 32, 4,   48, 8,    Zero),
    F(sh_entsize,   36, 4,   56, 8,    Zero),
}}};
#undef F
// clang-format on

} // namespace

QUENZA_TABLE_OPERATIONS(Shdr, shdr)
