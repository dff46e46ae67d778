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

int quenza_read_Verdef(FILE *stream, Elf64_Verdef *record) {
    return read_one<verdef>(stream, record);
}
int quenza_read_Verdaux(FILE *stream, Elf64_Verdaux *record) {
    return read_one<verdaux>(stream, record);
}
int quenza_read_Verneed(FILE *stream, Elf64_Verneed *record) {
    return read_one<verneed>(stream, record);
}
int quenza_read_Vernaux(FILE *stream, Elf64_Vernaux *record) {
    return read_one<vernaux>(stream, record);
}
int quenza_write_Verdef(FILE *stream, const Elf64_Verdef *record) {
    return write_one<verdef>(stream, record);
}
int quenza_write_Verdaux(FILE *stream, const Elf64_Verdaux *record) {
    return write_one<verdaux>(stream, record);
}
int quenza_write_Verneed(FILE *stream, const Elf64_Verneed *record) {
    return write_one<verneed>(stream, record);
}
int quenza_write_Vernaux(FILE *stream, const Elf64_Vernaux *record) {
    return write_one<vernaux>(stream, record);
}
