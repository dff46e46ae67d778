/*
 * quenza: read and write the records of ELF files through stdio streams.
 *
 * Every record is handed in and out in the 64-bit layout of <elf.h> (Elf64_Ehdr, Elf64_Shdr, ...)
 * in host byte order, whatever the file's class and data encoding. The file form (Elf32 or Elf64
 * layout, either byte order) is chosen by four process-wide settings bytes, which the
 * initialisation operations and the file-header operations set.
 *
 * Conventions shared by every operation:
 *  - The caller opens, positions and closes the stream (binary mode). The library never seeks;
 *    each record is one fread or fwrite of the whole file-form record at the current position.
 *  - Single-record operations return the stdio item count: 1 on success, 0 on end of file or an
 *    I/O error. The stream's end-of-file and error indicators are left as stdio set them.
 *  - A record is byte-swapped exactly when _quenza_current_data differs from _quenza_native_data.
 *  - The 64-bit file form is selected when _quenza_current_class is 2; any other value, 0 (never
 *    initialised) included, selects the 32-bit file form.
 *  - Reading a 32-bit file widens: addresses, offsets, sizes and flags are zero-extended, r_addend
 *    and d_tag are sign-extended, r_info is repacked into the ELF64_R_INFO form.
 *  - Writing a 32-bit file narrows: every 64-bit field keeps its low 32 bits, without any range
 *    check or error (a sign-extended 32-bit address read earlier writes back unchanged). r_info is
 *    repacked as (symbol << 8) + (type & 0xff), so a symbol index of 2^24 or more loses its high
 *    bits.
 *  - After a failed read, a record whose file form is the native layout (64-bit class, and the
 *    class-independent Syminfo and version records) may hold part of the raw, unswapped bytes;
 *    a record that needed conversion (32-bit class) is left unchanged.
 *  - Table operations (plural names) take a signed element count. A count of 0 or less returns 0
 *    and does no I/O. Otherwise the elements are processed in order, each exactly as the
 *    single-record operation does, until one fails; the result is the number of complete
 *    elements. Nothing after a failed element is touched.
 *  - Counting operations turn a section size in bytes into a whole number of records of the
 *    current file form (the remainder is dropped). A negative size counts 0 records.
 *  - Nothing allocates, prints, sets errno or aborts. The settings are unsynchronised globals:
 *    process one file layout at a time.
 */
#ifndef QUENZA_H
#define QUENZA_H

#include <elf.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Codec settings; all start at 0. Class: 1 ELFCLASS32, 2 ELFCLASS64. Data: 1 ELFDATA2LSB,
 * 2 ELFDATA2MSB. Version: the EI_VERSION byte last given to an initialisation that got past the
 * data check. Native data: the host encoding (1), set by the first initialisation that gets past
 * the magic check, never changed again.
 * They are global symbols of quenza.o with hidden visibility, so that position-independent code
 * reaches them directly rather than through the GOT: a shared object built from the objects keeps
 * its own settings and does not export them. */
#if defined(__GNUC__)
#define QUENZA_SETTINGS_VISIBILITY __attribute__((visibility("hidden")))
#else
#define QUENZA_SETTINGS_VISIBILITY
#endif
extern QUENZA_SETTINGS_VISIBILITY unsigned char _quenza_current_class;
extern QUENZA_SETTINGS_VISIBILITY unsigned char _quenza_current_data;
extern QUENZA_SETTINGS_VISIBILITY unsigned char _quenza_current_version;
extern QUENZA_SETTINGS_VISIBILITY unsigned char _quenza_native_data;

/* Initialisation results besides 0 (accepted; version 1). */
#define QUENZA_BAD_MAGIC (-1)   /* e_ident does not start with 0x7f 'E' 'L' 'F'; nothing changed */
#define QUENZA_BAD_CLASS (-4)   /* class neither 1 nor 2; only the host encoding may change */
#define QUENZA_BAD_DATA (-5)    /* data neither 1 nor 2; the new class stays stored */
#define QUENZA_BAD_VERSION (-6) /* version not 1; the new class, data and version stay in force */

/* Configure from class, data and version bytes. Returns 0, -4, -5 or -6. */
int quenza_initialize_direct(unsigned char elf_class, unsigned char data, unsigned char version);
/* Configure from e_ident bytes 0 to 6. Returns 0, -1, -4, -5 or -6. */
int quenza_initialize_ident(const unsigned char *ident);
/* Store the current class, data and version bytes where the pointers are not null. */
void quenza_getsettings(unsigned char *elf_class, unsigned char *data, unsigned char *version);

/* Scalar fields, each a one-field record. Addr and Off are 4 bytes in the 32-bit class and 8 in the
 * 64-bit class; the others have one width in both classes (Half 2, Word 4, Sword 4, Xword 8, Sxword
 * 8, Versym 2). */
