// Every table family in every file layout, timed against the stdio call each record costs.
//
// A case pairs one way of moving a family's records with its floor: a bare loop of one fread (or
// fwrite) of one file-form record per record over the same records of the same file. Each pair
// of passes runs back to back, in alternating order, and the case reports the median of the
// pairwise ratios. With --instructions the same passes run under callgrind instead, which counts
// instructions per record: the stable measure on a shared machine.
#include "quenza.h"
#include "record_codec.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <gelf.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

extern char **environ;

namespace {

template <typename R> struct Family {
    using Record = R;
    const char *name;
    Elf64_Word section_type;
    std::size_t size32, size64;
    int fields; // rows of its record table: what a conversion costs grows with them
    int (*read_one)(FILE *, R *);
    int (*read_table)(FILE *, R *, int);
    int (*write_one)(FILE *, const R *);
    int (*write_table)(FILE *, const R *, int);
};

// clang-format off
#define FAMILY(R, type, size32, size64, fields)                                                    \
    Family<Elf64_##R>{#R, type, size32, size64, fields, quenza_read_##R, quenza_read_##R##s,       \
                      quenza_write_##R, quenza_write_##R##s}
constexpr std::tuple families{
    //     record   section type       Elf32 Elf64 bytes, fields
    FAMILY(Shdr,    SHT_PROGBITS,      40,   64,          10),
    FAMILY(Phdr,    SHT_PROGBITS,      32,   56,           8),
    FAMILY(Sym,     SHT_SYMTAB,        16,   24,           6),
    FAMILY(Syminfo, SHT_SUNW_syminfo,   4,    4,           2),
    FAMILY(Rel,     SHT_REL,            8,   16,           2),
    FAMILY(Rela,    SHT_RELA,          12,   24,           3),
    FAMILY(Dyn,     SHT_DYNAMIC,        8,   16,           2),
};
#undef FAMILY
// clang-format on
constexpr int family_count = std::tuple_size_v<decltype(families)>;
template <std::size_t F>
using FamilyRecord = typename std::remove_cvref_t<decltype(std::get<F>(families))>::Record;

// Calls fn(std::integral_constant<F>) for the family whose index is f.
template <typename Fn> void with_family(int f, Fn &&fn) {
    [&]<std::size_t... F>(std::index_sequence<F...>) {
        ((f == static_cast<int>(F) ? fn(std::integral_constant<std::size_t, F>{}) : void()), ...);
    }
    (std::make_index_sequence<family_count>{});
}

struct FileLayout {
    const char *name;
    unsigned char elf_class, data;
};
constexpr FileLayout layouts[] = {{"ELF32LSB", ELFCLASS32, ELFDATA2LSB},
                                  {"ELF32MSB", ELFCLASS32, ELFDATA2MSB},
                                  {"ELF64LSB", ELFCLASS64, ELFDATA2LSB},
                                  {"ELF64MSB", ELFCLASS64, ELFDATA2MSB}};
constexpr int layout_count = 4;

// The ways of moving records. Each kind is measured against the floor of its direction; the
// locked floors are the bare loops with the stream lock held, to show what the lock costs.
enum Kind {
    ReadFloor,
    ReadLocked,
    ReadTable,
    ReadOne,
    Libelf, // elfutils: whole section converted in memory, then gelf_getsym per symbol
    Bulk,   // fread 4096 records at once, then the codec's conversion of each in memory
    WriteFloor,
    WriteLocked,
    WriteTable,
    WriteOne,
    KindCount
};
constexpr const char *kind_names[KindCount] = {"fread", "locked", "table",  "one",   "libelf",
                                               "bulk",  "fwrite", "locked", "table", "one"};
constexpr Kind floor_of(Kind k) {
    return k < WriteFloor ? ReadFloor : WriteFloor;
}
constexpr int sym_family = 2;
bool applies(int family, Kind k) {
    return (k != Libelf && k != Bulk) || family == sym_family;
}

constexpr int chunk_records = 4096;

// The symbol table of quenza_sym.cpp, for the bulk conversion.
// clang-format off
#define F(member, offset32, width32, offset64, width64, widen)                                     \
    QUENZA_FIELD(Elf64_Sym, member, offset32, width32, offset64, width64, widen)
constexpr Layout<Elf64_Sym, 6> sym_table{16, 24, {{
    F(st_name,    0, 4,    0, 4,    Same),
    F(st_value,   4, 4,    8, 8,    Zero),
    F(st_size,    8, 4,   16, 8,    Zero),
    F(st_info,   12, 1,    4, 1,    Bytes),
    F(st_other,  13, 1,    5, 1,    Bytes),
    F(st_shndx,  14, 2,    6, 2,    Same),
}}};
#undef F
// clang-format on

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "quenza_bench: %s\n", what.c_str());
    std::exit(2);
}

