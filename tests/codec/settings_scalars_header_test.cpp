// The codec settings, the scalar fields and the file header: what configures the codec, what
// each initialisation result leaves behind, and the header's two-step read.
#include "codec_test_support.hpp"

namespace {

struct Settings {
    unsigned char elf_class, data, version;
    bool operator==(const Settings &) const = default;
};
std::ostream &operator<<(std::ostream &out, const Settings &s) {
    return out << "class " << int{s.elf_class} << ", data " << int{s.data} << ", version "
               << int{s.version};
}
Settings settings() {
    Settings s{};
    quenza_getsettings(&s.elf_class, &s.data, &s.version);
    return s;
}

ByteVector ident(unsigned char elf_class, unsigned char data, unsigned char version) {
    return {ELFMAG0, ELFMAG1, ELFMAG2, ELFMAG3, elf_class, data, version, 0,
            0,       0,       0,       0,       0,         0,    0,       0};
}

TEST(Settings, EachInitialisationResultLeavesWhatItStored) {
    ASSERT_EQ(quenza_initialize_direct(ELFCLASS64, ELFDATA2LSB, EV_CURRENT), 0);
    EXPECT_EQ(_quenza_native_data, ELFDATA2LSB);
    EXPECT_EQ(settings(), (Settings{2, 1, 1}));

    EXPECT_EQ(quenza_initialize_direct(3, ELFDATA2MSB, EV_CURRENT), QUENZA_BAD_CLASS);
    EXPECT_EQ(settings(), (Settings{2, 1, 1}));
    EXPECT_EQ(quenza_initialize_direct(ELFCLASSNONE, ELFDATA2MSB, EV_CURRENT), QUENZA_BAD_CLASS);
    EXPECT_EQ(settings(), (Settings{2, 1, 1}));

    // The new class stays; data and version are the previous ones.
    EXPECT_EQ(quenza_initialize_direct(ELFCLASS32, ELFDATANONE, 7), QUENZA_BAD_DATA);
    EXPECT_EQ(settings(), (Settings{1, 1, 1}));
    EXPECT_EQ(quenza_initialize_direct(ELFCLASS64, 3, 7), QUENZA_BAD_DATA);
    EXPECT_EQ(settings(), (Settings{2, 1, 1}));

    // Class, data and the bad version all stay in force.
    EXPECT_EQ(quenza_initialize_direct(ELFCLASS32, ELFDATA2MSB, 0), QUENZA_BAD_VERSION);
    EXPECT_EQ(settings(), (Settings{1, 2, 0}));
    EXPECT_EQ(_quenza_native_data, ELFDATA2LSB);
}

TEST(Settings, IdentificationIsCheckedMagicFirst) {
    ASSERT_EQ(quenza_initialize_direct(ELFCLASS32, ELFDATA2MSB, EV_CURRENT), 0);
    ByteVector bad = ident(ELFCLASS64, ELFDATA2LSB, EV_CURRENT);
    bad[3] = 'G';
    EXPECT_EQ(quenza_initialize_ident(bad.data()), QUENZA_BAD_MAGIC);
    EXPECT_EQ(settings(), (Settings{1, 2, 1}));

    // Only bytes 0 to 6 are read: a seven-byte array is enough (ASan builds would see more).
    const ByteVector good = ident(ELFCLASS64, ELFDATA2LSB, 9);
    const std::unique_ptr<unsigned char[]> seven(new unsigned char[7]);
    std::memcpy(seven.get(), good.data(), 7);
    EXPECT_EQ(quenza_initialize_ident(seven.get()), QUENZA_BAD_VERSION);
    EXPECT_EQ(settings(), (Settings{2, 1, 9}));
    EXPECT_EQ(quenza_initialize_ident(ident(ELFCLASS32, 0, 1).data()), QUENZA_BAD_DATA);
    EXPECT_EQ(quenza_initialize_ident(ident(0, 1, 1).data()), QUENZA_BAD_CLASS);
    EXPECT_EQ(settings(), (Settings{1, 1, 9}));
}

TEST(Settings, QueryStoresOnlyWhereAsked) {
    ASSERT_EQ(quenza_initialize_direct(ELFCLASS64, ELFDATA2MSB, EV_CURRENT), 0);
    quenza_getsettings(nullptr, nullptr, nullptr);
    unsigned char data = 0;
    quenza_getsettings(nullptr, &data, nullptr);
    EXPECT_EQ(data, ELFDATA2MSB);
}

// Scalars: fixed widths in both classes, Addr and Off following the class.
TEST(Scalars, EveryFieldInEveryLayout) {
    for (const FileLayout &layout : all_layouts) {
        SCOPED_TRACE(layout.name);
        layout.select();
        const Elf64_Half half = 0x8182;
        const Elf64_Word word = 0x91929394U;
        const Elf64_Sword sword = -0x12345678;
        const Elf64_Xword xword = 0xA1A2A3A4A5A6A7A8ULL;
        const Elf64_Sxword sxword = -0x123456789ABCDEFLL;
        const Elf64_Addr addr = layout.wide() ? 0xB1B2B3B4B5B6B7B8ULL : 0xB5B6B7B8U;
        const Elf64_Off off = layout.wide() ? 0xC1C2C3C4C5C6C7C8ULL : 0xC5C6C7C8U;
        const Elf64_Versym versym = 0x8001;
        const ByteVector expected = FileBytes(layout)
                                        .half(half)
                                        .word(word)
                                        .word(static_cast<Elf64_Word>(sword))
                                        .xword(xword)
                                        .xword(static_cast<Elf64_Xword>(sxword))
                                        .addr(addr)
                                        .addr(off)
                                        .half(versym)
                                        .bytes();
        EXPECT_EQ(written_by([&](FILE *s) {
                      EXPECT_EQ(quenza_write_Half(s, &half) + quenza_write_Word(s, &word) +
                                    quenza_write_Sword(s, &sword) + quenza_write_Xword(s, &xword) +
                                    quenza_write_Sxword(s, &sxword) + quenza_write_Addr(s, &addr) +
                                    quenza_write_Off(s, &off) + quenza_write_Versym(s, &versym),
                                8);
                  }),
                  expected);

        InputStream in(expected);
        Elf64_Half half_read = 0;
        Elf64_Word word_read = 0;
        Elf64_Sword sword_read = 0;
        Elf64_Xword xword_read = 0;
        Elf64_Sxword sxword_read = 0;
        Elf64_Addr addr_read = 0;
        Elf64_Off off_read = 0;
        Elf64_Versym versym_read = 0;
        EXPECT_EQ(quenza_read_Half(in.get(), &half_read) + quenza_read_Word(in.get(), &word_read) +
                      quenza_read_Sword(in.get(), &sword_read) +
                      quenza_read_Xword(in.get(), &xword_read) +
                      quenza_read_Sxword(in.get(), &sxword_read) +
                      quenza_read_Addr(in.get(), &addr_read) +
                      quenza_read_Off(in.get(), &off_read) +
                      quenza_read_Versym(in.get(), &versym_read),
                  8);
        EXPECT_EQ(half_read, half);
        EXPECT_EQ(word_read, word);
        EXPECT_EQ(sword_read, sword);
        EXPECT_EQ(xword_read, xword);
        EXPECT_EQ(sxword_read, sxword);
        EXPECT_EQ(addr_read, addr); // 32-bit: zero-extended despite the top bit
        EXPECT_EQ(off_read, off);
        EXPECT_EQ(versym_read, versym);
        EXPECT_EQ(quenza_read_Versym(in.get(), &versym_read), 0);
    }
}

TEST(Scalars, NarrowingAndShortReads) {
    FileLayout{ELFCLASS32, ELFDATA2MSB, ""}.select();
    const Elf64_Off off = 0x0000000123456789ULL;
    EXPECT_EQ(written_by([&](FILE *s) { quenza_write_Off(s, &off); }),
              (ByteVector{0x23, 0x45, 0x67, 0x89}));

    // A converted field (32-bit Addr) is untouched by a failed read.
    Elf64_Addr addr = 0x1111;
    InputStream three({1, 2, 3});
    EXPECT_EQ(quenza_read_Addr(three.get(), &addr), 0);
    EXPECT_EQ(addr, 0x1111U);

    // A field read in place may hold the byte that arrived before the end.
    Elf64_Half half = 0;
    InputStream one({0xab});
    EXPECT_EQ(quenza_read_Half(one.get(), &half), 0);
    EXPECT_EQ(half & 0xff, 0xab);
    EXPECT_EQ(quenza_read_Half(one.get(), &half), 0);
}

// The header: reading configures the codec for the records that follow.
TEST(Header, ReadingConfiguresTheFileLayout) {
    for (const FileLayout &layout : all_layouts) {
        SCOPED_TRACE(layout.name);
        const FileLayout other = all_layouts[3 - (&layout - all_layouts)];
        other.select();
        ByteVector file = ident(layout.elf_class, layout.data, EV_CURRENT);
        FileBytes rest(layout);
        rest.half(ET_DYN)
            .half(EM_S390)
            .word(1)
            .addr(0x1000)
            .addr(64)
            .addr(0x2000)
            .word(0)
            .half(layout.wide() ? 64 : 52)
            .half(layout.wide() ? 56 : 32)
            .half(3)
            .half(layout.wide() ? 64 : 40)
            .half(4)
            .half(3);
        rest.half(0xabcd); // the first field of the next record
        file.insert(file.end(), rest.bytes().begin(), rest.bytes().end());

        InputStream in(file);
        Elf64_Ehdr header;
        ASSERT_EQ(quenza_read_Ehdr(in.get(), &header), 1);
        EXPECT_EQ(settings(), (Settings{layout.elf_class, layout.data, 1}));
        EXPECT_EQ(header.e_machine, EM_S390);
        EXPECT_EQ(header.e_shoff, 0x2000U);
        EXPECT_EQ(header.e_ehsize, layout.wide() ? 64 : 52); // as the file has it
        EXPECT_EQ(header.e_shstrndx, 3);
        Elf64_Half next = 0;
        ASSERT_EQ(quenza_read_Half(in.get(), &next), 1);
        EXPECT_EQ(next, 0xabcd);
    }
}

TEST(Header, RejectedIdentifications) {
    FileLayout{ELFCLASS64, ELFDATA2LSB, ""}.select();
    Elf64_Ehdr header{};

    // Not ELF: nothing changes and the stream stands past the identification.
    ByteVector not_elf = ident(ELFCLASS32, ELFDATA2MSB, EV_CURRENT);
    not_elf[0] = 'M';
    not_elf.resize(64);
    InputStream bad_magic(not_elf);
    EXPECT_EQ(quenza_read_Ehdr(bad_magic.get(), &header), QUENZA_BAD_MAGIC);
    EXPECT_EQ(bad_magic.position(), 16);
    EXPECT_EQ(settings(), (Settings{2, 1, 1}));

    // A bad version returns -6 with the identification in the header and its layout in force.
    ByteVector version0 = ident(ELFCLASS32, ELFDATA2MSB, 0);
    version0.resize(52);
    InputStream bad_version(version0);
    EXPECT_EQ(quenza_read_Ehdr(bad_version.get(), &header), QUENZA_BAD_VERSION);
    EXPECT_EQ(std::memcmp(header.e_ident, version0.data(), EI_NIDENT), 0);
    EXPECT_EQ(settings(), (Settings{1, 2, 0}));
    EXPECT_EQ(bad_version.position(), 16);

    // Too short for an identification: 0, and the settings as they were.
    ByteVector cut_ident = ident(ELFCLASS64, ELFDATA2LSB, EV_CURRENT);
    cut_ident.resize(10);
    InputStream short_ident(cut_ident);
    EXPECT_EQ(quenza_read_Ehdr(short_ident.get(), &header), 0);
    EXPECT_EQ(settings(), (Settings{1, 2, 0}));

    // Only the identification: 0, but that file's layout is already in force.
    InputStream ident_only(ident(ELFCLASS64, ELFDATA2LSB, EV_CURRENT));
    EXPECT_EQ(quenza_read_Ehdr(ident_only.get(), &header), 0);
    EXPECT_EQ(settings(), (Settings{2, 1, 1}));
}

TEST(Header, WritingFollowsTheHeadersOwnIdentification) {
    FileLayout{ELFCLASS64, ELFDATA2MSB, ""}.select();
    Elf64_Ehdr header{};
    const ByteVector id = ident(ELFCLASS32, ELFDATA2LSB, EV_CURRENT);
    std::memcpy(header.e_ident, id.data(), EI_NIDENT);
    header.e_entry = 0x100001000ULL; // 4 GiB + 4 KiB
    const ByteVector bytes =
        written_by([&](FILE *s) { EXPECT_EQ(quenza_write_Ehdr(s, &header), 1); });
    ASSERT_EQ(bytes.size(), 52U);
    EXPECT_EQ(ByteVector(bytes.begin() + 24, bytes.begin() + 28), (ByteVector{0, 0x10, 0, 0}));
    EXPECT_EQ(settings(), (Settings{1, 1, 1}));

    // An identification that is not fully accepted writes nothing.
    for (const ByteVector &rejected :
         {ident(ELFCLASS64, ELFDATA2LSB, 2), ident(3, ELFDATA2LSB, 1), ident(2, 0, 1)}) {
        std::memcpy(header.e_ident, rejected.data(), EI_NIDENT);
        EXPECT_TRUE(
            written_by([&](FILE *s) { EXPECT_EQ(quenza_write_Ehdr(s, &header), 0); }).empty());
    }
}

} // namespace
