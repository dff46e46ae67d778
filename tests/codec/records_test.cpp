// Every record family in all four layouts: exact file bytes both ways, field order, extension,
// narrowing, r_info repacking, tables cut short, and the counting operations.
#include "codec_test_support.hpp"

#include <array>

namespace {

// Distinct field values with the top bit of their file width set, so that a swapped field, a
// wrong offset or a wrong extension shows. 32-bit layouts get values that fit their fields.
std::uint64_t wide(const FileLayout &layout, unsigned n) {
    return layout.wide() ? 0xF1E2D3C4B5A69780ULL + n : 0xF1E2D3C0U + n;
}
std::uint32_t word_value(unsigned n) {
    return 0xC1B2A390U + n;
}
std::uint16_t half_value(unsigned n) {
    return static_cast<std::uint16_t>(0xA190U + n);
}

// The operations of a family, named from its type as the library names them.
#define RECORD_FAMILY(Type)                                                                        \
    using Record = Elf64_##Type;                                                                   \
    static constexpr const char *name = #Type;                                                     \
    static constexpr auto read = quenza_read_##Type;                                               \
    static constexpr auto write = quenza_write_##Type;
#define TABLE_FAMILY(Type)                                                                         \
    RECORD_FAMILY(Type)                                                                            \
    static constexpr auto read_table = quenza_read_##Type##s;                                      \
    static constexpr auto write_table = quenza_write_##Type##s;

// Each family: how to make a sample record for a layout, and the bytes the ELF standard says
// that record has in the layout (written out field by field, independently of the library).
struct ShdrFamily {
    TABLE_FAMILY(Shdr)
    static Record sample(const FileLayout &l, unsigned n) {
        return {word_value(n),  word_value(n + 1), wide(l, n + 2),    wide(l, n + 3),
                wide(l, n + 4), wide(l, n + 5),    word_value(n + 6), word_value(n + 7),
                wide(l, n + 8), wide(l, n + 9)};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        return FileBytes(l)
            .word(r.sh_name)
            .word(r.sh_type)
            .addr(r.sh_flags)
            .addr(r.sh_addr)
            .addr(r.sh_offset)
            .addr(r.sh_size)
            .word(r.sh_link)
            .word(r.sh_info)
            .addr(r.sh_addralign)
            .addr(r.sh_entsize)
            .bytes();
    }
};

struct PhdrFamily {
    TABLE_FAMILY(Phdr)
    static Record sample(const FileLayout &l, unsigned n) {
        return {word_value(n),  word_value(n + 1), wide(l, n + 2), wide(l, n + 3),
                wide(l, n + 4), wide(l, n + 5),    wide(l, n + 6), wide(l, n + 7)};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        FileBytes b(l);
        if (l.wide())
            b.word(r.p_type).word(r.p_flags);
        else
            b.word(r.p_type);
        b.addr(r.p_offset).addr(r.p_vaddr).addr(r.p_paddr).addr(r.p_filesz).addr(r.p_memsz);
        if (!l.wide()) b.word(r.p_flags);
        return b.addr(r.p_align).bytes();
    }
};

struct SymFamily {
    TABLE_FAMILY(Sym)
    static Record sample(const FileLayout &l, unsigned n) {
        return {word_value(n),
                static_cast<unsigned char>(0x12 + n),
                static_cast<unsigned char>(0x83 + n),
                half_value(n + 3),
                wide(l, n + 4),
                wide(l, n + 5)};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        FileBytes b(l);
        if (l.wide())
            return b.word(r.st_name)
                .byte(r.st_info)
                .byte(r.st_other)
                .half(r.st_shndx)
                .xword(r.st_value)
                .xword(r.st_size)
                .bytes();
        return b.word(r.st_name)
            .word(r.st_value)
            .word(r.st_size)
            .byte(r.st_info)
            .byte(r.st_other)
            .half(r.st_shndx)
            .bytes();
    }
};

struct SyminfoFamily {
    TABLE_FAMILY(Syminfo)
    static Record sample(const FileLayout &, unsigned n) {
        return {half_value(n), half_value(n + 1)};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        return FileBytes(l).half(r.si_boundto).half(r.si_flags).bytes();
    }
};

// r_info samples: any value in the 64-bit class; in the 32-bit class a symbol below 2^24 and a
// type below 256, which the 32-bit word holds exactly.
std::uint64_t info_value(const FileLayout &l, unsigned n) {
    return l.wide() ? 0x8877665544332211ULL + n : ELF64_R_INFO(0xABCDE0U + n, 0x90U + n);
}
FileBytes &put_info(FileBytes &b, const FileLayout &l, std::uint64_t info) {
    if (l.wide()) return b.xword(info);
    return b.word((ELF64_R_SYM(info) << 8) | ELF64_R_TYPE(info));
}

struct RelFamily {
    TABLE_FAMILY(Rel)
    static Record sample(const FileLayout &l, unsigned n) {
        return {wide(l, n), info_value(l, n + 1)};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        FileBytes b(l);
        return put_info(b.addr(r.r_offset), l, r.r_info).bytes();
    }
};

struct RelaFamily {
    TABLE_FAMILY(Rela)
    static Record sample(const FileLayout &l, unsigned n) {
        // A negative addend: the 32-bit file value must sign-extend.
        const Elf64_Sxword addend = l.wide() ? -0x123456789ABCDEFLL - n : -0x1234567LL - n;
        return {wide(l, n), info_value(l, n + 1), addend};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        FileBytes b(l);
        put_info(b.addr(r.r_offset), l, r.r_info);
        return b.addr(static_cast<std::uint64_t>(r.r_addend)).bytes();
    }
};

struct DynFamily {
    TABLE_FAMILY(Dyn)
    static Record sample(const FileLayout &l, unsigned n) {
        // A negative tag sign-extends; the value beside it (top bit set) zero-extends.
        Record r{};
        r.d_tag = l.wide() ? -0x7EDCBA9876543210LL - n : -0x76543210LL - n;
        r.d_un.d_val = wide(l, n + 1);
        return r;
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        return FileBytes(l).addr(static_cast<std::uint64_t>(r.d_tag)).addr(r.d_un.d_val).bytes();
    }
};

struct EhdrFamily {
    RECORD_FAMILY(Ehdr)
    static Record sample(const FileLayout &l, unsigned n) {
        Record r{};
        const unsigned char ident[EI_NIDENT] = {
            ELFMAG0, ELFMAG1, ELFMAG2, ELFMAG3, l.elf_class, l.data, EV_CURRENT, 0x61,
            1,       2,       3,       4,       5,           6,      7,          8};
        std::memcpy(r.e_ident, ident, EI_NIDENT);
        r.e_type = half_value(n);
        r.e_machine = half_value(n + 1);
        r.e_version = word_value(n + 2);
        r.e_entry = wide(l, n + 3);
        r.e_phoff = wide(l, n + 4);
        r.e_shoff = wide(l, n + 5);
        r.e_flags = word_value(n + 6);
        r.e_ehsize = half_value(n + 7);
        r.e_phentsize = half_value(n + 8);
        r.e_phnum = half_value(n + 9);
        r.e_shentsize = half_value(n + 10);
        r.e_shnum = half_value(n + 11);
        r.e_shstrndx = half_value(n + 12);
        return r;
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        return FileBytes(l)
            .raw(ByteVector(r.e_ident, r.e_ident + EI_NIDENT))
            .half(r.e_type)
            .half(r.e_machine)
            .word(r.e_version)
            .addr(r.e_entry)
            .addr(r.e_phoff)
            .addr(r.e_shoff)
            .word(r.e_flags)
            .half(r.e_ehsize)
            .half(r.e_phentsize)
            .half(r.e_phnum)
            .half(r.e_shentsize)
            .half(r.e_shnum)
            .half(r.e_shstrndx)
            .bytes();
    }
};

struct VerdefFamily {
    RECORD_FAMILY(Verdef)
    static Record sample(const FileLayout &, unsigned n) {
        return {half_value(n),     half_value(n + 1), half_value(n + 2), half_value(n + 3),
                word_value(n + 4), word_value(n + 5), word_value(n + 6)};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        return FileBytes(l)
            .half(r.vd_version)
            .half(r.vd_flags)
            .half(r.vd_ndx)
            .half(r.vd_cnt)
            .word(r.vd_hash)
            .word(r.vd_aux)
            .word(r.vd_next)
            .bytes();
    }
};

struct VerdauxFamily {
    RECORD_FAMILY(Verdaux)
    static Record sample(const FileLayout &, unsigned n) {
        return {word_value(n), word_value(n + 1)};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        return FileBytes(l).word(r.vda_name).word(r.vda_next).bytes();
    }
};

struct VerneedFamily {
    RECORD_FAMILY(Verneed)
    static Record sample(const FileLayout &, unsigned n) {
        return {half_value(n), half_value(n + 1), word_value(n + 2), word_value(n + 3),
                word_value(n + 4)};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        return FileBytes(l)
            .half(r.vn_version)
            .half(r.vn_cnt)
            .word(r.vn_file)
            .word(r.vn_aux)
            .word(r.vn_next)
            .bytes();
    }
};

struct VernauxFamily {
    RECORD_FAMILY(Vernaux)
    static Record sample(const FileLayout &, unsigned n) {
        return {word_value(n), half_value(n + 1), half_value(n + 2), word_value(n + 3),
                word_value(n + 4)};
    }
    static ByteVector encode(const FileLayout &l, const Record &r) {
        return FileBytes(l)
            .word(r.vna_hash)
            .half(r.vna_flags)
            .half(r.vna_other)
            .word(r.vna_name)
            .word(r.vna_next)
            .bytes();
    }
};

struct FamilyName {
    template <typename Family> static std::string GetName(int) { return Family::name; }
};

template <typename Family> class EveryRecord : public testing::Test {};
using AllFamilies = testing::Types<EhdrFamily, ShdrFamily, PhdrFamily, SymFamily, SyminfoFamily,
                                   RelFamily, RelaFamily, DynFamily, VerdefFamily, VerdauxFamily,
                                   VerneedFamily, VernauxFamily>;
TYPED_TEST_SUITE(EveryRecord, AllFamilies, FamilyName);

// One record each way in every layout: the bytes written are exactly the standard's, the record
// read from them is the one written, and the stream moves by exactly one record.
TYPED_TEST(EveryRecord, WritesTheStandardBytesAndReadsThemBack) {
    using Record = typename TypeParam::Record;
    for (const FileLayout &layout : all_layouts) {
        SCOPED_TRACE(layout.name);
        layout.select();
        const Record record = TypeParam::sample(layout, 0);
        const ByteVector expected = TypeParam::encode(layout, record);
        EXPECT_EQ(written_by([&](FILE *s) { EXPECT_EQ(TypeParam::write(s, &record), 1); }),
                  expected);

        InputStream in(expected);
        Record read;
        std::memset(&read, 0x5a, sizeof read);
        EXPECT_EQ(TypeParam::read(in.get(), &read), 1);
        EXPECT_SAME_RECORD(read, record);
        EXPECT_EQ(in.position(), static_cast<long>(expected.size()));
    }
}

// A read that hits the end of the file returns 0. A record converted through a temporary
// (32-bit class) is left as it was; one read in place keeps exactly the bytes that were there.
TYPED_TEST(EveryRecord, ShortReadReturnsZeroAndLeavesTheDocumentedState) {
    using Record = typename TypeParam::Record;
    for (const FileLayout &layout : all_layouts) {
        SCOPED_TRACE(layout.name);
        layout.select();
        const ByteVector full = TypeParam::encode(layout, TypeParam::sample(layout, 0));
        ByteVector cut(full.begin(), full.end() - 1);
        Record record;
        std::memset(&record, 0x5a, sizeof record);
        InputStream in(cut);
        EXPECT_EQ(TypeParam::read(in.get(), &record), 0);

        Record untouched;
        std::memset(&untouched, 0x5a, sizeof untouched);
        constexpr bool is_header = std::is_same_v<Record, Elf64_Ehdr>;
        const bool in_place = full.size() == sizeof(Record);
        // The header's identification is its own item and arrives whole before the rest fails.
        if (is_header) std::memcpy(&untouched, full.data(), EI_NIDENT);
        if (in_place) std::memcpy(&untouched, cut.data(), cut.size());
        EXPECT_SAME_RECORD(record, untouched);
    }
}

template <typename Family> class EveryTable : public testing::Test {};
using TableFamilies = testing::Types<ShdrFamily, PhdrFamily, SymFamily, SyminfoFamily, RelFamily,
                                     RelaFamily, DynFamily>;
TYPED_TEST_SUITE(EveryTable, TableFamilies, FamilyName);

TYPED_TEST(EveryTable, ReadsAndWritesWholeTables) {
    using Record = typename TypeParam::Record;
    for (const FileLayout &layout : all_layouts) {
        SCOPED_TRACE(layout.name);
        layout.select();
        std::array<Record, 4> table;
        ByteVector file;
        for (unsigned i = 0; i < table.size(); ++i) {
            table[i] = TypeParam::sample(layout, 10 * i);
            const ByteVector one = TypeParam::encode(layout, table[i]);
            file.insert(file.end(), one.begin(), one.end());
        }
        EXPECT_EQ(
            written_by([&](FILE *s) { EXPECT_EQ(TypeParam::write_table(s, table.data(), 4), 4); }),
            file);
        std::array<Record, 4> read{};
        InputStream in(file);
        EXPECT_EQ(TypeParam::read_table(in.get(), read.data(), 4), 4);
        for (unsigned i = 0; i < table.size(); ++i)
            EXPECT_SAME_RECORD(read[i], table[i]);

        // The count, not the file, bounds a table: three of four leave the fourth unread.
        std::array<Record, 4> three;
        std::memset(three.data(), 0x5a, sizeof three);
        const Record untouched = three[3];
        InputStream again(file);
        EXPECT_EQ(TypeParam::read_table(again.get(), three.data(), 3), 3);
        EXPECT_SAME_RECORD(three[2], table[2]);
        EXPECT_SAME_RECORD(three[3], untouched);
        EXPECT_EQ(again.position(), static_cast<long>(file.size() / 4 * 3));
    }
}

// A table cut short inside its third entry: two entries are read, the third is in the state a
// failed single read leaves, and the entries after it are not touched.
TYPED_TEST(EveryTable, StopsAtTheFirstFailedEntry) {
    using Record = typename TypeParam::Record;
    for (const FileLayout &layout : all_layouts) {
        SCOPED_TRACE(layout.name);
        layout.select();
        ByteVector file;
        for (unsigned i = 0; i < 3; ++i) {
            const ByteVector one = TypeParam::encode(layout, TypeParam::sample(layout, 10 * i));
            file.insert(file.end(), one.begin(), one.end());
        }
        const std::size_t record_size = file.size() / 3;
        const std::size_t kept = 2 * record_size + record_size / 2;
        file.resize(kept);

        std::array<Record, 5> read;
        std::memset(read.data(), 0x5a, sizeof read);
        InputStream in(file);
        EXPECT_EQ(TypeParam::read_table(in.get(), read.data(), 5), 2);
        EXPECT_SAME_RECORD(read[0], TypeParam::sample(layout, 0));
        EXPECT_SAME_RECORD(read[1], TypeParam::sample(layout, 10));
        Record untouched;
        std::memset(&untouched, 0x5a, sizeof untouched);
        Record failed = untouched;
        if (record_size == sizeof(Record))
            std::memcpy(&failed, file.data() + 2 * record_size, kept - 2 * record_size);
        EXPECT_SAME_RECORD(read[2], failed);
        EXPECT_SAME_RECORD(read[3], untouched);
        EXPECT_SAME_RECORD(read[4], untouched);

        // Writing stops at the first record the stream refuses, too.
        std::vector<unsigned char> room(kept);
        FILE *out = fmemopen(room.data(), room.size(), "wb");
        ASSERT_NE(out, nullptr);
        std::setvbuf(out, nullptr, _IONBF, 0);
        std::array<Record, 5> table;
        for (unsigned i = 0; i < table.size(); ++i)
            table[i] = TypeParam::sample(layout, 10 * i);
        EXPECT_EQ(TypeParam::write_table(out, table.data(), 5), 2);
        std::fclose(out);
    }
}

TYPED_TEST(EveryTable, NoCountDoesNoInputOrOutput) {
    for (const FileLayout &layout : all_layouts) {
        SCOPED_TRACE(layout.name);
        layout.select();
        InputStream in(ByteVector(64, 0x77));
        ASSERT_EQ(std::fgetc(in.get()), 0x77);
        // No record storage at all: a count of 0 or less must not touch it.
        for (int count : {0, -1, static_cast<int>(-2147483647 - 1)}) {
            EXPECT_EQ(TypeParam::read_table(in.get(), nullptr, count), 0);
            EXPECT_EQ(TypeParam::write_table(in.get(), nullptr, count), 0);
            EXPECT_EQ(in.position(), 1);
        }
        EXPECT_TRUE(written_by([](FILE *s) {
                        EXPECT_EQ(TypeParam::write_table(s, nullptr, 0), 0);
                    }).empty());
    }
}

// Fields the standard gives by example.
TEST(RecordBytes, RelocationInfoIsRepackedBetweenTheClasses) {
    FileLayout{ELFCLASS32, ELFDATA2LSB, ""}.select();
    Elf64_Rel rel;
    InputStream in({0, 0x10, 0, 0, 0x07, 0x2a, 0, 0});
    ASSERT_EQ(quenza_read_Rel(in.get(), &rel), 1);
    EXPECT_EQ(rel.r_info, (42ULL << 32) + 7);
    EXPECT_EQ(rel.r_offset, 0x1000U);

    // Written back as symbol * 256 + type; a symbol of 2^24 or more and a type above 255 lose
    // their high bits, without error.
    const Elf64_Rel big{0, ELF64_R_INFO(0x1000000U + 42, 0x107)};
    EXPECT_EQ(written_by([&](FILE *s) { EXPECT_EQ(quenza_write_Rel(s, &big), 1); }),
              (ByteVector{0, 0, 0, 0, 0x07, 0x2a, 0, 0}));
}

TEST(RecordBytes, SignedFieldsExtendInBothByteOrders) {
    for (const FileLayout &layout : {all_layouts[0], all_layouts[1]}) {
        SCOPED_TRACE(layout.name);
        layout.select();
        Elf64_Rela rela;
        InputStream rela_in(FileBytes(layout).word(0).word(0).word(0xfffffffcU).bytes());
        ASSERT_EQ(quenza_read_Rela(rela_in.get(), &rela), 1);
        EXPECT_EQ(rela.r_addend, -4);

        Elf64_Dyn dyn;
        InputStream dyn_in(ByteVector(8, 0xff));
        ASSERT_EQ(quenza_read_Dyn(dyn_in.get(), &dyn), 1);
        EXPECT_EQ(dyn.d_tag, -1);
        EXPECT_EQ(dyn.d_un.d_val, 0xffffffffULL);
    }
}

TEST(RecordBytes, NarrowingKeepsTheLowThirtyTwoBits) {
    const FileLayout big32{ELFCLASS32, ELFDATA2MSB, ""};
    big32.select();
    Elf64_Shdr shdr{};
    shdr.sh_size = 0x123456789ULL;
    const ByteVector bytes = written_by([&](FILE *s) { quenza_write_Shdr(s, &shdr); });
    EXPECT_EQ(ByteVector(bytes.begin() + 20, bytes.begin() + 24),
              (ByteVector{0x23, 0x45, 0x67, 0x89}));

    // A sign-extended 32-bit address written back is the original word.
    Elf64_Sym sym{};
    sym.st_value = 0xFFFFFFFF80001000ULL;
    sym.st_shndx = SHN_ABS;
    const ByteVector sym_bytes = written_by([&](FILE *s) { quenza_write_Sym(s, &sym); });
    EXPECT_EQ(ByteVector(sym_bytes.begin() + 4, sym_bytes.begin() + 8),
              (ByteVector{0x80, 0x00, 0x10, 0x00}));
    EXPECT_EQ(sym_bytes[14], 0xff);
    EXPECT_EQ(sym_bytes[15], 0xf1);
}

TEST(RecordBytes, VersionRecordsIgnoreTheClass) {
    const ByteVector verdef{0, 1, 0, 1, 0, 2, 0, 1, 0, 0, 0, 5, 0, 0, 0, 20, 0, 0, 0, 0};
    for (int elf_class : {ELFCLASS32, ELFCLASS64, ELFCLASSNONE}) {
        _quenza_current_class = static_cast<unsigned char>(elf_class);
        _quenza_current_data = ELFDATA2MSB;
        Elf64_Verdef record;
        InputStream in(verdef);
        ASSERT_EQ(quenza_read_Verdef(in.get(), &record), 1);
        EXPECT_EQ(record.vd_version, 1);
        EXPECT_EQ(record.vd_flags, 1);
        EXPECT_EQ(record.vd_ndx, 2);
        EXPECT_EQ(record.vd_cnt, 1);
        EXPECT_EQ(record.vd_aux, 20U);
    }
}

TEST(Counting, WholeRecordsOfTheCurrentClass) {
    FileLayout{ELFCLASS32, ELFDATA2LSB, ""}.select();
    EXPECT_EQ(quenza_count_Syms(100), 6);
    EXPECT_EQ(quenza_count_Dyns(40), 5);
    EXPECT_EQ(quenza_count_Syminfos(10), 2);
    FileLayout{ELFCLASS64, ELFDATA2MSB, ""}.select();
    EXPECT_EQ(quenza_count_Syms(100), 4);
    EXPECT_EQ(quenza_count_Dyns(40), 2);
    EXPECT_EQ(quenza_count_Syminfos(10), 2);
    EXPECT_EQ(quenza_count_Syms(2147483647), 2147483647 / 24);
    for (int size : {-1, -24, -2147483647 - 1}) {
        EXPECT_EQ(quenza_count_Syms(size), 0);
        EXPECT_EQ(quenza_count_Dyns(size), 0);
        EXPECT_EQ(quenza_count_Syminfos(size), 0);
    }
}

} // namespace
