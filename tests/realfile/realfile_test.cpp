// The library on real files of all four layouts, against independent readers: binutils readelf
// for the file header, elfutils libelf (gelf) for every record family, and byte-exact write-back
// in the file's own byte order and in the opposite one.
#include "quenza.h"

#include <gelf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <ranges>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using File = std::unique_ptr<FILE, int (*)(FILE *)>;
// Records compared, by layout ("32-bit LE", ...) and then by family.
using Tally = std::map<std::string, std::map<std::string, std::size_t>>;

// The corpus and the assembled objects, one path a line each.
std::vector<std::string> corpus() {
    std::vector<std::string> paths;
    for (const char *list : {QUENZA_CORPUS_LIST, REALFILE_OBJECT_LIST}) {
        std::ifstream in(list);
        EXPECT_TRUE(in) << list;
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) paths.push_back(line);
    }
    return paths;
}

File open_file(const std::string &path) {
    return File(std::fopen(path.c_str(), "rb"), std::fclose);
}

Bytes contents(FILE *f) {
    std::fflush(f);
    std::fseek(f, 0, SEEK_END);
    Bytes bytes(static_cast<std::size_t>(std::ftell(f)));
    std::rewind(f);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
    return bytes;
}

File temp_file(const Bytes &bytes) {
    File f(std::tmpfile(), std::fclose);
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f.get()), bytes.size());
    std::fflush(f.get());
    return f;
}

void seek(FILE *f, Elf64_Off at) {
    EXPECT_EQ(fseeko(f, static_cast<off_t>(at), SEEK_SET), 0);
}

std::string layout_name(const Elf64_Ehdr &h) {
    return std::string(h.e_ident[EI_CLASS] == ELFCLASS64 ? "64" : "32") +
           (h.e_ident[EI_DATA] == ELFDATA2MSB ? "-bit BE" : "-bit LE");
}

// A version record and its offset inside its section.
template <class T> struct Placed {
    Elf64_Off at;
    T rec;
};

// One section header and, for a section of one of our families, its records.
struct Section {
    Elf64_Shdr hdr{};
    std::vector<Elf64_Sym> syms;
    std::vector<Elf64_Rel> rels;
    std::vector<Elf64_Rela> relas;
    std::vector<Elf64_Dyn> dyns;
    std::vector<Elf64_Syminfo> syminfos;
    std::vector<Elf64_Versym> versyms;
    std::vector<Placed<Elf64_Verdef>> verdefs;
    std::vector<Placed<Elf64_Verdaux>> verdauxs;
    std::vector<Placed<Elf64_Verneed>> verneeds;
    std::vector<Placed<Elf64_Vernaux>> vernauxs;
};

// Every record of our families in one file, as one reader decoded them.
struct Image {
    Elf64_Ehdr ehdr{};
    std::vector<Elf64_Phdr> phdrs;
    std::vector<Section> sections;
};

constexpr std::array<Elf64_Word, 9> family_types{SHT_SYMTAB,     SHT_DYNSYM,     SHT_REL,
                                                 SHT_RELA,       SHT_DYNAMIC,    SHT_SUNW_syminfo,
                                                 SHT_GNU_versym, SHT_GNU_verdef, SHT_GNU_verneed};
bool ours(Elf64_Word type) {
    return std::ranges::find(family_types, type) != family_types.end();
}