// One ELF file per layout, with one section of `records` records per family, written by the
// library itself. Record contents are pseudo-random: the conversions do not depend on them.
struct Files {
    std::filesystem::path dir;
    long records = 0;
    std::string paths[layout_count];
    long offsets[layout_count][family_count] = {};

    void make(long count) {
        char name[] = "/tmp/quenza-bench-XXXXXX";
        if (!mkdtemp(name)) fail("cannot make a temporary directory");
        dir = name;
        records = count;
        for (int l = 0; l < layout_count; ++l)
            make_file(l);
    }
    ~Files() {
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }

    void make_file(int l) {
        const bool wide = layouts[l].elf_class == ELFCLASS64;
        paths[l] = dir / (std::string(layouts[l].name) + ".o");
        FILE *f = std::fopen(paths[l].c_str(), "w+b");
        if (!f) fail("cannot create " + paths[l]);
        Elf64_Ehdr header{};
        std::memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_ident[EI_CLASS] = layouts[l].elf_class;
        header.e_ident[EI_DATA] = layouts[l].data;
        header.e_ident[EI_VERSION] = EV_CURRENT;
        header.e_type = ET_REL;
        header.e_version = EV_CURRENT;
        header.e_ehsize = wide ? 64 : 52;
        header.e_shentsize = wide ? 64 : 40;
        header.e_shnum = family_count + 1;
        if (quenza_write_Ehdr(f, &header) != 1) fail("cannot write a file header");
        Elf64_Shdr sections[family_count + 1] = {};
        long at = header.e_ehsize;
        std::uint64_t seed = 0x9e3779b97f4a7c15U;
        for (int fam = 0; fam < family_count; ++fam)
            with_family(fam, [&](auto F) {
                const auto &family = std::get<F>(families);
                const std::size_t size = wide ? family.size64 : family.size32;
                std::vector<FamilyRecord<F>> chunk(chunk_records);
                for (auto &record : chunk)
                    for (std::size_t i = 0; i < sizeof record; ++i) {
                        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
                        reinterpret_cast<unsigned char *>(&record)[i] =
                            static_cast<unsigned char>(seed);
                    }
                at = (at + 7) & ~7L;
                offsets[l][fam] = at;
                Elf64_Shdr &section = sections[fam + 1];
                section.sh_type = family.section_type;
                section.sh_offset = static_cast<Elf64_Off>(at);
                section.sh_size = records * size;
                section.sh_addralign = 8;
                section.sh_entsize = size;
                std::fseek(f, at, SEEK_SET);
                for (long left = records; left > 0; left -= chunk_records) {
                    const int n = static_cast<int>(std::min<long>(left, chunk_records));
                    if (family.write_table(f, chunk.data(), n) != n) fail("short write");
                }
                at += records * static_cast<long>(size);
            });
        header.e_shoff = static_cast<Elf64_Off>((at + 7) & ~7L);
        std::fseek(f, static_cast<long>(header.e_shoff), SEEK_SET);
        if (quenza_write_Shdrs(f, sections, family_count + 1) != family_count + 1)
            fail("cannot write the section headers");
        std::rewind(f);
        if (quenza_write_Ehdr(f, &header) != 1) fail("cannot write a file header");
        // On disk before timing starts, so no write-back runs during the passes.
        if (std::fflush(f) != 0 || fsync(fileno(f)) != 0) fail("cannot flush " + paths[l]);
        std::fclose(f);
    }
} files;

