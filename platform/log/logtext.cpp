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

// The first byte from `from` that is not plain printable ASCII (a control, a backslash, a byte of
// UTF-8, a space in a word).
size_t nextToLookAt(const unsigned char* s, size_t from, size_t size, EForm form) {
#if defined(__SSE2__)
    if (form == EForm::kText) {
        // Signed: bytes from 0x80 are below 0x20 too.
        const __m128i low = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7F), backslash = _mm_set1_epi8('\\');
        for (; from + 16 <= size; from += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + from));
            const __m128i hit = _mm_or_si128(
                _mm_cmplt_epi8(x, low), _mm_or_si128(_mm_cmpeq_epi8(x, del), _mm_cmpeq_epi8(x, backslash)));
            if (const int bits = _mm_movemask_epi8(hit))
                return from + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(bits)));
        }
    }
#endif
    for (; from < size; ++from) {
        const uint8_t c = kClass[s[from]];
        if (c != kPlain && (c != kSpace || form == EForm::kWord)) return from;
    }
    return size;
}

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

size_t cleanPrefix(std::string_view text, EForm form) {
    const unsigned char* s = bytesOf(text);
    const size_t size = text.size();
    for (size_t at = nextToLookAt(s, 0, size, form); at < size; at = nextToLookAt(s, at, size, form)) {
        const size_t kept = keptUnit(s, at, size, form);
        if (kept == 0) return at;
        at += kept;
    }
    return size;
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