// Every field of a record as a printable, comparable tuple.
// clang-format off
auto fields(const Elf64_Ehdr &h) {
    return std::tuple(std::to_array(h.e_ident), h.e_type, h.e_machine, h.e_version, h.e_entry,
                      h.e_phoff, h.e_shoff, h.e_flags, h.e_ehsize, h.e_phentsize, h.e_phnum,
                      h.e_shentsize, h.e_shnum, h.e_shstrndx);
}
auto fields(const Elf64_Phdr &p) {
    return std::tuple(p.p_type, p.p_flags, p.p_offset, p.p_vaddr, p.p_paddr, p.p_filesz, p.p_memsz,
                      p.p_align);
}
auto fields(const Elf64_Shdr &s) {
    return std::tuple(s.sh_name, s.sh_type, s.sh_flags, s.sh_addr, s.sh_offset, s.sh_size,
                      s.sh_link, s.sh_info, s.sh_addralign, s.sh_entsize);
}
auto fields(const Elf64_Sym &s) {
    return std::tuple(s.st_name, unsigned{s.st_info}, unsigned{s.st_other}, s.st_shndx, s.st_value,
                      s.st_size);
}
auto fields(const Elf64_Rel &r) { return std::tuple(r.r_offset, r.r_info); }
auto fields(const Elf64_Rela &r) { return std::tuple(r.r_offset, r.r_info, r.r_addend); }
auto fields(const Elf64_Dyn &d) { return std::tuple(d.d_tag, d.d_un.d_val); }
auto fields(const Elf64_Syminfo &s) { return std::tuple(s.si_boundto, s.si_flags); }
auto fields(Elf64_Versym v) { return std::tuple(v); }
auto fields(const Elf64_Verdef &d) {
    return std::tuple(d.vd_version, d.vd_flags, d.vd_ndx, d.vd_cnt, d.vd_hash, d.vd_aux, d.vd_next);
}
auto fields(const Elf64_Verdaux &a) { return std::tuple(a.vda_name, a.vda_next); }
auto fields(const Elf64_Verneed &n) {
    return std::tuple(n.vn_version, n.vn_cnt, n.vn_file, n.vn_aux, n.vn_next);
}
auto fields(const Elf64_Vernaux &a) {
    return std::tuple(a.vna_hash, a.vna_flags, a.vna_other, a.vna_name, a.vna_next);
}
template <class T> auto fields(const Placed<T> &p) {
    return std::tuple_cat(std::tuple(p.at), fields(p.rec));
}
// clang-format on

// A version chain from section offset 0: up to sh_info records linked by Next, each with Count
// auxiliary records Aux bytes on, linked by AuxNext. get(header, offset, record) reads one record.
template <auto Count, auto Aux, auto Next, auto AuxNext, class Head, class Tail, class Get>
void walk(const Elf64_Shdr &h, std::vector<Placed<Head>> &heads, std::vector<Placed<Tail>> &tails,
          Get &&get) {
    Elf64_Off at = 0;
    for (Elf64_Word i = 0; i < h.sh_info && at < h.sh_size; ++i) {
        Head head{};
        ASSERT_TRUE(get(h, at, &head)) << "version record at " << at;
        heads.push_back({at, head});
        Elf64_Off aux = at + head.*Aux;
        for (int j = 0; j < head.*Count; ++j) {
            Tail tail{};
            ASSERT_TRUE(get(h, aux, &tail)) << "auxiliary version record at " << aux;
            tails.push_back({aux, tail});
            aux += tail.*AuxNext;
        }
        if (head.*Next == 0) break;
        at += head.*Next;
    }
}

// Calls f(name, member) for each record family of a section.
template <class F> void for_families(F &&f) {
    f("Sym", &Section::syms);
    f("Rel", &Section::rels);
    f("Rela", &Section::relas);
    f("Dyn", &Section::dyns);
    f("Syminfo", &Section::syminfos);
    f("Versym", &Section::versyms);
    f("Verdef", &Section::verdefs);
    f("Verdaux", &Section::verdauxs);
    f("Verneed", &Section::verneeds);
    f("Vernaux", &Section::vernauxs);
}

// Fills the section's records with a reader that has table(header, vector) and at(...).
template <class Reader> void read_section(Section &s, Reader &r) {
    auto at = [&r](const Elf64_Shdr &h, Elf64_Off off, auto *rec) { return r.at(h, off, rec); };
    switch (s.hdr.sh_type) {
    case SHT_SYMTAB:
    case SHT_DYNSYM:
        return r.table(s.hdr, s.syms);
    case SHT_REL:
        return r.table(s.hdr, s.rels);
    case SHT_RELA:
        return r.table(s.hdr, s.relas);
    case SHT_DYNAMIC:
        return r.table(s.hdr, s.dyns);
    case SHT_SUNW_syminfo:
        return r.table(s.hdr, s.syminfos);
    case SHT_GNU_versym:
        return r.table(s.hdr, s.versyms);
    case SHT_GNU_verdef:
        return walk<&Elf64_Verdef::vd_cnt, &Elf64_Verdef::vd_aux, &Elf64_Verdef::vd_next,
                    &Elf64_Verdaux::vda_next>(s.hdr, s.verdefs, s.verdauxs, at);
    case SHT_GNU_verneed:
        return walk<&Elf64_Verneed::vn_cnt, &Elf64_Verneed::vn_aux, &Elf64_Verneed::vn_next,
                    &Elf64_Vernaux::vna_next>(s.hdr, s.verneeds, s.vernauxs, at);
    }
}