// One family's section in one layout, opened for passes. Reads go into a chunk of caller records;
// writes go to /dev/null from a chunk (file form for the floor, native for the library): stdio
// buffers and flushes each 4 KiB to it exactly as to a file, without the page-cache copy that
// would dilute the comparison.
template <std::size_t F> struct Case {
    using R = FamilyRecord<F>;
    const Family<R> &family = std::get<F>(families);
    const int layout;
    const bool wide = layouts[layout].elf_class == ELFCLASS64;
    const bool swap = layouts[layout].data != ELFDATA2LSB;
    const std::size_t size = wide ? family.size64 : family.size32;
    const long offset = files.offsets[layout][F];
    const long count = files.records;
    FILE *in = std::fopen(files.paths[layout].c_str(), "rb");
    FILE *out = std::fopen("/dev/null", "wb");
    int fd = open(files.paths[layout].c_str(), O_RDONLY);
    std::vector<R> records = std::vector<R>(chunk_records);
    std::vector<unsigned char> raw = std::vector<unsigned char>(chunk_records * size);

    explicit Case(int l) : layout(l) {
        if (!in || !out || fd < 0) fail("cannot open the benchmark files");
        if (quenza_initialize_direct(layouts[l].elf_class, layouts[l].data, EV_CURRENT) != 0)
            fail("cannot configure the codec");
        // The write sources: the section's first records in both forms.
        const int n = static_cast<int>(std::min<long>(count, chunk_records));
        std::fseek(in, offset, SEEK_SET);
        if (std::fread(raw.data(), size, n, in) != static_cast<std::size_t>(n)) fail("short read");
        std::fseek(in, offset, SEEK_SET);
        if (family.read_table(in, records.data(), n) != n) fail("short read");
    }
    ~Case() {
        std::fclose(in);
        std::fclose(out);
        close(fd);
    }
    Case(const Case &) = delete;
    Case &operator=(const Case &) = delete;

    // Moves all `count` records once; false if any record failed.
    bool pass(Kind kind) {
        if (kind < WriteFloor && std::fseek(in, offset, SEEK_SET) != 0) return false;
        FILE *stream = kind < WriteFloor ? in : out;
        Elf *elf = nullptr;
        Elf_Data *data = nullptr;
        if (kind == Libelf) {
            elf = elf_begin(fd, ELF_C_READ, nullptr);
            data = elf ? elf_getdata(elf_getscn(elf, F + 1), nullptr) : nullptr;
            if (!data) return elf_end(elf), false;
        }
        const bool locked = kind == ReadLocked || kind == WriteLocked;
        long left = count;
        while (left > 0) {
            const int n = static_cast<int>(std::min<long>(left, chunk_records));
            int done = 0;
            if (locked) flockfile(stream);
            switch (kind) {
            case ReadFloor:
            case ReadLocked:
                while (done < n && std::fread(&records[done], size, 1, stream) == 1)
                    ++done;
                break;
            case ReadTable:
                done = family.read_table(stream, records.data(), n);
                break;
            case ReadOne:
                while (done < n && family.read_one(stream, &records[done]) == 1)
                    ++done;
                break;
            case Libelf:
                if constexpr (std::is_same_v<R, GElf_Sym>)
                    while (done < n &&
                           gelf_getsym(data, static_cast<int>(count - left + done), &records[done]))
                        ++done;
                break;
            case Bulk:
                done = bulk(n);
                break;
            case WriteFloor:
            case WriteLocked:
                while (done < n && std::fwrite(&raw[done * size], size, 1, stream) == 1)
                    ++done;
                break;
            case WriteTable:
                done = family.write_table(stream, records.data(), n);
                break;
            case WriteOne:
                while (done < n && family.write_one(stream, &records[done]) == 1)
                    ++done;
                break;
            case KindCount:
                break;
            }
            if (locked) funlockfile(stream);
            if (done != n) break;
            left -= n;
        }
        if (elf) elf_end(elf);
        return left == 0;
    }

    int bulk(int n) {
        if constexpr (std::is_same_v<R, Elf64_Sym>) {
            constexpr auto fields = std::make_index_sequence<sym_table.fields.size()>{};
            const auto wanted = static_cast<std::size_t>(n);
            if (wide) {
                if (std::fread(records.data(), size, wanted, in) != wanted) return 0;
                if (swap)
                    for (int i = 0; i < n; ++i)
                        swap_fields<sym_table, 0>(bytes_of(&records[i]), fields);
            } else {
                if (std::fread(raw.data(), size, wanted, in) != wanted) return 0;
                for (int i = 0; i < n; ++i)
                    widen_fields<sym_table, 0>(&raw[i * size], bytes_of(&records[i]), swap, fields);
            }
            return n;
        }
        return 0;
    }
};

// Per record: the floors' cost, and each variant's cost and ratio to its floor.
struct Result {
    double cost[KindCount], ratio[KindCount];
    Result() { std::fill_n(cost, KindCount, NAN), std::fill_n(ratio, KindCount, NAN); }
};
std::map<std::pair<int, int>, Result> results;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t m = values.size() / 2;
    return values.size() % 2 ? values[m] : (values[m - 1] + values[m]) / 2;
}

