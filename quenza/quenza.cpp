// Codec settings, the two ways of configuring them, and single scalar fields.
#include "record_codec.hpp"

unsigned char _quenza_current_class = 0;
unsigned char _quenza_current_data = 0;
unsigned char _quenza_current_version = 0;
unsigned char _quenza_native_data = 0;

namespace {

constexpr unsigned char elf_magic[4] = {ELFMAG0, ELFMAG1, ELFMAG2, ELFMAG3};

// Scalars are one-field records. Addr and Off follow the class; the others have one width.
constexpr Layout<Elf64_Half, 1> half{2, 2, {{{0, 2, 0, 2, 0, 2, Widen::Same}}}};
constexpr Layout<Elf64_Word, 1> word{4, 4, {{{0, 4, 0, 4, 0, 4, Widen::Same}}}};
constexpr Layout<Elf64_Sword, 1> sword{4, 4, {{{0, 4, 0, 4, 0, 4, Widen::Same}}}};
constexpr Layout<Elf64_Xword, 1> xword{8, 8, {{{0, 8, 0, 8, 0, 8, Widen::Same}}}};
constexpr Layout<Elf64_Sxword, 1> sxword{8, 8, {{{0, 8, 0, 8, 0, 8, Widen::Same}}}};
constexpr Layout<Elf64_Addr, 1> addr{4, 8, {{{0, 8, 0, 4, 0, 8, Widen::Zero}}}};
constexpr Layout<Elf64_Off, 1> off{4, 8, {{{0, 8, 0, 4, 0, 8, Widen::Zero}}}};
constexpr Layout<Elf64_Versym, 1> versym{2, 2, {{{0, 2, 0, 2, 0, 2, Widen::Same}}}};

} // namespace

int quenza_initialize_direct(unsigned char elf_class, unsigned char data, unsigned char version) {
    // The host encoding is fixed by the first call that gets this far; the library is built for
    // little-endian x86-64 hosts only.
    if (_quenza_native_data == 0) _quenza_native_data = ELFDATA2LSB;
    if (elf_class != ELFCLASS32 && elf_class != ELFCLASS64) return QUENZA_BAD_CLASS;
    _quenza_current_class = elf_class;
    if (data != ELFDATA2LSB && data != ELFDATA2MSB) return QUENZA_BAD_DATA;
    _quenza_current_data = data;
    _quenza_current_version = version;
    return version == EV_CURRENT ? 0 : QUENZA_BAD_VERSION;
}

int quenza_initialize_ident(const unsigned char *ident) {
    if (std::memcmp(ident, elf_magic, sizeof elf_magic) != 0) return QUENZA_BAD_MAGIC;
    return quenza_initialize_direct(ident[EI_CLASS], ident[EI_DATA], ident[EI_VERSION]);
}

void quenza_getsettings(unsigned char *elf_class, unsigned char *data, unsigned char *version) {
    if (elf_class != nullptr) *elf_class = _quenza_current_class;
    if (data != nullptr) *data = _quenza_current_data;
    if (version != nullptr) *version = _quenza_current_version;
}

QUENZA_RECORD_OPERATIONS(Half, half)
QUENZA_RECORD_OPERATIONS(Word, word)
QUENZA_RECORD_OPERATIONS(Sword, sword)
QUENZA_RECORD_OPERATIONS(Xword, xword)
QUENZA_RECORD_OPERATIONS(Sxword, sxword)
QUENZA_RECORD_OPERATIONS(Addr, addr)
QUENZA_RECORD_OPERATIONS(Off, off)
QUENZA_RECORD_OPERATIONS(Versym, versym)
