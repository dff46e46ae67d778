/* Settings in a fresh process, before and right after the first initialisation. Each scenario
 * runs in a process of its own (the settings are process-wide and only ever start at zero); the
 * program is plain C99, linked from the unit objects, so it also proves the C interface. */
#include "quenza.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition);                        \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

static unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};

static void check_settings(int elf_class, int data, int version, int native) {
    unsigned char c = 0xee, d = 0xee, v = 0xee;
    quenza_getsettings(&c, &d, &v);
    CHECK(c == elf_class && d == data && v == version);
    CHECK(_quenza_native_data == native);
}

/* What a Half and an Addr read from 01 02 03 04 05 06 07 08 in the current settings. */
static void read_sample(Elf64_Half *half, Elf64_Addr *addr, long *addr_width) {
    FILE *stream = fmemopen(eight, sizeof eight, "rb");
    CHECK(quenza_read_Half(stream, half) == 1);
    rewind(stream);
    CHECK(quenza_read_Addr(stream, addr) == 1);
    *addr_width = ftell(stream);
    fclose(stream);
}

int main(int argc, char **argv) {
    Elf64_Half half = 0;
    Elf64_Addr addr = 0;
    long width = 0;
    const char *scenario = argc > 1 ? argv[1] : "";
    unsigned char ident[16] = {0x7f, 'E', 'L', 'F', 2, 2, 1};

    if (strcmp(scenario, "untouched") == 0) {
        /* Class 0 selects the 32-bit forms; both encodings 0, so nothing is swapped. */
        check_settings(0, 0, 0, 0);
        read_sample(&half, &addr, &width);
        CHECK(half == 0x0201 && addr == 0x04030201u && width == 4);
    } else if (strcmp(scenario, "first_bad_class") == 0) {
        /* The host encoding is fixed before the class check; data stays 0, so every later
         * multi-byte field is swapped until an initialisation stores a data encoding. */
        CHECK(quenza_initialize_direct(3, 1, 1) == -4);
        check_settings(0, 0, 0, 1);
        read_sample(&half, &addr, &width);
        CHECK(half == 0x0102 && addr == 0x01020304u && width == 4);
    } else if (strcmp(scenario, "first_bad_data") == 0) {
        CHECK(quenza_initialize_direct(2, 0, 1) == -5);
        check_settings(2, 0, 0, 1);
        read_sample(&half, &addr, &width);
        CHECK(half == 0x0102 && addr == 0x0102030405060708ull && width == 8);
    } else if (strcmp(scenario, "first_bad_magic") == 0) {
        /* A wrong magic changes nothing, not even the host encoding. */
        ident[3] = 'G';
        CHECK(quenza_initialize_ident(ident) == -1);
        check_settings(0, 0, 0, 0);
        read_sample(&half, &addr, &width);
        CHECK(half == 0x0201 && width == 4);
    } else if (strcmp(scenario, "first_ident") == 0) {
        CHECK(quenza_initialize_ident(ident) == 0);
        check_settings(2, 2, 1, 1);
        read_sample(&half, &addr, &width);
        CHECK(half == 0x0102 && addr == 0x0102030405060708ull && width == 8);
    } else {
        fprintf(stderr, "unknown scenario '%s'\n", scenario);
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