// CPU time of this thread: on a shared machine, time spent descheduled is not counted.
double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <std::size_t F> void run_timed(benchmark::State &state, int layout, Kind kind) {
    Case<F> c(layout);
    const Kind floor = floor_of(kind);
    if (!c.pass(floor) || !c.pass(kind)) return state.SkipWithError("short pass");
    auto seconds = [&](Kind k) {
        const double start = thread_seconds();
        if (!c.pass(k)) fail("short pass");
        return thread_seconds() - start;
    };
    std::vector<double> floor_times, times, ratios;
    for (auto _ : state) {
        double f = 0, t = 0;
        if (ratios.size() % 2)
            f = seconds(floor), t = seconds(kind);
        else
            t = seconds(kind), f = seconds(floor);
        state.SetIterationTime(t);
        floor_times.push_back(f), times.push_back(t), ratios.push_back(t / f);
    }
    const double per_ns = 1e9 / static_cast<double>(c.count);
    Result &r = results[{F, layout}];
    r.cost[floor] = median(floor_times) * per_ns;
    r.cost[kind] = median(times) * per_ns;
    r.ratio[kind] = median(ratios);
    state.counters["ns/rec"] = r.cost[kind];
    state.counters["floor_ns/rec"] = r.cost[floor];
    state.counters["ratio"] = r.ratio[kind];
}

void print_summary(const char *what) {
    std::printf("\n%s per record of the bare fread/fwrite loops, and the median ratio to them\n"
                "%-8s %-9s|",
                what, "family", "layout");
    for (int k = 0; k < KindCount; ++k)
        std::printf("%s%8s", k == WriteFloor ? " |" : "", kind_names[k]);
    std::printf("\n");
    for (const auto &[key, r] : results) {
        with_family(key.first, [&](auto F) { std::printf("%-8s", std::get<F>(families).name); });
        std::printf(" %-9s|", layouts[key.second].name);
        for (int k = 0; k < KindCount; ++k) {
            const double v = k == floor_of(Kind(k)) ? r.cost[k] : r.ratio[k];
            std::printf("%s", k == WriteFloor ? " |" : "");
            if (std::isnan(v))
                std::printf("%8s", "-");
            else
                std::printf(k == floor_of(Kind(k)) ? "%8.1f" : "%8.2f", v);
        }
        std::printf("\n");
    }
}

std::string label(int family, int layout, Kind kind) {
    return std::to_string(family) + " " + std::to_string(layout) + " " + std::to_string(kind);
}

// Under callgrind: each kind once to warm up, then once between zeroed and dumped counters.
void count_instructions_child() {
    for (int fam = 0; fam < family_count; ++fam)
        for (int l = 0; l < layout_count; ++l)
            with_family(fam, [&](auto F) {
                Case<F> c(l);
                for (int k = 0; k < KindCount; ++k) {
                    if (!applies(fam, Kind(k))) continue;
                    const std::string name = label(fam, l, Kind(k));
                    if (!c.pass(Kind(k))) fail("short pass");
                    CALLGRIND_ZERO_STATS;
                    const bool ok = c.pass(Kind(k));
                    CALLGRIND_DUMP_STATS_AT(name.c_str());
                    if (!ok) fail("short pass");
                }
            });
}

// Instruction budgets that keep the costs measured above; a case over its budget means a lever
// was lost. A record already in the file form (64-bit or class-independent, host order) costs a
// settings test and the stdio call made for the caller; a table takes the lock once, so its
// records cost no more than the bare loop under the lock. A conversion is straight-line code, a
// few instructions per field of the record's table, so each field gets a fixed allowance.
constexpr double native_one_extra = 16, converting_one_extra = 28;
constexpr double table_loop_extra = 2, converting_table_extra = 6, per_field = 4;

// Prints each case over its budget; true if none is.
bool within_budgets() {
    static_assert(ReadLocked == ReadFloor + 1 && ReadTable == ReadFloor + 2 &&
                      ReadOne == ReadFloor + 3 && WriteLocked == WriteFloor + 1 &&
                      WriteTable == WriteFloor + 2 && WriteOne == WriteFloor + 3,
                  "each direction lists its floor, locked floor, table and single record in order");
    bool all = true;
    for (const auto &[key, r] : results)
        with_family(key.first, [&](auto F) {
            const auto &family = std::get<F>(families);
            const FileLayout &layout = layouts[key.second];
            const bool native = layout.data == ELFDATA2LSB &&
                                (layout.elf_class == ELFCLASS64 || family.size32 == family.size64);
            const double conversion = per_field * family.fields;
            for (const Kind floor : {ReadFloor, WriteFloor}) {
                const double one = r.cost[floor + 3], table = r.cost[floor + 2];
                const double one_budget =
                    r.cost[floor] + (native ? native_one_extra : converting_one_extra + conversion);
                const double table_budget = r.cost[floor + 1] + table_loop_extra +
                                            (native ? 0 : converting_table_extra + conversion);
                auto expect = [&](bool ok, const char *what, double cost, double budget) {
                    if (ok) return;
                    all = false;
                    std::printf("%-8s %-9s %s %s: %.1f instructions per record, over %.1f\n",
                                family.name, layout.name, floor == ReadFloor ? "read" : "write",
                                what, cost, budget);
                };
                expect(one <= one_budget, "one", one, one_budget);
                expect(table <= table_budget, "table", table, table_budget);
                expect(table < one, "table (against one)", table, one);
            }
        });
    return all;
}

