// Fuzz target: the library driven as a real reader drives it. The input is an ELF file, opened
// with fmemopen. The file header configures the codec; then the section and program header
// tables, every table the sections and the dynamic segment point at and the version chains are
// read in whatever layout the header selected. Every record read is then written back in each of
// the four layouts and read again: what comes back must be exactly what that layout holds of it,
// and in the file's own layout the bytes written must be the bytes that were read.
#include "quenza.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what, int line) {
    std::fprintf(stderr, "records_fuzzer.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}

#define CHECK(condition) ((condition) ? (void)0 : fail(#condition, __LINE__))

// Bounds that keep one input small in memory and time, however large its counts are.
constexpr std::uint64_t max_table = 4096;      // records asked for in one table read
constexpr std::uint64_t max_records = 1 << 16; // records read from one input in all
constexpr int max_chain = 256;                 // records read in one version-chain walk

std::uint64_t low32(std::uint64_t value) {
    return value & 0xffffffffU;
}
std::int64_t low32_signed(std::uint64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// One record family (or scalar type) as the harness sees it: its operations, its size in each
// file form, and what a 32-bit file keeps of a native value.
template <typename T> struct Codec {
    int (*read)(FILE *, T *);
    int (*write)(FILE *, const T *);
    int (*read_table)(FILE *, T *, int);        // null when the family has none
    int (*write_table)(FILE *, const T *, int); // null when the family has none
    std::size_t size32;
    std::size_t size64;
    T (*narrow)(T); // null when both forms hold every value
};

// What a 32-bit file keeps of each record: the low 32 bits of every field that is wider in the
// native form (sign-extended where the 32-bit field is signed), and of r_info a 24-bit symbol
// index and an 8-bit type.
Elf64_Xword narrow_info(Elf64_Xword info) {
    return ELF64_R_INFO(ELF64_R_SYM(info) & 0xffffffU, ELF64_R_TYPE(info) & 0xffU);
}
Elf64_Ehdr narrow_ehdr(Elf64_Ehdr r) {
    r.e_entry = low32(r.e_entry);
    r.e_phoff = low32(r.e_phoff);
    r.e_shoff = low32(r.e_shoff);
    return r;
}
Elf64_Shdr narrow_shdr(Elf64_Shdr r) {
    r.sh_flags = low32(r.sh_flags);
    r.sh_addr = low32(r.sh_addr);
    r.sh_offset = low32(r.sh_offset);
    r.sh_size = low32(r.sh_size);
    r.sh_addralign = low32(r.sh_addralign);
    r.sh_entsize = low32(r.sh_entsize);
    return r;
}
Elf64_Phdr narrow_phdr(Elf64_Phdr r) {
    r.p_offset = low32(r.p_offset);
    r.p_vaddr = low32(r.p_vaddr);
    r.p_paddr = low32(r.p_paddr);
    r.p_filesz = low32(r.p_filesz);
    r.p_memsz = low32(r.p_memsz);
    r.p_align = low32(r.p_align);
    return r;
}
Elf64_Sym narrow_sym(Elf64_Sym r) {
    r.st_value = low32(r.st_value);
    r.st_size = low32(r.st_size);
    return r;
}
Elf64_Rel narrow_rel(Elf64_Rel r) {
    r.r_offset = low32(r.r_offset);
    r.r_info = narrow_info(r.r_info);
    return r;
}
Elf64_Rela narrow_rela(Elf64_Rela r) {
    r.r_offset = low32(r.r_offset);
    r.r_info = narrow_info(r.r_info);
    r.r_addend = low32_signed(r.r_addend);
    return r;
}
Elf64_Dyn narrow_dyn(Elf64_Dyn r) {
    r.d_tag = low32_signed(r.d_tag);
    r.d_un.d_val = low32(r.d_un.d_val);
    return r;
}

#define TABLE(Family) quenza_read_##Family##s, quenza_write_##Family##s
#define NO_TABLE nullptr, nullptr
#define SIZES(Family) sizeof(Elf32_##Family), sizeof(Elf64_##Family)
// clang-format off
const Codec<Elf64_Ehdr> ehdr_codec{quenza_read_Ehdr, quenza_write_Ehdr, NO_TABLE, SIZES(Ehdr), narrow_ehdr};
const Codec<Elf64_Shdr> shdr_codec{quenza_read_Shdr, quenza_write_Shdr, TABLE(Shdr), SIZES(Shdr), narrow_shdr};
const Codec<Elf64_Phdr> phdr_codec{quenza_read_Phdr, quenza_write_Phdr, TABLE(Phdr), SIZES(Phdr), narrow_phdr};
const Codec<Elf64_Sym> sym_codec{quenza_read_Sym, quenza_write_Sym, TABLE(Sym), SIZES(Sym), narrow_sym};
const Codec<Elf64_Syminfo> syminfo_codec{quenza_read_Syminfo, quenza_write_Syminfo, TABLE(Syminfo), SIZES(Syminfo), nullptr};
const Codec<Elf64_Rel> rel_codec{quenza_read_Rel, quenza_write_Rel, TABLE(Rel), SIZES(Rel), narrow_rel};
const Codec<Elf64_Rela> rela_codec{quenza_read_Rela, quenza_write_Rela, TABLE(Rela), SIZES(Rela), narrow_rela};
const Codec<Elf64_Dyn> dyn_codec{quenza_read_Dyn, quenza_write_Dyn, TABLE(Dyn), SIZES(Dyn), narrow_dyn};
const Codec<Elf64_Verdef> verdef_codec{quenza_read_Verdef, quenza_write_Verdef, NO_TABLE, SIZES(Verdef), nullptr};
const Codec<Elf64_Verdaux> verdaux_codec{quenza_read_Verdaux, quenza_write_Verdaux, NO_TABLE, SIZES(Verdaux), nullptr};
const Codec<Elf64_Verneed> verneed_codec{quenza_read_Verneed, quenza_write_Verneed, NO_TABLE, SIZES(Verneed), nullptr};
const Codec<Elf64_Vernaux> vernaux_codec{quenza_read_Vernaux, quenza_write_Vernaux, NO_TABLE, SIZES(Vernaux), nullptr};
const Codec<Elf64_Half> half_codec{quenza_read_Half, quenza_write_Half, NO_TABLE, 2, 2, nullptr};
const Codec<Elf64_Word> word_codec{quenza_read_Word, quenza_write_Word, NO_TABLE, 4, 4, nullptr};
const Codec<Elf64_Sword> sword_codec{quenza_read_Sword, quenza_write_Sword, NO_TABLE, 4, 4, nullptr};
const Codec<Elf64_Xword> xword_codec{quenza_read_Xword, quenza_write_Xword, NO_TABLE, 8, 8, nullptr};
const Codec<Elf64_Sxword> sxword_codec{quenza_read_Sxword, quenza_write_Sxword, NO_TABLE, 8, 8, nullptr};
const Codec<Elf64_Addr> addr_codec{quenza_read_Addr, quenza_write_Addr, NO_TABLE, 4, 8, low32};
const Codec<Elf64_Off> off_codec{quenza_read_Off, quenza_write_Off, NO_TABLE, 4, 8, low32};
const Codec<Elf64_Versym> versym_codec{quenza_read_Versym, quenza_write_Versym, NO_TABLE, 2, 2, nullptr};
// clang-format on
#undef TABLE
#undef NO_TABLE
#undef SIZES

// Records read from the input, each with the offset it was read at.
template <typename T> struct Batch {
    const Codec<T> *codec;
    std::vector<T> records;
    std::vector<std::uint64_t> offsets;
};

class Reader {
  public:
    Reader(const unsigned char *data, std::size_t size, FILE *file)
        : data_(data), size_(size), file_(file) {}

    void run();

  private:
    template <typename T> std::size_t file_size(const Codec<T> &codec) const {
        return wide_ ? codec.size64 : codec.size32;
    }
    bool seek(std::uint64_t offset) {
        return offset <= size_ && std::fseek(file_, static_cast<long>(offset), SEEK_SET) == 0;
    }
    template <typename T>
    std::vector<T> read_table(const Codec<T> &codec, Batch<T> &batch, std::uint64_t offset,
                              std::uint64_t count);
    template <typename T>
    bool read_single(const Codec<T> &codec, Batch<T> &batch, std::uint64_t offset, T *record);
    template <typename T>
    void read_each(const Codec<T> &codec, Batch<T> &batch, std::uint64_t offset,
                   std::uint64_t size);
    void read_section(const Elf64_Shdr &section);
    void read_dynamic(std::uint64_t offset, std::uint64_t size);
    void walk_verdef(std::uint64_t offset, std::uint64_t count);
    void walk_verneed(std::uint64_t offset, std::uint64_t count);
    void read_header_fields();
    template <typename T> void round_trip(const Batch<T> &batch) const;
    template <typename T> void round_trip(const Batch<T> &batch, int elf_class, int data) const;

    const unsigned char *data_;
    std::size_t size_;
    FILE *file_;
    bool wide_ = false;
    unsigned char class_ = 0;
    unsigned char data_encoding_ = 0;
    std::uint64_t budget_ = max_records;
    Elf64_Ehdr header_{};

    Batch<Elf64_Ehdr> ehdrs_{&ehdr_codec, {}, {}};
    Batch<Elf64_Shdr> shdrs_{&shdr_codec, {}, {}};
    Batch<Elf64_Phdr> phdrs_{&phdr_codec, {}, {}};
    Batch<Elf64_Sym> syms_{&sym_codec, {}, {}};
    Batch<Elf64_Syminfo> syminfos_{&syminfo_codec, {}, {}};
    Batch<Elf64_Rel> rels_{&rel_codec, {}, {}};
    Batch<Elf64_Rela> relas_{&rela_codec, {}, {}};
    Batch<Elf64_Dyn> dyns_{&dyn_codec, {}, {}};
    Batch<Elf64_Verdef> verdefs_{&verdef_codec, {}, {}};
    Batch<Elf64_Verdaux> verdauxes_{&verdaux_codec, {}, {}};
    Batch<Elf64_Verneed> verneeds_{&verneed_codec, {}, {}};
    Batch<Elf64_Vernaux> vernauxes_{&vernaux_codec, {}, {}};
    Batch<Elf64_Half> halves_{&half_codec, {}, {}};
    Batch<Elf64_Word> words_{&word_codec, {}, {}};
    Batch<Elf64_Sword> swords_{&sword_codec, {}, {}};
    Batch<Elf64_Xword> xwords_{&xword_codec, {}, {}};
    Batch<Elf64_Sxword> sxwords_{&sxword_codec, {}, {}};
    Batch<Elf64_Addr> addrs_{&addr_codec, {}, {}};
    Batch<Elf64_Off> offs_{&off_codec, {}, {}};
    Batch<Elf64_Versym> versyms_{&versym_codec, {}, {}};
};

// Reads up to count records at offset with the table operation, never asking for more than the
// file holds plus one (so the short read at the end is exercised) and staying within the budget.
template <typename T>
std::vector<T> Reader::read_table(const Codec<T> &codec, Batch<T> &batch, std::uint64_t offset,
                                  std::uint64_t count) {
    const std::size_t record = file_size(codec);
    if (!seek(offset)) return {};
    const std::uint64_t whole = (size_ - offset) / record;
    count = std::min({count, whole + 1, max_table, budget_});
    if (count == 0) return {};
    budget_ -= count;

    // Filled with a pattern, so records the operation must not touch can be checked.
    std::vector<T> records(count);
    std::memset(records.data(), 0xa5, count * sizeof(T));
    const std::vector<T> pattern(records);
    const int done = codec.read_table(file_, records.data(), static_cast<int>(count));
    CHECK(static_cast<std::uint64_t>(done) == std::min(count, whole));
    if (static_cast<std::uint64_t>(done) == count)
        CHECK(static_cast<std::uint64_t>(std::ftell(file_)) == offset + count * record);
    // Nothing after the failed record is touched, and a converted record not even that one.
    const bool converted = !wide_ && codec.size32 != codec.size64;
    const std::size_t untouched = static_cast<std::size_t>(done) + (converted ? 0 : 1);
    for (std::size_t i = untouched; i < count; ++i)
        CHECK(std::memcmp(&records[i], &pattern[i], sizeof(T)) == 0);

    records.resize(static_cast<std::size_t>(done));
    for (std::size_t i = 0; i < records.size(); ++i) {
        batch.records.push_back(records[i]);
        batch.offsets.push_back(offset + i * record);
    }
    return records;
}

template <typename T>
bool Reader::read_single(const Codec<T> &codec, Batch<T> &batch, std::uint64_t offset, T *record) {
    if (budget_ == 0 || !seek(offset)) return false;
    --budget_;
    const std::size_t size = file_size(codec);
    const bool fits = size_ - offset >= size;
    CHECK(codec.read(file_, record) == (fits ? 1 : 0));
    if (!fits) return false;
    batch.records.push_back(*record);
    batch.offsets.push_back(offset);
    return true;
}

// The values of a section that has no table operation, one at a time.
template <typename T>
void Reader::read_each(const Codec<T> &codec, Batch<T> &batch, std::uint64_t offset,
                       std::uint64_t size) {
    const std::size_t width = file_size(codec);
    T value;
    for (std::uint64_t i = 0; i < std::min(size / width, max_table); ++i)
        if (!read_single(codec, batch, offset + width * i, &value)) return;
}

// A section size as the counting operations take it.
int size_arg(std::uint64_t size) {
    return static_cast<int>(std::min<std::uint64_t>(size, INT_MAX));
}

void Reader::read_section(const Elf64_Shdr &section) {
    const std::uint64_t offset = section.sh_offset;
    const std::uint64_t size = section.sh_size;
    const int bytes = size_arg(size);
    switch (section.sh_type) {
    case SHT_SYMTAB:
    case SHT_DYNSYM: {
        const int count = quenza_count_Syms(bytes);
        CHECK(count == bytes / static_cast<int>(file_size(sym_codec)));
        CHECK(quenza_count_Syms(-bytes) == 0);
        read_table(sym_codec, syms_, offset, static_cast<std::uint64_t>(count));
        break;
    }
    case SHT_SUNW_syminfo: {
        const int count = quenza_count_Syminfos(bytes);
        CHECK(count == bytes / 4 && quenza_count_Syminfos(-bytes) == 0);
        read_table(syminfo_codec, syminfos_, offset, static_cast<std::uint64_t>(count));
        break;
    }
    case SHT_REL:
        read_table(rel_codec, rels_, offset, size / file_size(rel_codec));
        break;
    case SHT_RELA:
        read_table(rela_codec, relas_, offset, size / file_size(rela_codec));
        break;
    case SHT_DYNAMIC:
        read_dynamic(offset, size);
        break;
    case SHT_GNU_versym:
        read_each(versym_codec, versyms_, offset, size);
        break;
    case SHT_GNU_verdef:
        walk_verdef(offset, section.sh_info);
        break;
    case SHT_GNU_verneed:
        walk_verneed(offset, section.sh_info);
        break;
    case SHT_HASH:
    case SHT_GROUP:
    case SHT_SYMTAB_SHNDX:
        read_each(word_codec, words_, offset, size);
        break;
    case SHT_INIT_ARRAY:
    case SHT_FINI_ARRAY:
    case SHT_PREINIT_ARRAY:
        read_each(addr_codec, addrs_, offset, size);
        break;
    default:
        break;
    }
}

// The dynamic table, then its first entries again field by field with the scalar operations,
// which must agree with the records.
void Reader::read_dynamic(std::uint64_t offset, std::uint64_t size) {
    const int bytes = size_arg(size);
    const int count = quenza_count_Dyns(bytes);
    CHECK(count == bytes / static_cast<int>(file_size(dyn_codec)));
    CHECK(quenza_count_Dyns(-bytes) == 0);
    const std::vector<Elf64_Dyn> entries =
        read_table(dyn_codec, dyns_, offset, static_cast<std::uint64_t>(count));
    const std::size_t record = file_size(dyn_codec);
    for (std::size_t i = 0; i < std::min<std::size_t>(entries.size(), 16); ++i) {
        const std::uint64_t at = offset + i * record;
        if (wide_) {
            Elf64_Sxword tag;
            Elf64_Xword value;
            if (!read_single(sxword_codec, sxwords_, at, &tag)) break;
            if (!read_single(xword_codec, xwords_, at + 8, &value)) break;
            CHECK(tag == entries[i].d_tag && value == entries[i].d_un.d_val);
        } else {
            Elf64_Sword tag;
            Elf64_Word value;
            if (!read_single(sword_codec, swords_, at, &tag)) break;
            if (!read_single(word_codec, words_, at + 4, &value)) break;
            CHECK(tag == entries[i].d_tag && value == entries[i].d_un.d_val);
        }
    }
}

// Definitions: count records (sh_info) linked by vd_next, each with vd_cnt auxiliaries from vd_aux
// linked by vda_next. A real reader stops at a zero link; the walk is bounded besides.
void Reader::walk_verdef(std::uint64_t offset, std::uint64_t count) {
    int steps = 0;
    for (std::uint64_t i = 0; i < count && steps < max_chain; ++i) {
        Elf64_Verdef def;
        ++steps;
        if (!read_single(verdef_codec, verdefs_, offset, &def)) return;
        std::uint64_t aux = offset + def.vd_aux;
        for (unsigned j = 0; j < def.vd_cnt && steps < max_chain; ++j) {
            Elf64_Verdaux name;
            ++steps;
            if (!read_single(verdaux_codec, verdauxes_, aux, &name) || name.vda_next == 0) break;
            aux += name.vda_next;
        }
        if (def.vd_next == 0) return;
        offset += def.vd_next;
    }
}

void Reader::walk_verneed(std::uint64_t offset, std::uint64_t count) {
    int steps = 0;
    for (std::uint64_t i = 0; i < count && steps < max_chain; ++i) {
        Elf64_Verneed need;
        ++steps;
        if (!read_single(verneed_codec, verneeds_, offset, &need)) return;
        std::uint64_t aux = offset + need.vn_aux;
        for (unsigned j = 0; j < need.vn_cnt && steps < max_chain; ++j) {
            Elf64_Vernaux version;
            ++steps;
            if (!read_single(vernaux_codec, vernauxes_, aux, &version) || version.vna_next == 0)
                break;
            aux += version.vna_next;
        }
        if (need.vn_next == 0) return;
        offset += need.vn_next;
    }
}

// The file header once more, field by field with the scalar operations: they must agree with
// the header record.
void Reader::read_header_fields() {
    std::uint64_t at = EI_NIDENT;
    const auto field = [&](const auto &codec, auto &batch, auto expected) {
        decltype(expected) value;
        CHECK(read_single(codec, batch, at, &value) && value == expected);
        at += file_size(codec);
    };
    field(half_codec, halves_, header_.e_type);
    field(half_codec, halves_, header_.e_machine);
    field(word_codec, words_, header_.e_version);
    field(addr_codec, addrs_, header_.e_entry);
    field(off_codec, offs_, header_.e_phoff);
    field(off_codec, offs_, header_.e_shoff);
    field(word_codec, words_, header_.e_flags);
    field(half_codec, halves_, header_.e_ehsize);
    field(half_codec, halves_, header_.e_phentsize);
    field(half_codec, halves_, header_.e_phnum);
    field(half_codec, halves_, header_.e_shentsize);
    field(half_codec, halves_, header_.e_shnum);
    field(half_codec, halves_, header_.e_shstrndx);
    CHECK(at == file_size(ehdr_codec));
}

void Reader::run() {
    // A known state first: the identification checks below compare against it.
    CHECK(quenza_initialize_direct(ELFCLASS32, ELFDATA2LSB, EV_CURRENT) == 0);
    const int result = quenza_read_Ehdr(file_, &header_);
    unsigned char elf_class = 0;
    unsigned char data = 0;
    unsigned char version = 0;
    quenza_getsettings(&elf_class, &data, &version);
    if (size_ < EI_NIDENT) {
        // No identification to go by: nothing may change.
        CHECK(result == 0);
        CHECK(elf_class == ELFCLASS32 && data == ELFDATA2LSB && version == EV_CURRENT);
        return;
    }
    const unsigned char *ident = data_;
    // What each identification result leaves configured.
    switch (result) {
    case QUENZA_BAD_MAGIC:
    case QUENZA_BAD_CLASS:
        CHECK(elf_class == ELFCLASS32 && data == ELFDATA2LSB && version == EV_CURRENT);
        return;
    case QUENZA_BAD_DATA:
        CHECK(elf_class == ident[EI_CLASS] && data == ELFDATA2LSB && version == EV_CURRENT);
        return;
    case QUENZA_BAD_VERSION:
        CHECK(elf_class == ident[EI_CLASS] && data == ident[EI_DATA] &&
              version == ident[EI_VERSION] && version != EV_CURRENT);
        return;
    case 0: // accepted, but the file ends inside the header
        CHECK(size_ < (ident[EI_CLASS] == ELFCLASS64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr)));
        CHECK(elf_class == ident[EI_CLASS] && data == ident[EI_DATA] && version == EV_CURRENT);
        return;
    default:
        CHECK(result == 1);
        CHECK(elf_class == ident[EI_CLASS] && data == ident[EI_DATA] && version == EV_CURRENT);
        CHECK(std::memcmp(header_.e_ident, ident, EI_NIDENT) == 0);
    }
    class_ = elf_class;
    data_encoding_ = data;
    wide_ = elf_class == ELFCLASS64;
    ehdrs_.records.push_back(header_);
    ehdrs_.offsets.push_back(0);
    read_header_fields();

    // Section headers. With more than SHN_LORESERVE sections e_shnum is 0 and the first header's
    // sh_size holds the count; with PN_XNUM program headers, its sh_info holds theirs.
    std::uint64_t section_count = header_.e_shnum;
    std::uint64_t segment_count = header_.e_phnum;
    if (header_.e_shoff != 0) {
        Elf64_Shdr first;
        if ((section_count == 0 || segment_count == PN_XNUM) &&
            read_single(shdr_codec, shdrs_, header_.e_shoff, &first)) {
            if (section_count == 0) section_count = first.sh_size;
            if (segment_count == PN_XNUM) segment_count = first.sh_info;
        }
        const std::vector<Elf64_Shdr> sections =
            read_table(shdr_codec, shdrs_, header_.e_shoff, section_count);
        for (const Elf64_Shdr &section : sections)
            read_section(section);
    }
    if (header_.e_phoff != 0) {
        const std::vector<Elf64_Phdr> segments =
            read_table(phdr_codec, phdrs_, header_.e_phoff, segment_count);
        for (const Elf64_Phdr &segment : segments)
            if (segment.p_type == PT_DYNAMIC) read_dynamic(segment.p_offset, segment.p_filesz);
    }

    round_trip(ehdrs_);
    round_trip(shdrs_);
    round_trip(phdrs_);
    round_trip(syms_);
    round_trip(syminfos_);
    round_trip(rels_);
    round_trip(relas_);
    round_trip(dyns_);
    round_trip(verdefs_);
    round_trip(verdauxes_);
    round_trip(verneeds_);
    round_trip(vernauxes_);
    round_trip(halves_);
    round_trip(words_);
    round_trip(swords_);
    round_trip(xwords_);
    round_trip(sxwords_);
    round_trip(addrs_);
    round_trip(offs_);
    round_trip(versyms_);
}

template <typename T> void Reader::round_trip(const Batch<T> &batch) const {
    if (batch.records.empty()) return;
    for (const int elf_class : {ELFCLASS32, ELFCLASS64})
        for (const int data : {ELFDATA2LSB, ELFDATA2MSB})
            round_trip(batch, elf_class, data);
}

// Writes the batch in one layout (with the table operation where there is one) and reads it back
// record by record. A 64-bit layout holds every value; a 32-bit one what narrow keeps, which for
// records read from a 32-bit file is all of them.
template <typename T>
void Reader::round_trip(const Batch<T> &batch, int elf_class, int data) const {
    static_assert(std::has_unique_object_representations_v<T>, "records are compared bytewise");
    const Codec<T> &codec = *batch.codec;
    const bool wide = elf_class == ELFCLASS64;
    const std::size_t record = wide ? codec.size64 : codec.size32;
    std::vector<T> records(batch.records);
    if constexpr (std::is_same_v<T, Elf64_Ehdr>) {
        // The header configures the codec from its own identification when written or read.
        for (Elf64_Ehdr &header : records) {
            header.e_ident[EI_CLASS] = static_cast<unsigned char>(elf_class);
            header.e_ident[EI_DATA] = static_cast<unsigned char>(data);
        }
    }
    const int count = static_cast<int>(records.size());
    std::vector<unsigned char> buffer(records.size() * record + 1);
    FILE *stream = fmemopen(buffer.data(), buffer.size(), "w+b");
    CHECK(stream != nullptr);
    CHECK(quenza_initialize_direct(static_cast<unsigned char>(elf_class),
                                   static_cast<unsigned char>(data), EV_CURRENT) == 0);
    int written = 0;
    if (codec.write_table != nullptr) {
        written = codec.write_table(stream, records.data(), count);
    } else {
        while (written < count && codec.write(stream, &records[written]) == 1)
            ++written;
    }
    CHECK(written == count);
    CHECK(std::fflush(stream) == 0);
    CHECK(static_cast<std::size_t>(std::ftell(stream)) == records.size() * record);
    std::rewind(stream);
    for (std::size_t i = 0; i < records.size(); ++i) {
        T back;
        std::memset(&back, 0x5a, sizeof back);
        CHECK(codec.read(stream, &back) == 1);
        const T expected = !wide && codec.narrow != nullptr ? codec.narrow(records[i]) : records[i];
        CHECK(std::memcmp(&back, &expected, sizeof(T)) == 0);
    }
    // In the file's own layout the records were read from, the bytes are the file's bytes.
    if (elf_class == class_ && data == data_encoding_) {
        for (std::size_t i = 0; i < records.size(); ++i)
            CHECK(std::memcmp(buffer.data() + i * record, data_ + batch.offsets[i], record) == 0);
    }
    std::fclose(stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    // fmemopen wants a writable buffer even to read.
    std::vector<unsigned char> input(data, data + size);
    FILE *file = fmemopen(input.data(), input.size(), "rb");
    if (file == nullptr) return 0;
    Reader(input.data(), input.size(), file).run();
    std::fclose(file);
    return 0;
}