// Per record type: the library's table operations (records that only have single-record ones
// go through one_by_one), its counting operation if it has one, libelf's gelf accessor, and the
// size of the 32-bit file form.
template <class T> struct Ops {
    int (*read)(FILE *, T *, int);
    int (*write)(FILE *, const T *, int);
    T *(*get)(Elf_Data *, int, T *);
    std::size_t size32;
    int (*count)(int) = nullptr;
};

template <auto One, class P> int one_by_one(FILE *f, P records, int n) {
    int done = 0;
    while (done < n && One(f, records + done) == 1)
        ++done;
    return done;
}

template <class T, int (*Read)(FILE *, T *), int (*Write)(FILE *, const T *)>
constexpr Ops<T> singles(T *(*get)(Elf_Data *, int, T *), std::size_t size32) {
    return {one_by_one<Read, T *>, one_by_one<Write, const T *>, get, size32};
}

// clang-format off
template <class T> constexpr Ops<T> ops{};
template <> constexpr Ops<Elf64_Sym> ops<Elf64_Sym>{
    quenza_read_Syms, quenza_write_Syms, gelf_getsym, sizeof(Elf32_Sym), quenza_count_Syms};
template <> constexpr Ops<Elf64_Rel> ops<Elf64_Rel>{
    quenza_read_Rels, quenza_write_Rels, gelf_getrel, sizeof(Elf32_Rel)};
template <> constexpr Ops<Elf64_Rela> ops<Elf64_Rela>{
    quenza_read_Relas, quenza_write_Relas, gelf_getrela, sizeof(Elf32_Rela)};
template <> constexpr Ops<Elf64_Dyn> ops<Elf64_Dyn>{
    quenza_read_Dyns, quenza_write_Dyns, gelf_getdyn, sizeof(Elf32_Dyn), quenza_count_Dyns};
template <> constexpr Ops<Elf64_Syminfo> ops<Elf64_Syminfo>{quenza_read_Syminfos,
    quenza_write_Syminfos, gelf_getsyminfo, sizeof(Elf32_Syminfo), quenza_count_Syminfos};
template <> constexpr Ops<Elf64_Versym> ops<Elf64_Versym> =
    singles<Elf64_Versym, quenza_read_Versym, quenza_write_Versym>(gelf_getversym, 2);
template <> constexpr Ops<Elf64_Verdef> ops<Elf64_Verdef> =
    singles<Elf64_Verdef, quenza_read_Verdef, quenza_write_Verdef>(gelf_getverdef, 20);
template <> constexpr Ops<Elf64_Verdaux> ops<Elf64_Verdaux> =
    singles<Elf64_Verdaux, quenza_read_Verdaux, quenza_write_Verdaux>(gelf_getverdaux, 8);
template <> constexpr Ops<Elf64_Verneed> ops<Elf64_Verneed> =
    singles<Elf64_Verneed, quenza_read_Verneed, quenza_write_Verneed>(gelf_getverneed, 16);
template <> constexpr Ops<Elf64_Vernaux> ops<Elf64_Vernaux> =
    singles<Elf64_Vernaux, quenza_read_Vernaux, quenza_write_Vernaux>(gelf_getvernaux, 16);
// clang-format on

struct QuenzaReader {
    FILE *f;
    template <class T> void table(const Elf64_Shdr &h, std::vector<T> &v) {
        const std::size_t form = _quenza_current_class == ELFCLASS64 ? sizeof(T) : ops<T>.size32;
        ASSERT_EQ(h.sh_entsize, form);
        ASSERT_LE(h.sh_size, static_cast<Elf64_Xword>(INT_MAX));
        const int size = static_cast<int>(h.sh_size);
        // The library's counting operation where it has one.
        const int n = ops<T>.count != nullptr ? ops<T>.count(size) : size / static_cast<int>(form);
        EXPECT_EQ(static_cast<Elf64_Xword>(n), h.sh_size / h.sh_entsize);
        v.resize(static_cast<std::size_t>(n));
        seek(f, h.sh_offset);
        EXPECT_EQ(ops<T>.read(f, v.data(), n), n);
    }
    template <class T> bool at(const Elf64_Shdr &h, Elf64_Off off, T *rec) {
        seek(f, h.sh_offset + off);
        return ops<T>.read(f, rec, 1) == 1;
    }
};