// Runs this program's passes under callgrind and reads each case's dump.
int count_instructions(long records, bool check) {
    char name[] = "/tmp/quenza-callgrind-XXXXXX";
    if (!mkdtemp(name)) fail("cannot make a temporary directory");
    const std::filesystem::path dir = name;
    const std::string out = "--callgrind-out-file=" + (dir / "cg.out").string();
    const std::string count = "--records=" + std::to_string(records);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const char *argv[] = {"valgrind",   "--tool=callgrind",     "-q",          out.c_str(),
                          self.c_str(), "--instructions-child", count.c_str(), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (posix_spawnp(&pid, "valgrind", nullptr, nullptr, const_cast<char **>(argv), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::filesystem::remove_all(dir);
        fail("valgrind --tool=callgrind failed (is valgrind installed?)");
    }
    std::map<std::string, double> counted;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream dump(entry.path());
        std::string line, trigger;
        const std::string client = "desc: Trigger: Client Request: ";
        while (std::getline(dump, line)) {
            if (line.starts_with(client)) trigger = line.substr(client.size());
            if (line.starts_with("summary: ") && !trigger.empty())
                counted[trigger] = std::strtod(line.c_str() + 9, nullptr);
        }
    }
    std::filesystem::remove_all(dir);
    for (int fam = 0; fam < family_count; ++fam)
        for (int l = 0; l < layout_count; ++l) {
            Result &r = results[{fam, l}];
            for (int k = 0; k < KindCount; ++k) {
                const auto it = counted.find(label(fam, l, Kind(k)));
                if (it != counted.end()) r.cost[k] = it->second / static_cast<double>(records);
            }
            for (int k = 0; k < KindCount; ++k)
                if (k != floor_of(Kind(k))) r.ratio[k] = r.cost[k] / r.cost[floor_of(Kind(k))];
        }
    print_summary("Instructions");
    if (!check) return 0;
    if (!within_budgets()) return 1;
    std::printf("\nEvery case within its instruction budget.\n");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // Own options first; the rest go to Google Benchmark.
    long records = -1;
    int pairs = 15;
    bool instructions = false, child = false, check = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with("--records="))
            records = std::atol(arg.c_str() + 10);
        else if (arg.starts_with("--pairs="))
            pairs = std::atoi(arg.c_str() + 8);
        else if (arg == "--instructions")
            instructions = true;
        else if (arg == "--check")
            check = true;
        else if (arg == "--instructions-child")
            child = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (records < 0) records = instructions || child ? 10000 : 1L << 20;
    if (records < 1 || pairs < 1) fail("--records and --pairs must be positive");
    if (check && !instructions) fail("--check needs --instructions");
    if (instructions) return count_instructions(records, check);

    elf_version(EV_CURRENT);
    files.make(records);
    if (child) return count_instructions_child(), 0;

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (int fam = 0; fam < family_count; ++fam)
        for (int l = 0; l < layout_count; ++l)
            for (int k = 0; k < KindCount; ++k) {
                if (k == floor_of(Kind(k)) || !applies(fam, Kind(k))) continue;
                with_family(fam, [&](auto F) {
                    const std::string name = std::string(std::get<F>(families).name) + "/" +
                                             layouts[l].name + "/" +
                                             (k < WriteFloor ? "read_" : "write_") + kind_names[k];
                    benchmark::RegisterBenchmark(name.c_str(),
                                                 [l, k](benchmark::State &state) {
                                                     run_timed<decltype(F)::value>(state, l,
                                                                                   Kind(k));
                                                 })
                        ->UseManualTime()
                        ->Iterations(pairs)
                        ->Unit(benchmark::kMillisecond);
                });
            }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_summary("Nanoseconds");
    return 0;
}
