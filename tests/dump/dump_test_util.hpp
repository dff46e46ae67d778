// Shared by the quenza-dump tests: running programs with a time limit, files, the corpus.
#ifndef QUENZA_DUMP_TEST_UTIL_HPP
#define QUENZA_DUMP_TEST_UTIL_HPP

#include <cstdint>
#include <string>
#include <vector>

struct RunResult {
    bool exited = false;    // ended by exit(), not by a signal or the time limit
    int status = -1;        // exit status when exited
    bool timed_out = false; // killed after the time limit
    std::string out, err;
};

// Runs argv[0] (a path) with stdout and stderr captured; stdout is dropped when keep_out is false.
// Sanitizer reports abort the program, so they show as a signal, never as exit status 1.
RunResult run(const std::vector<std::string> &argv, bool keep_out = true, int seconds = 60);

// The quenza-dump under test, and the corpus files (the list the corpus fixture writes).
std::string dump_tool();
std::vector<std::string> corpus_files();
// The first corpus file whose path ends with suffix.
std::string corpus_file(const std::string &suffix);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// A fresh directory, removed with its files when it goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Little helpers for patching ELF files in place: unsigned fields of 1 to 8 bytes.
std::uint64_t get_field(const std::string &bytes, std::size_t offset, int width, bool big);
void set_field(std::string &bytes, std::size_t offset, int width, bool big, std::uint64_t value);

// An ELF file's bytes with the places of its file-header fields, for tests that damage copies of
// real files; each test adds the places of the records it changes.
struct ElfHeaderBytes {
    std::string bytes;
    bool wide, big;

    explicit ElfHeaderBytes(const std::string &contents)
        : bytes(contents), wide(contents.at(4) == 2), big(contents.at(5) == 2) {}

    // A field: offset and width in this class.
    struct Place {
        std::size_t offset;
        int width;
    };
    Place phoff() const { return wide ? Place{32, 8} : Place{28, 4}; }
    Place shoff() const { return wide ? Place{40, 8} : Place{32, 4}; }
    Place phentsize() const { return wide ? Place{54, 2} : Place{42, 2}; }
    Place phnum() const { return wide ? Place{56, 2} : Place{44, 2}; }
    Place shentsize() const { return wide ? Place{58, 2} : Place{46, 2}; }
    Place shnum() const { return wide ? Place{60, 2} : Place{48, 2}; }
    Place shstrndx() const { return wide ? Place{62, 2} : Place{50, 2}; }

    std::uint64_t get(Place p) const { return get_field(bytes, p.offset, p.width, big); }
    void set(Place p, std::uint64_t value) { set_field(bytes, p.offset, p.width, big, value); }
};

#endif // QUENZA_DUMP_TEST_UTIL_HPP
