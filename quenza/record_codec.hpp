// The one conversion mechanism behind every quenza unit.
//
// Each record family is described as data: a Layout lists every field with its place in the
// native (Elf64, host-order) record, its offset and width in the 32-bit and the 64-bit file form,
// and how a 32-bit file value widens into the native field. The templates below expand such a
// table into straight-line code that reads, swaps, widens, narrows and writes one record with a
// single fread or fwrite.
//
// The 64-bit file form of every record is the native layout, so a 64-bit record is read straight
// into the caller's storage and swapped in place, and written from it directly when no swap is
// needed. Everything here has internal linkage: each unit's object exports only its operations.
#ifndef QUENZA_RECORD_CODEC_HPP
#define QUENZA_RECORD_CODEC_HPP

#include "quenza.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace {

// How a field's 32-bit file value becomes the native value on reading, and back on writing.
enum class Widen : unsigned char {
    Bytes,   // single bytes and byte arrays: copied, never swapped
    Same,    // same width in both classes: only swapped
    Zero,    // 4-byte file field, 8-byte native: zero-extended; written as the low 32 bits
    Sign,    // 4-byte signed file field, 8-byte native: sign-extended; written as the low 32 bits
    RelInfo, // r_info: ELF32 (symbol << 8 | type) <-> ELF64 (symbol << 32 | type)
};

struct Field {
    std::size_t native_offset;
    std::size_t native_width;
    std::size_t offset32;
    std::size_t width32;
    std::size_t offset64;
    std::size_t width64;
    Widen widen;
};

template <typename Native, std::size_t FieldCount> struct Layout {
    using Record = Native;
    std::size_t size32;
    std::size_t size64;
    std::array<Field, FieldCount> fields;
};

// One row of a record table: native place from the struct, file places as the ELF standard has
// them. The 64-bit columns are stated (so each table reads like the standard's) and checked
// against the native struct by valid_layout.
#define QUENZA_FIELD(Record, member, offset32, width32, offset64, width64, widen)                  \
    Field {                                                                                        \
        offsetof(Record, member), sizeof(Record::member), offset32, width32, offset64, width64,    \
            Widen::widen                                                                           \
    }

// Catches table typos at compile time: the 64-bit form must be the native layout, widths must
// match the widening kind, and the fields must tile both file forms exactly.
template <const auto &L> constexpr bool valid_layout() {
    if (L.size64 != sizeof(typename std::remove_cvref_t<decltype(L)>::Record)) return false;
    std::size_t total32 = 0;
    std::size_t total64 = 0;
    for (const Field &f : L.fields) {
        if (f.offset64 != f.native_offset || f.width64 != f.native_width) return false;
        if (f.offset32 + f.width32 > L.size32 || f.offset64 + f.width64 > L.size64) return false;
        const bool widens =
            f.widen == Widen::Zero || f.widen == Widen::Sign || f.widen == Widen::RelInfo;
        if (widens ? (f.width32 != 4 || f.width64 != 8) : f.width32 != f.width64) return false;
        if (f.widen == Widen::Same && f.width32 != 2 && f.width32 != 4 && f.width32 != 8)
            return false;
        for (const Field &g : L.fields) {
            if (&f == &g) continue;
            if (f.offset32 < g.offset32 + g.width32 && g.offset32 < f.offset32 + f.width32)
                return false;
            if (f.offset64 < g.offset64 + g.width64 && g.offset64 < f.offset64 + f.width64)
                return false;
        }
        total32 += f.width32;
        total64 += f.width64;
    }
    return total32 == L.size32 && total64 == L.size64;
}

// A record whose two file forms are identical needs no class: it is always read in place.
template <const auto &L> constexpr bool class_independent() {
    if (L.size32 != L.size64) return false;
    for (const Field &f : L.fields)
        if (f.offset32 != f.offset64 || f.width32 != f.width64) return false;
    return true;
}