// Reads everything with the library: the header first (it configures the file form), then the
// tables with the table operations, version records one by one.
Image read_quenza(FILE *f) {
    Image im;
    std::rewind(f);
    EXPECT_EQ(quenza_read_Ehdr(f, &im.ehdr), 1);
    const Elf64_Ehdr &h = im.ehdr;
    im.phdrs.resize(h.e_phnum);
    seek(f, h.e_phoff);
    EXPECT_EQ(quenza_read_Phdrs(f, im.phdrs.data(), h.e_phnum), h.e_phnum);
    std::vector<Elf64_Shdr> shdrs(h.e_shnum);
    seek(f, h.e_shoff);
    EXPECT_EQ(quenza_read_Shdrs(f, shdrs.data(), h.e_shnum), h.e_shnum);
    QuenzaReader reader{f};
    for (const Elf64_Shdr &sh : shdrs) {
        Section &s = im.sections.emplace_back();
        s.hdr = sh;
        read_section(s, reader);
    }
    return im;
}

struct LibelfReader {
    Elf_Data *data;
    template <class T> void table(const Elf64_Shdr &h, std::vector<T> &v) {
        ASSERT_NE(h.sh_entsize, 0U);
        v.resize(h.sh_size / h.sh_entsize);
        for (std::size_t i = 0; i < v.size(); ++i)
            ASSERT_NE(ops<T>.get(data, static_cast<int>(i), &v[i]), nullptr)
                << i << ": " << elf_errmsg(-1);
        T past{};
        EXPECT_EQ(ops<T>.get(data, static_cast<int>(v.size()), &past), nullptr)
            << "libelf has more entries";
    }
    template <class T> bool at(const Elf64_Shdr &, Elf64_Off off, T *rec) {
        return ops<T>.get(data, static_cast<int>(off), rec) != nullptr;
    }
};

// Reads everything with libelf's class-independent gelf interface.
Image read_libelf(int fd) {
    Image im;
    elf_version(EV_CURRENT);
    std::unique_ptr<Elf, int (*)(Elf *)> elf(elf_begin(fd, ELF_C_READ, nullptr), elf_end);
    if (!elf || gelf_getehdr(elf.get(), &im.ehdr) == nullptr) {
        ADD_FAILURE() << "libelf: " << elf_errmsg(-1);
        return im;
    }
    std::size_t phnum = 0;
    std::size_t shnum = 0;
    EXPECT_EQ(elf_getphdrnum(elf.get(), &phnum), 0);
    EXPECT_EQ(elf_getshdrnum(elf.get(), &shnum), 0);
    im.phdrs.resize(phnum);
    for (std::size_t i = 0; i < phnum; ++i)
        EXPECT_NE(gelf_getphdr(elf.get(), static_cast<int>(i), &im.phdrs[i]), nullptr);
    for (std::size_t i = 0; i < shnum; ++i) {
        Elf_Scn *scn = elf_getscn(elf.get(), i);
        Section s;
        EXPECT_NE(scn == nullptr ? nullptr : gelf_getshdr(scn, &s.hdr), nullptr) << "section " << i;
        if (ours(s.hdr.sh_type)) {
            LibelfReader reader{elf_getdata(scn, nullptr)};
            EXPECT_NE(reader.data, nullptr) << "section " << i << ": " << elf_errmsg(-1);
            if (reader.data != nullptr) read_section(s, reader);
        }
        im.sections.push_back(std::move(s));
    }
    return im;
}

// Writes every record of the image at its place: tables with the table operations, version
// records one by one. The header goes first and configures the file form for the rest.
void write_image(FILE *f, const Image &im) {
    const Elf64_Ehdr &h = im.ehdr;
    seek(f, 0);
    ASSERT_EQ(quenza_write_Ehdr(f, &h), 1);
    const int phnum = static_cast<int>(im.phdrs.size());
    seek(f, h.e_phoff);
    EXPECT_EQ(quenza_write_Phdrs(f, im.phdrs.data(), phnum), phnum);
    std::vector<Elf64_Shdr> shdrs;
    for (const Section &s : im.sections)
        shdrs.push_back(s.hdr);
    const int shnum = static_cast<int>(shdrs.size());
    seek(f, h.e_shoff);
    EXPECT_EQ(quenza_write_Shdrs(f, shdrs.data(), shnum), shnum);
    for (const Section &s : im.sections) {
        for_families([&](const char *, auto member) {
            const auto &records = s.*member;
            using Record = std::ranges::range_value_t<decltype(records)>;
            if constexpr (requires(Record r) { r.at; }) {
                for (const Record &p : records) {
                    seek(f, s.hdr.sh_offset + p.at);
                    EXPECT_EQ(ops<decltype(p.rec)>.write(f, &p.rec, 1), 1);
                }
            } else if (!records.empty()) {
                const int n = static_cast<int>(records.size());
                seek(f, s.hdr.sh_offset);
                EXPECT_EQ(ops<Record>.write(f, records.data(), n), n);
            }
        });
    }
    std::fflush(f);
}

