// Dynamic section entries. The 32-bit d_tag is signed; d_un (d_val or d_ptr) is unsigned.
#include "record_codec.hpp"

namespace {

// clang-format off
#define F(member, offset32, width32, offset64, width64, widen)                                     \
    QUENZA_FIELD(Elf64_Dyn, member, offset32, width32, offset64, width64, widen)
constexpr Layout<Elf64_Dyn, 2> dyn{8, 16, {{
    //  field     Elf32    Elf64    32-bit value
    F(d_tag,    0, 4,    0, 8,    Sign),
    F(d_un,     4, 4,    8, 8,    Zero),
}}};
#undef F
// clang-format on

} // namespace

QUENZA_TABLE_OPERATIONS(Dyn, dyn)

int quenza_count_Dyns(int size) {
    return count_records<dyn>(size);
}