template <std::size_t Width> struct UnsignedOf;
template <> struct UnsignedOf<2> { using type = std::uint16_t; };
template <> struct UnsignedOf<4> { using type = std::uint32_t; };
template <> struct UnsignedOf<8> { using type = std::uint64_t; };
template <std::size_t Width> using Unsigned = typename UnsignedOf<Width>::type;

template <std::size_t Width> inline Unsigned<Width> load(const unsigned char *at) {
    Unsigned<Width> value;
    std::memcpy(&value, at, Width);
    return value;
}

template <std::size_t Width> inline void store(unsigned char *at, Unsigned<Width> value) {
    std::memcpy(at, &value, Width);
}

inline std::uint16_t byteswap(std::uint16_t v) {
    return __builtin_bswap16(v);
}
inline std::uint32_t byteswap(std::uint32_t v) {
    return __builtin_bswap32(v);
}
inline std::uint64_t byteswap(std::uint64_t v) {
    return __builtin_bswap64(v);
}

// Reverses one field of a record in the 64-bit form, in place.
template <Field F> inline void swap_field(unsigned char *record) {
    if constexpr (F.widen != Widen::Bytes)
        store<F.width64>(record + F.offset64, byteswap(load<F.width64>(record + F.offset64)));
}

// 32-bit file field -> native field: swap at the file width first, then widen.
template <Field F>
inline void widen_field(const unsigned char *file, unsigned char *native, bool swap) {
    if constexpr (F.widen == Widen::Bytes) {
        std::memcpy(native + F.native_offset, file + F.offset32, F.width32);
    } else {
        auto value = load<F.width32>(file + F.offset32);
        if (swap) value = byteswap(value);
        std::uint64_t wide = value;
        if constexpr (F.widen == Widen::Sign)
            wide = static_cast<std::uint64_t>(static_cast<std::int32_t>(value));
        else if constexpr (F.widen == Widen::RelInfo)
            wide = (static_cast<std::uint64_t>(value >> 8) << 32) | (value & 0xffU);
        store<F.native_width>(native + F.native_offset,
                              static_cast<Unsigned<F.native_width>>(wide));
    }
}

// Native field -> 32-bit file field: narrow (or repack) first, then swap at the file width.
template <Field F>
inline void narrow_field(const unsigned char *native, unsigned char *file, bool swap) {
    if constexpr (F.widen == Widen::Bytes) {
        std::memcpy(file + F.offset32, native + F.native_offset, F.width32);
    } else {
        std::uint64_t wide = load<F.native_width>(native + F.native_offset);
        if constexpr (F.widen == Widen::RelInfo) wide = ((wide >> 32) << 8) + (wide & 0xffU);
        auto value = static_cast<Unsigned<F.width32>>(wide);
        if (swap) value = byteswap(value);
        store<F.width32>(file + F.offset32, value);
    }
}

template <const auto &L, std::size_t First, std::size_t... I>
inline void swap_fields(unsigned char *record, std::index_sequence<I...>) {
    (swap_field<L.fields[First + I]>(record), ...);
}

template <const auto &L, std::size_t First, std::size_t... I>
inline void widen_fields(const unsigned char *file, unsigned char *native, bool swap,
                         std::index_sequence<I...>) {
    (widen_field<L.fields[First + I]>(file, native, swap), ...);
}

template <const auto &L, std::size_t... I>
inline void narrow_fields(const unsigned char *native, unsigned char *file, bool swap,
                          std::index_sequence<I...>) {
    (narrow_field<L.fields[I]>(native, file, swap), ...);
}

// Copies one field of a record in the 64-bit form into a file-form buffer, reversed.
template <Field F> inline void swap_copy_field(const unsigned char *native, unsigned char *file) {
    if constexpr (F.widen == Widen::Bytes)
        std::memcpy(file + F.offset64, native + F.offset64, F.width64);
    else
        store<F.width64>(file + F.offset64, byteswap(load<F.width64>(native + F.offset64)));
}