// Field-by-field comparison; returns how many records were compared. One report per table.
template <class T>
std::size_t expect_same(const std::vector<T> &want, const std::vector<T> &got,
                        const std::string &what) {
    EXPECT_EQ(want.size(), got.size()) << what;
    const std::size_t n = std::min(want.size(), got.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (fields(want[i]) != fields(got[i])) {
            ADD_FAILURE() << what << " #" << i << ": want "
                          << testing::PrintToString(fields(want[i])) << ", got "
                          << testing::PrintToString(fields(got[i]));
            break;
        }
    }
    return n;
}

void expect_same(const Image &want, const Image &got, std::map<std::string, std::size_t> &tally) {
    tally["Ehdr"] += expect_same(std::vector{want.ehdr}, std::vector{got.ehdr}, "Ehdr");
    tally["Phdr"] += expect_same(want.phdrs, got.phdrs, "Phdr");
    ASSERT_EQ(want.sections.size(), got.sections.size());
    for (std::size_t i = 0; i < want.sections.size(); ++i) {
        const Section &w = want.sections[i];
        const Section &g = got.sections[i];
        const std::string where = "section " + std::to_string(i) + " ";
        tally["Shdr"] += expect_same(std::vector{w.hdr}, std::vector{g.hdr}, where + "Shdr");
        if (w.hdr.sh_type == SHT_NOBITS)
            ++tally["(NOBITS sections, no data)"];
        else if (!ours(w.hdr.sh_type))
            ++tally["(other sections, data not compared)"];
        for_families([&](const char *name, auto member) {
            tally[name] += expect_same(w.*member, g.*member, where + name);
        });
        // Values whose widening from the 32-bit form matters.
        for (const Elf64_Rela &r : w.relas)
            tally["(Rela r_addend < 0)"] += r.r_addend < 0;
        for (const Elf64_Sym &s : w.syms)
            tally["(Sym st_value, st_size >= 2^31)"] +=
                s.st_value >= 0x80000000U && s.st_size >= 0x80000000U;
    }
}

// Every layout must have met every family (Syminfo excepted: the toolchains make none).
void expect_coverage(const Tally &tally) {
    EXPECT_EQ(tally.size(), 4U) << "layouts in the corpus";
    for (const auto &[layout, counts] : tally) {
        std::cout << layout << ":";
        for (const auto &[family, n] : counts)
            std::cout << " " << family << "=" << n;
        std::cout << "\n";
        auto n = [&](const char *family) {
            const auto it = counts.find(family);
            return it == counts.end() ? 0 : it->second;
        };
        for (const char *family : {"Ehdr", "Phdr", "Shdr", "Sym", "Dyn", "Versym", "Verdef",
                                   "Verdaux", "Verneed", "Vernaux"})
            EXPECT_GT(n(family), 0U) << layout << " " << family;
        EXPECT_GT(n("Rel") + n("Rela"), 100U) << layout << " relocations";
        if (n("Rela") > 0) {
            EXPECT_GT(n("(Rela r_addend < 0)"), 0U) << layout;
        }
        EXPECT_GT(n("(Sym st_value, st_size >= 2^31)"), 0U) << layout;
    }
}

// readelf -h, as (key, value) pairs in output order.
std::vector<std::pair<std::string, std::string>> readelf_header(const std::string &path) {
    std::vector<std::pair<std::string, std::string>> lines;
    const std::string cmd = "LC_ALL=C readelf -h -W '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return lines;
    char line[512];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        std::string s(line);
        const auto colon = s.find(':');
        if (colon == std::string::npos) continue;
        auto trim = [](std::string t) {
            t.erase(0, t.find_first_not_of(" \t"));
            t.erase(t.find_last_not_of(" \t\n") + 1);
            return t;
        };
        lines.emplace_back(trim(s.substr(0, colon)), trim(s.substr(colon + 1)));
    }
    EXPECT_EQ(pclose(p), 0) << cmd;
    return lines;
}

