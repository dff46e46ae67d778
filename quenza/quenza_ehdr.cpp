// The ELF file header. Reading or writing it configures the codec for the rest of the file.
#include "record_codec.hpp"

namespace {

// clang-format off
#define F(member, offset32, width32, offset64, width64, widen)                                     \
    QUENZA_FIELD(Elf64_Ehdr, member, offset32, width32, offset64, width64, widen)
constexpr Layout<Elf64_Ehdr, 14> ehdr{52, 64, {{
    //  field         Elf32     Elf64    32-bit value
    F(e_ident,       0, 16,    0, 16,   Bytes),
    F(e_type,       16, 2,    16, 2,    Same),
    F(e_machine,    18, 2,    18, 2,    Same),
    F(e_version,    20, 4,    20, 4,    Same),
    F(e_entry,      24, 4,    24, 8,    Zero),
    F(e_phoff,      28, 4,    32, 8,    Zero),
    F(e_shoff,      32, 4,    40, 8,    Zero),
    F(e_flags,      36, 4,    48, 4,    Same),
    F(e_ehsize,     40, 2,    52, 2,    Same),
    F(e_phentsize,  42, 2,    54, 2,    Same),
    F(e_phnum,      44, 2,    56, 2,    Same),
    F(e_shentsize,  46, 2,    58, 2,    Same),
    F(e_shnum,      48, 2,    60, 2,    Same),
    F(e_shstrndx,   50, 2,    62, 2,    Same),
}}};
#undef F
// clang-format on

// Everything after e_ident, read once the identification has chosen the file form.
constexpr std::size_t after_ident = 1;

} // namespace

int quenza_read_Ehdr(FILE *stream, Elf64_Ehdr *header) {
    if (fread(header->e_ident, EI_NIDENT, 1, stream) != 1) return 0;
    const int accepted = quenza_initialize_ident(header->e_ident);
    // Any rejection (a bad version too, though it leaves that file's form configured) stops
    // here, with the stream just past the identification.
    if (accepted < 0) return accepted;
    return read_record<ehdr, after_ident>(stream, header, current_mode<ehdr>());
}

int quenza_write_Ehdr(FILE *stream, const Elf64_Ehdr *header) {
    if (quenza_initialize_ident(header->e_ident) != 0) return 0;
    return write_record<ehdr>(stream, header, current_mode<ehdr>());
}