template <const auto &L, std::size_t... I>
inline void swap_copy_fields(const unsigned char *native, unsigned char *file,
                             std::index_sequence<I...>) {
    (swap_copy_field<L.fields[I]>(native, file), ...);
}

// The settings as one call sees them; read once per call, not once per field.
struct Mode {
    bool wide; // the file form is the native (64-bit) layout
    bool swap; // the file's byte order differs from the host's
};

template <const auto &L> inline Mode current_mode() {
    return Mode{class_independent<L>() || _quenza_current_class == ELFCLASS64,
                _quenza_current_data != _quenza_native_data};
}

inline unsigned char *bytes_of(void *record) {
    return static_cast<unsigned char *>(record);
}
inline const unsigned char *bytes_of(const void *record) {
    return static_cast<const unsigned char *>(record);
}

template <const auto &L> using RecordOf = typename std::remove_cvref_t<decltype(L)>::Record;

// One record in a file form fixed at compile time: each of the four forms is its own straight-line
// code, and a table runs one of them in its loop without looking at the settings again.
// First > 0 skips the leading fields, whose bytes the caller has already read (the file header's
// identification); those fields must form the record's prefix.
template <const auto &L, bool Wide, bool Swap, std::size_t First = 0>
inline int read_as(FILE *stream, RecordOf<L> *record) {
    static_assert(valid_layout<L>(), "inconsistent record table");
    constexpr std::size_t skip32 = First == 0 ? 0 : L.fields[First].offset32;
    constexpr std::size_t skip64 = First == 0 ? 0 : L.fields[First].offset64;
    constexpr auto rest = std::make_index_sequence<L.fields.size() - First>{};
    if constexpr (Wide) {
        // Straight into the caller's record; a failed read may leave raw bytes there. Without a
        // swap the fread's item count is the result, so the fread is the operation's last step.
        const std::size_t items = fread(bytes_of(record) + skip64, L.size64 - skip64, 1, stream);
        if constexpr (Swap) {
            if (items != 1) [[unlikely]]
                return 0;
            swap_fields<L, First>(bytes_of(record), rest);
        }
        return static_cast<int>(items);
    } else {
        // Through a temporary, so a failed read leaves the caller's record unchanged.
        unsigned char file[L.size32];
        if (fread(file + skip32, L.size32 - skip32, 1, stream) != 1) [[unlikely]]
            return 0;
        widen_fields<L, First>(file, bytes_of(record), Swap, rest);
        return 1;
    }
}

// Writes one record with one fwrite, straight from the caller's storage when nothing changes.
template <const auto &L, bool Wide, bool Swap>
inline int write_as(FILE *stream, const RecordOf<L> *record) {
    static_assert(valid_layout<L>(), "inconsistent record table");
    constexpr auto all = std::make_index_sequence<L.fields.size()>{};
    if constexpr (Wide && !Swap) {
        return static_cast<int>(fwrite(record, L.size64, 1, stream));
    } else if constexpr (Wide) {
        unsigned char file[L.size64];
        swap_copy_fields<L>(bytes_of(record), file, all);
        return static_cast<int>(fwrite(file, L.size64, 1, stream));
    } else {
        unsigned char file[L.size32];
        narrow_fields<L>(bytes_of(record), file, Swap, all);
        return static_cast<int>(fwrite(file, L.size32, 1, stream));
    }
}

// Runs op(wide, swap) with the mode as compile-time constants. A class-independent record's mode
// is always wide, so its narrow forms fold away.
template <typename Op> inline int in_mode(Mode mode, Op op) {
    if (mode.wide)
        return mode.swap ? op(std::true_type{}, std::true_type{})
                         : op(std::true_type{}, std::false_type{});
    return mode.swap ? op(std::false_type{}, std::true_type{})
                     : op(std::false_type{}, std::false_type{});
}

template <const auto &L, std::size_t First = 0>
inline int read_record(FILE *stream, RecordOf<L> *record, Mode mode) {
    return in_mode(
        mode, [&](auto wide, auto swap) { return read_as<L, wide, swap, First>(stream, record); });
}