TEST(RealFile, HeaderMatchesReadelfAndWritesBackExactly) {
    const auto paths = corpus();
    ASSERT_FALSE(paths.empty());
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        const auto lines = readelf_header(path);
        // The n-th value under a key (readelf prints two "Version" lines).
        auto text = [&](const std::string &key, int nth = 0) {
            for (const auto &[k, v] : lines)
                if (k == key && nth-- == 0) return v;
            ADD_FAILURE() << "readelf printed no " << key;
            return std::string();
        };
        auto num = [&](const std::string &key, int nth = 0) {
            return std::strtoull(text(key, nth).c_str(), nullptr, 0);
        };
        Elf64_Ehdr want{};
        std::istringstream magic(text("Magic"));
        for (unsigned char &b : want.e_ident) {
            unsigned v = 0;
            magic >> std::hex >> v;
            b = static_cast<unsigned char>(v);
        }
        // clang-format off
        const std::map<std::string, Elf64_Half> types{
            {"NONE", ET_NONE}, {"REL", ET_REL}, {"EXEC", ET_EXEC}, {"DYN", ET_DYN},
            {"CORE", ET_CORE}};
        const std::map<std::string, Elf64_Half> machines{
            {"Advanced Micro Devices X86-64", EM_X86_64}, {"Intel 80386", EM_386},
            {"PowerPC", EM_PPC}, {"PowerPC64", EM_PPC64}, {"IBM S/390", EM_S390},
            {"ARM", EM_ARM}, {"AArch64", EM_AARCH64}, {"MIPS R3000", EM_MIPS},
            {"Sparc v9", EM_SPARCV9}, {"HPPA", EM_PARISC}, {"MC68000", EM_68K},
            {"RISC-V", EM_RISCV}};
        // clang-format on
        const std::string type = text("Type");
        ASSERT_TRUE(types.contains(type.substr(0, type.find(' ')))) << type;
        ASSERT_TRUE(machines.contains(text("Machine"))) << text("Machine");
        want.e_type = types.at(type.substr(0, type.find(' ')));
        want.e_machine = machines.at(text("Machine"));
        want.e_version = static_cast<Elf64_Word>(num("Version", 1));
        want.e_entry = num("Entry point address");
        want.e_phoff = num("Start of program headers");
        want.e_shoff = num("Start of section headers");
        want.e_flags = static_cast<Elf64_Word>(num("Flags"));
        want.e_ehsize = static_cast<Elf64_Half>(num("Size of this header"));
        want.e_phentsize = static_cast<Elf64_Half>(num("Size of program headers"));
        want.e_phnum = static_cast<Elf64_Half>(num("Number of program headers"));
        want.e_shentsize = static_cast<Elf64_Half>(num("Size of section headers"));
        want.e_shnum = static_cast<Elf64_Half>(num("Number of section headers"));
        want.e_shstrndx = static_cast<Elf64_Half>(num("Section header string table index"));
        const unsigned char elf_class = text("Class") == "ELF64" ? ELFCLASS64 : ELFCLASS32;
        const unsigned char data =
            text("Data").find("big endian") != std::string::npos ? ELFDATA2MSB : ELFDATA2LSB;

        File f = open_file(path);
        ASSERT_TRUE(f);
        Elf64_Ehdr got{};
        ASSERT_EQ(quenza_read_Ehdr(f.get(), &got), 1);
        EXPECT_EQ(fields(want), fields(got));
        EXPECT_EQ(got.e_ident[EI_CLASS], elf_class);
        EXPECT_EQ(got.e_ident[EI_DATA], data);
        EXPECT_EQ(got.e_ident[EI_VERSION], num("Version"));
        EXPECT_EQ(got.e_ident[EI_ABIVERSION], num("ABI Version"));
        EXPECT_EQ(_quenza_current_class, elf_class);
        EXPECT_EQ(_quenza_current_data, data);
        EXPECT_EQ(_quenza_current_version, EV_CURRENT);

        char *buffer = nullptr;
        std::size_t size = 0;
        FILE *out = open_memstream(&buffer, &size);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(quenza_write_Ehdr(out, &got), 1);
        std::fclose(out);
        const Bytes written(buffer, buffer + size);
        std::free(buffer);
        Bytes original(elf_class == ELFCLASS64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr));
        std::rewind(f.get());
        ASSERT_EQ(std::fread(original.data(), 1, original.size(), f.get()), original.size());
        EXPECT_EQ(written, original);
    }
}

