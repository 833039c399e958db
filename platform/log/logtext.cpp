#include "platform/log/logtext.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "platform/config/zyformat.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include <bit>
#endif

namespace logtext {

namespace {

// What a byte asks of the scan.
enum : uint8_t { kPlain, kSpace, kBackslash, kHigh, kControl };

constexpr std::array<uint8_t, 256> classes() {
    std::array<uint8_t, 256> c{};
    for (int b = 0; b < 256; ++b)
        c[b] = b < 0x20 || b == 0x7F ? kControl
               : b >= 0x80           ? kHigh
               : b == ' '            ? kSpace
               : b == '\\'           ? kBackslash
                                     : kPlain;
    return c;
}
constexpr std::array<uint8_t, 256> kClass = classes();

constexpr char kHex[] = "0123456789ABCDEF";

// The size of the well-formed UTF-8 character that starts `s` when it may be written as it is; 0 when
// its first byte is escaped (a C1 control, U+2028 and U+2029 are escaped whole, byte by byte, as the
// bytes that follow a refused first byte are then stray continuation bytes).
size_t keptCharacter(const unsigned char* s, size_t size) {
    const unsigned char b = s[0];
    auto follows = [&](size_t n, unsigned char low, unsigned char high) {
        return n < size && s[n] >= low && s[n] <= high;
    };
    if (b >= 0xC2 && b <= 0xDF) {
        if (!follows(1, 0x80, 0xBF)) return 0;
        return b == 0xC2 && s[1] <= 0x9F ? 0 : 2;
    }
    if (b >= 0xE0 && b <= 0xEF) {
        // No overlong form (E0 below A0), no surrogate (ED above 9F).
        if (!follows(1, b == 0xE0 ? 0xA0 : 0x80, b == 0xED ? 0x9F : 0xBF) || !follows(2, 0x80, 0xBF))
            return 0;
        return b == 0xE2 && s[1] == 0x80 && (s[2] == 0xA8 || s[2] == 0xA9) ? 0 : 3;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        // No overlong form (F0 below 90), nothing past U+10FFFF (F4 above 8F).
        if (!follows(1, b == 0xF0 ? 0x90 : 0x80, b == 0xF4 ? 0x8F : 0xBF) || !follows(2, 0x80, 0xBF) ||
            !follows(3, 0x80, 0xBF))
            return 0;
        return 4;
    }
    return 0;
}

// How many bytes from `at` are written as they are, as one unit; 0 when the byte at `at` is escaped.
size_t keptUnit(const unsigned char* s, size_t at, size_t size, EForm form) {
    switch (kClass[s[at]]) {
        case kPlain:
            return 1;
        case kSpace:
            return form == EForm::kWord ? 0 : 1;
        case kBackslash:
            return at + 1 < size && s[at + 1] == 'x' ? 0 : 1;
        case kHigh:
            return keptCharacter(s + at, size - at);
        default:
            return 0;
    }
}

#if defined(__SSE2__)
// Non-zero in the bytes of `x` that are not plain printable ASCII (in a word, spaces too): those outside
// 0x20..0x7E (moved to 0..0x5E, the rest is left above it by an unsigned saturating subtraction) and
// backslashes. Written without signed compares, which the compiler turns into two instructions each.
template <EForm form>
inline __m128i lookAt(__m128i x) {
    const __m128i outside = _mm_subs_epu8(_mm_sub_epi8(x, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x5E));
    const __m128i marks = _mm_or_si128(outside, _mm_cmpeq_epi8(x, _mm_set1_epi8('\\')));
    return form == EForm::kWord ? _mm_or_si128(marks, _mm_cmpeq_epi8(x, _mm_set1_epi8(' '))) : marks;
}
// The bytes `marks` marks, as bits.
inline unsigned bitsOf(__m128i marks) {
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(marks, _mm_setzero_si128()))) & 0xFFFF;
}
inline __m128i load16(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
#endif

// The first byte from `from` that is not plain printable ASCII (a control, a backslash, a byte of
// UTF-8, a space in a word). Every line's text and tag is scanned: 64 bytes a step, then 16, the last
// few in one more step over the final 16, or over a copy of a shorter text padded with plain bytes.
template <EForm form>
inline size_t nextToLookAt(const unsigned char* s, size_t from, size_t size) {
#if defined(__SSE2__)
    if (size - from < 16) {
        if (from == size) return size;
        unsigned char padded[16];
        std::memset(padded, 'a', sizeof padded);
        std::memcpy(padded, s + from, size - from);
        const unsigned bits = bitsOf(lookAt<form>(load16(padded)));
        return bits ? from + static_cast<size_t>(std::countr_zero(bits)) : size;
    }
    for (; from + 64 <= size; from += 64) {
        const __m128i a = lookAt<form>(load16(s + from)), b = lookAt<form>(load16(s + from + 16)),
                      c = lookAt<form>(load16(s + from + 32)), d = lookAt<form>(load16(s + from + 48));
        if (bitsOf(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0) continue;
        const uint64_t bits =
            bitsOf(a) | uint64_t{bitsOf(b)} << 16 | uint64_t{bitsOf(c)} << 32 | uint64_t{bitsOf(d)} << 48;
        return from + static_cast<size_t>(std::countr_zero(bits));
    }
    for (; from + 16 <= size; from += 16)
        if (const unsigned bits = bitsOf(lookAt<form>(load16(s + from))))
            return from + static_cast<size_t>(std::countr_zero(bits));
    if (from == size) return size;
    // The bytes left, in the last 16 (those before `from` are not looked at again).
    const size_t last = size - 16;
    const unsigned bits = bitsOf(lookAt<form>(load16(s + last))) & (~0u << (from - last));
    return bits ? last + static_cast<size_t>(std::countr_zero(bits)) : size;
#else
    for (; from < size; ++from) {
        const uint8_t c = kClass[s[from]];
        if (c != kPlain && (c != kSpace || form == EForm::kWord)) return from;
    }
    return size;
#endif
}

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

template <EForm form>
size_t cleanPrefixOf(const unsigned char* s, size_t size) {
    for (size_t at = 0;;) {
        at = nextToLookAt<form>(s, at, size);
        if (at == size) return size;
        const size_t kept = keptUnit(s, at, size, form);
        if (kept == 0) return at;
        at += kept;
    }
}

}  // namespace

size_t cleanPrefix(std::string_view text, EForm form) {
    return form == EForm::kText ? cleanPrefixOf<EForm::kText>(bytesOf(text), text.size())
                                : cleanPrefixOf<EForm::kWord>(bytesOf(text), text.size());
}

size_t escapedSize(std::string_view text, EForm form) {
    const unsigned char* s = bytesOf(text);
    const size_t size = text.size();
    size_t at = cleanPrefix(text, form), written = at;
    while (at < size) {
        const size_t kept = keptUnit(s, at, size, form);
        written += kept > 0 ? kept : 4;
        at += kept > 0 ? kept : 1;
    }
    return written;
}

char* escapeInto(char* out, std::string_view text, EForm form) {
    const unsigned char* s = bytesOf(text);
    const size_t size = text.size();
    size_t at = cleanPrefix(text, form);
    std::memcpy(out, text.data(), at);
    out += at;
    while (at < size) {
        if (const size_t kept = keptUnit(s, at, size, form); kept > 0) {
            std::memcpy(out, s + at, kept);
            out += kept;
            at += kept;
            continue;
        }
        *out++ = '\\';
        *out++ = 'x';
        *out++ = kHex[s[at] >> 4];
        *out++ = kHex[s[at] & 15];
        ++at;
    }
    return out;
}

void appendEscaped(std::string& out, std::string_view text, EForm form) {
    const size_t clean = cleanPrefix(text, form);
    if (clean == text.size()) {
        out.append(text);
        return;
    }
    const size_t before = out.size();
    out.resize(before + escapedSize(text, form));
    escapeInto(out.data() + before, text, form);
}

std::string escaped(std::string_view text, EForm form) {
    std::string out;
    appendEscaped(out, text, form);
    return out;
}

size_t fittingPrefix(std::string_view text, size_t room) {
    const unsigned char* s = bytesOf(text);
    const size_t size = text.size();
    const size_t clean = cleanPrefix(text);
    if (clean >= room) {
        // Inside the clean start a continuation byte is always within a character: back up to its first.
        size_t at = std::min(room, size);
        while (at > 0 && at < clean && (s[at] & 0xC0) == 0x80) --at;
        return at;
    }
    size_t at = clean, written = clean;
    while (at < size) {
        const size_t kept = keptUnit(s, at, size, EForm::kText);
        const size_t cost = kept > 0 ? kept : 4;
        if (written + cost > room) break;
        written += cost;
        at += kept > 0 ? kept : 1;
    }
    return at;
}

bool unescape(std::string_view text, std::string& out, EForm form) {
    const unsigned char* s = bytesOf(text);
    const size_t size = text.size();
    auto hex = [](unsigned char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    out.clear();
    out.reserve(size);
    for (size_t at = 0; at < size;) {
        if (s[at] == '\\' && at + 1 < size && s[at + 1] == 'x') {
            if (at + 3 >= size || hex(s[at + 2]) < 0 || hex(s[at + 3]) < 0) return false;
            out.push_back(static_cast<char>(hex(s[at + 2]) * 16 + hex(s[at + 3])));
            at += 4;
            continue;
        }
        const size_t kept = keptUnit(s, at, size, form);
        if (kept == 0) return false;
        out.append(text.data() + at, kept);
        at += kept;
    }
    return true;
}

void printLine(FILE* file, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string line = escaped(zyFormatV(format, ap));
    va_end(ap);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}

}  // namespace logtext
