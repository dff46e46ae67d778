// Symbol-version records. They have one layout in both classes, so only the data encoding
// matters; following the chains between them is the caller's work.
#include "record_codec.hpp"

namespace {

// clang-format off
#define F(member, offset, width)                                                                   \
    QUENZA_FIELD(Elf64_Verdef, member, offset, width, offset, width, Same)
constexpr Layout<Elf64_Verdef, 7> verdef{20, 20, {{
    F(vd_version,  0, 2),
    F(vd_flags,    2, 2),
    F(vd_ndx,      4, 2),
    F(vd_cnt,      6, 2),
    F(vd_hash,     8, 4),
    F(vd_aux,     12, 4),
    F(vd_next,    16, 4),
}}};
#undef F

#define F(member, offset, width)                                                                   \
    QUENZA_FIELD(Elf64_Verdaux, member, offset, width, offset, width, Same)
constexpr Layout<Elf64_Verdaux, 2> verdaux{8, 8, {{
    F(vda_name,    0, 4),
    F(vda_next,    4, 4),
}}};
#undef F

#define F(member, offset, width)                                                                   \
    QUENZA_FIELD(Elf64_Verneed, member, offset, width, offset, width, Same)
constexpr Layout<Elf64_Verneed, 5> verneed{16, 16, {{
    F(vn_version,  0, 2),
    F(vn_cnt,      2, 2),
    F(vn_file,     4, 4),
    F(vn_aux,      8, 4),
    F(vn_next,    12, 4),
}}};
#undef F

#define F(member, offset, width)                                                                   \
    QUENZA_FIELD(Elf64_Vernaux, member, offset, width, offset, width, Same)
constexpr Layout<Elf64_Vernaux, 5> vernaux{16, 16, {{
    F(vna_hash,    0, 4),
    F(vna_flags,   4, 2),
    F(vna_other,   6, 2),
    F(vna_name,    8, 4),
    F(vna_next,   12, 4),
}}};
#undef F
// clang-format on

} // namespace

QUENZA_RECORD_OPERATIONS(Verdef, verdef)
QUENZA_RECORD_OPERATIONS(Verdaux, verdaux)
QUENZA_RECORD_OPERATIONS(Verneed, verneed)
QUENZA_RECORD_OPERATIONS(Vernaux, vernaux)
