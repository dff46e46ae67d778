/* Loads the plugin with dlopen and has it summarise each file named after it, one line each. The
 * host links the library as well and keeps its own settings (32-bit big-endian) throughout: the
 * plugin's copy of the library is its own. */
#include <quenza.h>

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

typedef int summarize_fn(const char *path, char *text, int size);

int main(int argc, char **argv) {
    void *plugin;
    void *symbol;
    summarize_fn *summarize;
    unsigned char elf_class, data, version;
    char text[256];
    if (argc < 3) return 2;
    if (quenza_initialize_direct(ELFCLASS32, ELFDATA2MSB, EV_CURRENT) != 0) return 2;
    plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    symbol = dlsym(plugin, "plugin_summarize");
    if (symbol == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    memcpy(&summarize, &symbol, sizeof summarize);
    for (int i = 2; i < argc; i++) {
        if (summarize(argv[i], text, (int)sizeof text) != 0) {
            fprintf(stderr, "%s: plugin failed\n", argv[i]);
            return 1;
        }
        printf("%s\n", text);
        quenza_getsettings(&elf_class, &data, &version);
        if (elf_class != ELFCLASS32 || data != ELFDATA2MSB) {
            fprintf(stderr, "the plugin changed the host's settings\n");
            return 1;
        }
    }
    dlclose(plugin);
    return 0;
}