TEST(RealFile, EveryRecordMatchesLibelf) {
    Tally tally;
    std::map<std::string, std::map<Elf64_Half, int>> types;
    for (const std::string &path : corpus()) {
        SCOPED_TRACE(path);
        File f = open_file(path);
        ASSERT_TRUE(f);
        const Image want = read_libelf(fileno(f.get()));
        const Image got = read_quenza(f.get());
        expect_same(want, got, tally[layout_name(want.ehdr)]);
        ++types[layout_name(want.ehdr)][want.ehdr.e_type];
    }
    expect_coverage(tally);
    for (const auto &[layout, counts] : types)
        for (Elf64_Half type : {ET_REL, ET_EXEC, ET_DYN})
            EXPECT_GT(counts.count(type), 0U) << layout << " has no file of type " << type;
}

// Overwrites every byte the image's records occupy, so write-back has to produce them all.
void poison(Bytes &bytes, const Image &im) {
    auto fill = [&bytes](Elf64_Off at, Elf64_Xword size) {
        if (at >= bytes.size()) return;
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    std::min<Elf64_Xword>(size, bytes.size() - at), 0xa5);
    };
    const Elf64_Ehdr &h = im.ehdr;
    fill(0, h.e_ehsize);
    fill(h.e_phoff, Elf64_Xword{h.e_phnum} * h.e_phentsize);
    fill(h.e_shoff, Elf64_Xword{h.e_shnum} * h.e_shentsize);
    for (const Section &s : im.sections)
        if (ours(s.hdr.sh_type)) fill(s.hdr.sh_offset, s.hdr.sh_size);
}

TEST(RealFile, EveryTableWritesBackByteForByte) {
    for (const std::string &path : corpus()) {
        SCOPED_TRACE(path);
        File f = open_file(path);
        ASSERT_TRUE(f);
        const Bytes original = contents(f.get());
        const Image im = read_quenza(f.get());
        Bytes poisoned = original;
        poison(poisoned, im);
        File copy = temp_file(poisoned);
        write_image(copy.get(), im);
        const Bytes result = contents(copy.get());
        ASSERT_EQ(result.size(), original.size());
        const auto diff = std::mismatch(result.begin(), result.end(), original.begin());
        EXPECT_TRUE(diff.first == result.end())
            << "first differing byte at offset " << (diff.first - result.begin());
    }
}

TEST(RealFile, OppositeByteOrderDecodesToTheSameRecords) {
    Tally tally;
    for (const std::string &path : corpus()) {
        SCOPED_TRACE(path);
        File f = open_file(path);
        ASSERT_TRUE(f);
        const Image want = read_libelf(fileno(f.get()));
        Image flipped = read_quenza(f.get());
        const unsigned char data = flipped.ehdr.e_ident[EI_DATA];
        flipped.ehdr.e_ident[EI_DATA] = data == ELFDATA2LSB ? ELFDATA2MSB : ELFDATA2LSB;
        File copy = temp_file(contents(f.get()));
        write_image(copy.get(), flipped);
        ASSERT_EQ(_quenza_current_data, flipped.ehdr.e_ident[EI_DATA]);

        // libelf and the library both read the rewritten file back to the original values.
        Image got = read_libelf(fileno(copy.get()));
        Image again = read_quenza(copy.get());
        EXPECT_EQ(got.ehdr.e_ident[EI_DATA], flipped.ehdr.e_ident[EI_DATA]);
        got.ehdr.e_ident[EI_DATA] = again.ehdr.e_ident[EI_DATA] = data;
        expect_same(want, got, tally[layout_name(want.ehdr)]);
        std::map<std::string, std::size_t> unused;
        expect_same(want, again, unused);
    }
    expect_coverage(tally);
}

// The output of a command, whatever its status.
std::string command_output(const std::string &command) {
    std::string text;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) != 0;)
        text.append(buffer, n);
    pclose(p);
    return text;
}

