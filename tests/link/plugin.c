/* A shared object built from the installed archive, as a plugin or a language binding is:
 * summarises the ELF file at a path in one line. */
#include <quenza.h>

#include <stdio.h>

int plugin_summarize(const char *path, char *text, int size) {
    Elf64_Ehdr header;
    Elf64_Shdr sections[256];
    FILE *file = fopen(path, "rb");
    int count;
    int read;
    if (file == NULL) return -1;
    if (quenza_read_Ehdr(file, &header) != 1 || fseek(file, (long)header.e_shoff, SEEK_SET) != 0) {
        fclose(file);
        return -1;
    }
    count = header.e_shnum < 256 ? header.e_shnum : 256;
    read = quenza_read_Shdrs(file, sections, count);
    fclose(file);
    snprintf(text, (size_t)size, "%s %s entry 0x%llx sections %d of %d",
             header.e_ident[EI_CLASS] == ELFCLASS64 ? "ELF64" : "ELF32",
             header.e_ident[EI_DATA] == ELFDATA2MSB ? "big" : "little",
             (unsigned long long)header.e_entry, read, header.e_shnum);
    return read == count ? 0 : -1;
}