int quenza_read_Half(FILE *stream, Elf64_Half *record);
int quenza_read_Word(FILE *stream, Elf64_Word *record);
int quenza_read_Sword(FILE *stream, Elf64_Sword *record);
int quenza_read_Xword(FILE *stream, Elf64_Xword *record);
int quenza_read_Sxword(FILE *stream, Elf64_Sxword *record);
int quenza_read_Addr(FILE *stream, Elf64_Addr *record);
int quenza_read_Off(FILE *stream, Elf64_Off *record);
int quenza_read_Versym(FILE *stream, Elf64_Versym *record);
int quenza_write_Half(FILE *stream, const Elf64_Half *record);
int quenza_write_Word(FILE *stream, const Elf64_Word *record);
int quenza_write_Sword(FILE *stream, const Elf64_Sword *record);
int quenza_write_Xword(FILE *stream, const Elf64_Xword *record);
int quenza_write_Sxword(FILE *stream, const Elf64_Sxword *record);
int quenza_write_Addr(FILE *stream, const Elf64_Addr *record);
int quenza_write_Off(FILE *stream, const Elf64_Off *record);
int quenza_write_Versym(FILE *stream, const Elf64_Versym *record);

/* File header. Reading takes e_ident first (one 16-byte item), configures the settings from it,
 * then reads the rest (a second item). Returns 1, 0 on a short read, or the negative result of
 * quenza_initialize_ident; after a bad identification the stream stands 16 bytes further on.
 * Writing configures the settings from the header's own e_ident and writes nothing (returns 0)
 * unless that identification is fully accepted. */
int quenza_read_Ehdr(FILE *stream, Elf64_Ehdr *header);
int quenza_write_Ehdr(FILE *stream, const Elf64_Ehdr *header);

/* Section headers. */
int quenza_read_Shdr(FILE *stream, Elf64_Shdr *record);
int quenza_read_Shdrs(FILE *stream, Elf64_Shdr *records, int count);
int quenza_write_Shdr(FILE *stream, const Elf64_Shdr *record);
int quenza_write_Shdrs(FILE *stream, const Elf64_Shdr *records, int count);

/* Program headers (p_flags sits at offset 24 in the 32-bit form and 4 in the 64-bit form). */
int quenza_read_Phdr(FILE *stream, Elf64_Phdr *record);
int quenza_read_Phdrs(FILE *stream, Elf64_Phdr *records, int count);
int quenza_write_Phdr(FILE *stream, const Elf64_Phdr *record);
int quenza_write_Phdrs(FILE *stream, const Elf64_Phdr *records, int count);

/* Symbols and symbol information. */
int quenza_read_Sym(FILE *stream, Elf64_Sym *record);
int quenza_read_Syms(FILE *stream, Elf64_Sym *records, int count);
int quenza_write_Sym(FILE *stream, const Elf64_Sym *record);
int quenza_write_Syms(FILE *stream, const Elf64_Sym *records, int count);
int quenza_read_Syminfo(FILE *stream, Elf64_Syminfo *record);
int quenza_read_Syminfos(FILE *stream, Elf64_Syminfo *records, int count);
int quenza_write_Syminfo(FILE *stream, const Elf64_Syminfo *record);
int quenza_write_Syminfos(FILE *stream, const Elf64_Syminfo *records, int count);
/* Whole symbols in size bytes: size / 16 (32-bit class) or size / 24 (64-bit class). */
int quenza_count_Syms(int size);
/* Whole symbol-information entries in size bytes: size / 4 in both classes. */
int quenza_count_Syminfos(int size);

/* Relocations. */
int quenza_read_Rel(FILE *stream, Elf64_Rel *record);
int quenza_read_Rels(FILE *stream, Elf64_Rel *records, int count);
int quenza_write_Rel(FILE *stream, const Elf64_Rel *record);
int quenza_write_Rels(FILE *stream, const Elf64_Rel *records, int count);
int quenza_read_Rela(FILE *stream, Elf64_Rela *record);
int quenza_read_Relas(FILE *stream, Elf64_Rela *records, int count);
int quenza_write_Rela(FILE *stream, const Elf64_Rela *record);
int quenza_write_Relas(FILE *stream, const Elf64_Rela *records, int count);

/* Dynamic entries. Tables do not stop at DT_NULL: the caller chooses the count. */
int quenza_read_Dyn(FILE *stream, Elf64_Dyn *record);
int quenza_read_Dyns(FILE *stream, Elf64_Dyn *records, int count);
int quenza_write_Dyn(FILE *stream, const Elf64_Dyn *record);
int quenza_write_Dyns(FILE *stream, const Elf64_Dyn *records, int count);
/* Whole dynamic entries in size bytes: size / 8 (32-bit class) or size / 16 (64-bit class). */
int quenza_count_Dyns(int size);

/* Symbol-version records: one layout in both classes, so only the data encoding matters. The
 * caller follows the vd_aux/vd_next/vn_aux/vn_next/vda_next/vna_next links and seeks. */
int quenza_read_Verdef(FILE *stream, Elf64_Verdef *record);
int quenza_read_Verdaux(FILE *stream, Elf64_Verdaux *record);
int quenza_read_Verneed(FILE *stream, Elf64_Verneed *record);
int quenza_read_Vernaux(FILE *stream, Elf64_Vernaux *record);
int quenza_write_Verdef(FILE *stream, const Elf64_Verdef *record);
int quenza_write_Verdaux(FILE *stream, const Elf64_Verdaux *record);
int quenza_write_Verneed(FILE *stream, const Elf64_Verneed *record);
int quenza_write_Vernaux(FILE *stream, const Elf64_Vernaux *record);

#ifdef __cplusplus
}
#endif

#endif /* QUENZA_H */