// MIPS64 stores r_info as a 32-bit symbol index and four single bytes (ssym, type3, type2,
// type). The library reads it as one 64-bit word in the file's byte order, so a little-endian
// file's word is type << 56 | type2 << 48 | type3 << 40 | ssym << 32 | sym. Rewriting such a
// file big-endian must re-lay the word as sym << 32 | ssym << 24 | type3 << 16 | type2 << 8 |
// type; writing it unchanged (swapped as one number) turns the type bytes into the symbol index.
TEST(RealFile, Mips64RelocationInfoIsReLaidAcrossByteOrders) {
    std::string original;
    for (const std::string &path : corpus())
        if (path.ends_with("mips64el-linux-gnuabi64/lib/crt1.o")) original = path;
    ASSERT_FALSE(original.empty());
    const auto relay = [](Elf64_Xword little) {
        const auto types = static_cast<std::uint32_t>(little >> 32);
        return little << 32 | __builtin_bswap32(types);
    };
    const std::string want = command_output("LC_ALL=C readelf -rsW '" + original + "' 2>&1");
    ASSERT_NE(want.find("Type2: R_MIPS_SUB"), std::string::npos);
    for (const bool relaid : {true, false}) {
        SCOPED_TRACE(relaid ? "re-laid" : "swapped as one word");
        File in = open_file(original);
        ASSERT_TRUE(in);
        const Bytes bytes = contents(in.get());
        const std::string copy = ::testing::TempDir() + "/mips64-big-endian.o";
        File out(std::fopen(copy.c_str(), "w+b"), std::fclose);
        ASSERT_TRUE(out);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out.get()), bytes.size());

        // Read every table in the file's layout, then write them all big-endian.
        Elf64_Ehdr header;
        std::rewind(in.get());
        ASSERT_EQ(quenza_read_Ehdr(in.get(), &header), 1);
        std::vector<Elf64_Shdr> sections(header.e_shnum);
        ASSERT_EQ(std::fseek(in.get(), static_cast<long>(header.e_shoff), SEEK_SET), 0);
        ASSERT_EQ(quenza_read_Shdrs(in.get(), sections.data(), header.e_shnum), header.e_shnum);
        std::map<std::size_t, std::vector<Elf64_Sym>> symbols;
        std::map<std::size_t, std::vector<Elf64_Rela>> relocations;
        for (std::size_t i = 0; i < sections.size(); ++i) {
            const int count = static_cast<int>(sections[i].sh_size / 24);
            ASSERT_EQ(std::fseek(in.get(), static_cast<long>(sections[i].sh_offset), SEEK_SET), 0);
            if (sections[i].sh_type == SHT_SYMTAB) {
                symbols[i].resize(static_cast<std::size_t>(count));
                ASSERT_EQ(quenza_read_Syms(in.get(), symbols[i].data(), count), count);
            } else if (sections[i].sh_type == SHT_RELA) {
                relocations[i].resize(static_cast<std::size_t>(count));
                ASSERT_EQ(quenza_read_Relas(in.get(), relocations[i].data(), count), count);
            }
        }
        header.e_ident[EI_DATA] = ELFDATA2MSB;
        std::rewind(out.get());
        ASSERT_EQ(quenza_write_Ehdr(out.get(), &header), 1);
        ASSERT_EQ(std::fseek(out.get(), static_cast<long>(header.e_shoff), SEEK_SET), 0);
        ASSERT_EQ(quenza_write_Shdrs(out.get(), sections.data(), header.e_shnum), header.e_shnum);
        for (auto &[i, table] : symbols) {
            ASSERT_EQ(std::fseek(out.get(), static_cast<long>(sections[i].sh_offset), SEEK_SET), 0);
            const int count = static_cast<int>(table.size());
            ASSERT_EQ(quenza_write_Syms(out.get(), table.data(), count), count);
        }
        for (auto &[i, table] : relocations) {
            if (relaid)
                for (Elf64_Rela &r : table)
                    r.r_info = relay(r.r_info);
            ASSERT_EQ(std::fseek(out.get(), static_cast<long>(sections[i].sh_offset), SEEK_SET), 0);
            const int count = static_cast<int>(table.size());
            ASSERT_EQ(quenza_write_Relas(out.get(), table.data(), count), count);
        }
        out.reset();
        const std::string got = command_output("LC_ALL=C readelf -rsW '" + copy + "' 2>&1");
        if (relaid) {
            EXPECT_EQ(got, want);
        } else {
            // The first relocation's type bytes 07 18 05 00 became its symbol index.
            EXPECT_NE(got.find("bad symbol index: 07180500"), std::string::npos) << got;
        }
    }
}

} // namespace
