// quenza-dump's reading and printing, as a library: the command-line tool, the tests and the
// fuzz target all go through quenza_dump_stream.
#ifndef QUENZA_DUMP_HPP
#define QUENZA_DUMP_HPP

#include <cstdio>

// What to show; each flag matches one of the tool's options (-h -l -S -s -r -d -V).
struct DumpOptions {
    bool header = true, segments = true, sections = true, symbols = true, relocations = true,
         dynamic = true, versions = true;
    bool json = false;
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
int quenza_dump_stream(FILE *in, const char *name, const DumpOptions &options, FILE *out,
                       FILE *err);

#endif // QUENZA_DUMP_HPP
