/* A C99 program (built as C++ too) using the installed library: reads the file header and the
 * section header table of the file named on the command line and prints a summary line. */
#include <quenza.h>

#include <stdio.h>

int main(int argc, char **argv) {
    Elf64_Ehdr header;
    Elf64_Shdr sections[256];
    FILE *file;
    int read;
    int count;
    if (argc != 2) return 2;
    file = fopen(argv[1], "rb");
    if (file == NULL) return 2;
    if (quenza_read_Ehdr(file, &header) != 1) return 1;
    count = header.e_shnum < 256 ? header.e_shnum : 256;
    if (fseek(file, (long)header.e_shoff, SEEK_SET) != 0) return 1;
    read = quenza_read_Shdrs(file, sections, count);
    printf("class %u machine %u sections %d of %d, last type %u\n", header.e_ident[EI_CLASS],
           header.e_machine, read, header.e_shnum, read > 0 ? sections[read - 1].sh_type : 0u);
    fclose(file);
    return read == count ? 0 : 1;
}