template <const auto &L>
inline int write_record(FILE *stream, const RecordOf<L> *record, Mode mode) {
    return in_mode(mode,
                   [&](auto wide, auto swap) { return write_as<L, wide, swap>(stream, record); });
}

// The converting forms of the single-record operations stay out of line, so that the plain form
// (64-bit, no swap) needs no stack frame: it tests the settings and calls fread or fwrite.
template <const auto &L, bool Wide, bool Swap>
[[gnu::noinline]] int read_converting(FILE *stream, RecordOf<L> *record) {
    return read_as<L, Wide, Swap>(stream, record);
}

template <const auto &L, bool Wide, bool Swap>
[[gnu::noinline]] int write_converting(FILE *stream, const RecordOf<L> *record) {
    return write_as<L, Wide, Swap>(stream, record);
}

template <const auto &L> inline int read_one(FILE *stream, RecordOf<L> *record) {
    return in_mode(current_mode<L>(), [&](auto wide, auto swap) {
        if constexpr (wide && !swap)
            return read_as<L, true, false>(stream, record);
        else
            return read_converting<L, wide, swap>(stream, record);
    });
}

template <const auto &L> inline int write_one(FILE *stream, const RecordOf<L> *record) {
    return in_mode(current_mode<L>(), [&](auto wide, auto swap) {
        if constexpr (wide && !swap)
            return write_as<L, true, false>(stream, record);
        else
            return write_converting<L, wide, swap>(stream, record);
    });
}

// Table operations: each element exactly as the single-record operation, stopping at the first
// failure. The stream's lock is taken once for the whole table, so each record's stdio call finds
// it already held and skips the atomic lock and unlock it would otherwise do.
template <const auto &L> inline int read_table(FILE *stream, RecordOf<L> *records, int count) {
    if (count <= 0) return 0;
    const Mode mode = current_mode<L>();
    flockfile(stream);
    const int done = in_mode(mode, [&](auto wide, auto swap) {
        int n = 0;
        while (n < count && read_as<L, wide, swap>(stream, records + n) == 1)
            ++n;
        return n;
    });
    funlockfile(stream);
    return done;
}

template <const auto &L>
inline int write_table(FILE *stream, const RecordOf<L> *records, int count) {
    if (count <= 0) return 0;
    const Mode mode = current_mode<L>();
    flockfile(stream);
    const int done = in_mode(mode, [&](auto wide, auto swap) {
        int n = 0;
        while (n < count && write_as<L, wide, swap>(stream, records + n) == 1)
            ++n;
        return n;
    });
    funlockfile(stream);
    return done;
}

// Whole records of the current file form in a section of size bytes; none for a negative size.
template <const auto &L> inline int count_records(int size) {
    if (size <= 0) return 0;
    return size / static_cast<int>(current_mode<L>().wide ? L.size64 : L.size32);
}

} // namespace

// The exported operations of a family, each a call into the templates above with its table. The
// name and the Elf64 type come from one token, so the two cannot disagree.
#define QUENZA_RECORD_OPERATIONS(Type, layout)                                                     \
    int quenza_read_##Type(FILE *stream, Elf64_##Type *record) {                                   \
        return read_one<layout>(stream, record);                                                   \
    }                                                                                              \
    int quenza_write_##Type(FILE *stream, const Elf64_##Type *record) {                            \
        return write_one<layout>(stream, record);                                                  \
    }

#define QUENZA_TABLE_OPERATIONS(Type, layout)                                                      \
    QUENZA_RECORD_OPERATIONS(Type, layout)                                                         \
    int quenza_read_##Type##s(FILE *stream, Elf64_##Type *records, int count) {                    \
        return read_table<layout>(stream, records, count);                                         \
    }                                                                                              \
    int quenza_write_##Type##s(FILE *stream, const Elf64_##Type *records, int count) {             \
        return write_table<layout>(stream, records, count);                                        \
    }

#endif // QUENZA_RECORD_CODEC_HPP
