// Fixed-layout records described once: a record's field list (an X-macro) yields its C++ struct,
// its layout table for the XDR codec and compile-time checks of every offset and of its size.
// Header only; the tables are constant and may be read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fsr {

// How a field travels: integers as XDR integers, strings as bounded XDR strings (a pointer
// field is sent as its text, a null pointer as the empty text), nested records field by field.
// Padding is not sent and arrives as zero.
enum class FieldKind : uint8_t { U64, U32, I32, Chars, Str, Rec, Pad };

struct TLayout;

struct TField {
    FieldKind kind;
    uint32_t offset;
    uint32_t size;   // bytes of one element (for Chars the array size, for Str the pointer size)
    uint32_t count;  // elements of a fixed array of integers, else 1
    uint32_t cap;    // longest text accepted for Chars (size - 1) and Str
    const TLayout* nested;
};

struct TLayout {
    const char* name;
    uint32_t size;
    const TField* fields;
    uint32_t fieldCount;
    uint32_t minEncoded;  // fewest encoded bytes of one record: bounds array counts before allocation
};

template <class T>
struct LayoutOf;  // specialised for every described record

constexpr uint32_t encodedMinimum(const TField* fields, uint32_t n) {
    uint32_t total = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const TField& f = fields[i];
        switch (f.kind) {
            case FieldKind::U64:
                total += 8 * f.count;
                break;
            case FieldKind::U32:
            case FieldKind::I32:
                total += 4 * f.count;
                break;
            case FieldKind::Chars:
            case FieldKind::Str:
                total += 4;
                break;
            case FieldKind::Rec:
                total += f.nested->minEncoded;
                break;
            case FieldKind::Pad:
                break;
        }
    }
    return total;
}

// True when the fields cover the record from offset 0 to its end without gap or overlap.
constexpr bool contiguous(const TField* fields, uint32_t n, uint32_t size) {
    uint32_t at = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (fields[i].offset != at) return false;
        at += fields[i].size * fields[i].count;
    }
    return at == size;
}

}  // namespace fsr

// ---- the X-macro machinery ------------------------------------------------------------------
// A field list is a macro taking F and expanding F(kind, name, offset, arg) per field:
//   U64 / U32 / I32: arg is the element count (1 for a scalar)
//   CHARS: arg is the array size (text of at most size - 1 bytes, NUL-terminated)
//   STR: arg is the longest text accepted
//   REC: arg is the nested record type
//   PAD: arg is the byte count

#define FSR_MEMBER_U64(name, n) uint64_t name FSR_ARRAY_##n{};
#define FSR_MEMBER_U32(name, n) uint32_t name FSR_ARRAY_##n{};
#define FSR_MEMBER_I32(name, n) int32_t name FSR_ARRAY_##n{};
#define FSR_MEMBER_CHARS(name, n) char name[n]{};
#define FSR_MEMBER_STR(name, cap) const char* name{};
#define FSR_MEMBER_REC(name, T) T name{};
#define FSR_MEMBER_PAD(name, n) uint8_t name[n]{};
#define FSR_MEMBER(kind, name, off, arg) FSR_MEMBER_##kind(name, arg)

// Scalars are declared without brackets, fixed arrays with them.
#define FSR_ARRAY_1
#define FSR_ARRAY_2 [2]
#define FSR_ARRAY_3 [3]
#define FSR_ARRAY_4 [4]
#define FSR_ARRAY_22 [22]

#define FSR_ENTRY_U64(off, n) \
    { ::fsr::FieldKind::U64, off, 8, n, 0, nullptr }
#define FSR_ENTRY_U32(off, n) \
    { ::fsr::FieldKind::U32, off, 4, n, 0, nullptr }
#define FSR_ENTRY_I32(off, n) \
    { ::fsr::FieldKind::I32, off, 4, n, 0, nullptr }
#define FSR_ENTRY_CHARS(off, n) \
    { ::fsr::FieldKind::Chars, off, n, 1, (n)-1, nullptr }
#define FSR_ENTRY_STR(off, cap) \
    { ::fsr::FieldKind::Str, off, 8, 1, cap, nullptr }
#define FSR_ENTRY_REC(off, T) \
    { ::fsr::FieldKind::Rec, off, sizeof(T), 1, 0, &::fsr::LayoutOf<T>::layout }
#define FSR_ENTRY_PAD(off, n) \
    { ::fsr::FieldKind::Pad, off, n, 1, 0, nullptr }
#define FSR_ENTRY(kind, name, off, arg) FSR_ENTRY_##kind(off, arg),

#define FSR_CHECK_OFFSET(kind, name, off, arg) \
    static_assert(offsetof(Rec, name) == (off), "field offset differs from the wire record");

// Declares the struct of one record (every field zero when constructed).
#define FSR_DECLARE_STRUCT(Type, size, FIELDS) \
    struct Type {                              \
        FIELDS(FSR_MEMBER)                     \
    };

// Defines the record's layout table and checks it against the struct.
#define FSR_DEFINE_LAYOUT(Type, size, FIELDS)                                                    \
    template <>                                                                                  \
    struct fsr::LayoutOf<Type> {                                                                 \
        using Rec = Type;                                                                        \
        static_assert(sizeof(Rec) == (size), #Type " has the wrong size");                       \
        FIELDS(FSR_CHECK_OFFSET)                                                                 \
        static constexpr ::fsr::TField fields[] = {FIELDS(FSR_ENTRY)};                           \
        static constexpr uint32_t count = sizeof(fields) / sizeof(fields[0]);                    \
        static_assert(::fsr::contiguous(fields, count, size), #Type " has a gap in its fields"); \
        static constexpr ::fsr::TLayout layout{#Type, size, fields, count,                       \
                                               ::fsr::encodedMinimum(fields, count)};            \
    };
