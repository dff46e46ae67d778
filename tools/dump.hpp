// quenza-dump's reading and printing, as a library: the command-line tool, the tests and the
// fuzz target all go through quenza_dump_stream.
#ifndef QUENZA_DUMP_HPP
#define QUENZA_DUMP_HPP

#include <cstdio>
#include <string>
#include <vector>

// A section named by its index or its name, for the hex (-x) and string (-p) dumps.
struct SectionDump {
    std::string section; // a name, or the decimal index when by_index
    bool by_index = false;
    bool strings = false; // -p; else -x
};

// What to show; each flag matches one of the tool's options (-h -l -S -s -r -d -V -n -g -I).
struct DumpOptions {
    bool header = true, segments = true, sections = true, symbols = true, relocations = true,
         dynamic = true, versions = true;
    bool json = false;
    bool notes = true, groups = true, histogram = true;
    bool dynamic_symbols_only = false; // --dyn-syms: of the symbol tables, only the dynamic one
    std::vector<SectionDump> dumps;
    // Thin archives name their members as files beside the archive; these are opened only when
    // this is set (the fuzz target leaves it off).
    bool open_thin_members = true;
};

// Dumps one ELF file from a seekable stream `in`; `name` labels messages; output to `out`,
// problems to `err`.
// Returns 0 when the file was read without any problem, 1 otherwise. With json, writes one
// complete JSON value for this file.
//
// `out` or `err` may be null to drop that output. Offsets count from the start of the stream.
// Its size is taken once (by seeking to its end), and every offset, size and count in the file is
// checked against it before anything is allocated or read. The library's settings are configured
// from this file's header, for the whole process.
//
// A static archive (ar format, also GNU thin archives) has each ELF member dumped in turn, in text
// after a line "File: ARCHIVE(MEMBER)", in JSON as one object per member (with "member"), the
// objects separated by commas as elements of the caller's array.
int quenza_dump_stream(FILE *in, const char *name, const DumpOptions &options, FILE *out,
                       FILE *err);

#endif // QUENZA_DUMP_HPP
