// Program header table entries. The classes order the fields differently: p_flags follows
// p_memsz in the 32-bit form and p_type in the 64-bit form.
#include "record_codec.hpp"

namespace {

// clang-format off
#define F(member, offset32, width32, offset64, width64, widen)                                     \
    QUENZA_FIELD(Elf64_Phdr, member, offset32, width32, offset64, width64, widen)
constexpr Layout<Elf64_Phdr, 8> phdr{32, 56, {{
    //  field       Elf32    Elf64    32-bit value
    F(p_type,     0, 4,    0, 4,    Same),
    F(p_flags,   24, 4,    4, 4,    Same),
    F(p_offset,   4, 4,    8, 8,    Zero),
    F(p_vaddr,    8, 4,   16, 8,    Zero),
    F(p_paddr,   12, 4,   24, 8,    Zero),
    F(p_filesz,  16, 4,   32, 8,    Zero),
    F(p_memsz,   20, 4,   40, 8,    Zero),
    F(p_align,   28, 4,   48, 8,    Zero),
}}};
#undef F
// clang-format on

} // namespace

QUENZA_TABLE_OPERATIONS(Phdr, phdr)
