#include "platform/msg/xml_scan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(__x86_64__) && __has_include(<sys/platform/x86.h>)
// A C header: _Bool is C's bool, which clang's C++ does not know.
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#endif

namespace xmlscan {

namespace {

enum : uint8_t { kSpace = 1, kNameStart = 2, kName = 4 };

// What each byte may be in the plain form: white space, or a name's first or later byte (ASCII only: a
// parser decides on any other).
constexpr std::array<uint8_t, 256> kClass = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned char c : {' ', '\t', '\r', '\n'}) t[c] |= kSpace;
    for (int c = 'a'; c <= 'z'; ++c) t[c] |= kNameStart | kName;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] |= kNameStart | kName;
    for (unsigned char c : {'_', ':'}) t[c] |= kNameStart | kName;
    for (int c = '0'; c <= '9'; ++c) t[c] |= kName;
    for (unsigned char c : {'-', '.'}) t[c] |= kName;
    return t;
}();

uint8_t classOf(char c) {
    return kClass[static_cast<unsigned char>(c)];
}

// The first of `a`, `b`, `c` in [from, end), or end: sixteen bytes are looked at a time (values and text
// run long between the bytes that end them).
inline const char* findAny(const char* from, const char* end, char a, char b, char c) {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
    for (; end - from >= 16; from += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)), _mm_cmpeq_epi8(x, vc));
        if (const int bits = _mm_movemask_epi8(hit))
            return from + std::countr_zero(static_cast<unsigned>(bits));
    }
#endif
    for (; from < end; ++from)
        if (*from == a || *from == b || *from == c) return from;
    return end;
}

// The first byte at or after `from` that is not a name byte (kName), or end: a name is classified sixteen
// bytes at a time, most at once.
inline const char* nameEnd(const char* from, const char* end) {
#if defined(__SSE2__)
    // Unsigned ranges as signed comparisons: a range's first value is moved to -128.
    const __m128i caseBit = _mm_set1_epi8(0x20);
    const __m128i toLetters = _mm_set1_epi8(static_cast<char>(-128 - 'a'));
    const __m128i letters = _mm_set1_epi8(static_cast<char>(-128 + 26));
    const __m128i toMarks = _mm_set1_epi8(static_cast<char>(-128 - '-'));  // '-' '.' '/' digits ':'
    const __m128i marks = _mm_set1_epi8(static_cast<char>(-128 + (':' - '-' + 1)));
    const __m128i slash = _mm_set1_epi8('/'), underscore = _mm_set1_epi8('_');
    for (; end - from >= 16; from += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const __m128i letter = _mm_cmplt_epi8(_mm_add_epi8(_mm_or_si128(x, caseBit), toLetters), letters);
        const __m128i mark =
            _mm_andnot_si128(_mm_cmpeq_epi8(x, slash), _mm_cmplt_epi8(_mm_add_epi8(x, toMarks), marks));
        const __m128i name = _mm_or_si128(_mm_or_si128(letter, mark), _mm_cmpeq_epi8(x, underscore));
        if (const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(name)) & 0xffffu)
            return from + std::countr_zero(other);
    }
#endif
    while (from < end && (classOf(*from) & kName)) ++from;
    return from;
}

// Deeper than any message: a parser decides.
constexpr size_t kMostDepth = 256;

// Where values in double quotes lie: [first, second).
using TValues = std::vector<std::pair<const char*, const char*>>;

#if defined(__SSE2__) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Where the processor has them, thirty-two bytes are compared in one step (as CScanner::sameRun does in
// two), unless a test asked for two. Asked of the C library, so that its masks (GLIBC_TUNABLES'
// glibc.cpu.hwcaps=-AVX2) hold here as they hold for its own string functions: the instruction check
// pins every process it counts to the same code path on any processor.
#if defined(CPU_FEATURE_ACTIVE)
const bool kHasAvx2 = CPU_FEATURE_ACTIVE(AVX2);
#else
const bool kHasAvx2 = __builtin_cpu_supports("avx2");
#endif
std::atomic<bool> g_oneStep{true};

__attribute__((target("avx2"))) size_t sameRunAvx2(const char* model, ptrdiff_t shift, const uint8_t* values,
                                                   size_t k, size_t last, unsigned& bad) {
    const __m256i four = _mm256_set1_epi8(4), amp = _mm256_set1_epi8('&'), open = _mm256_set1_epi8('<');
    for (; k <= last; k += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(model + k + shift));
        const __m256i same =
            _mm256_cmpeq_epi8(x, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(model + k)));
        const __m256i inValue = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + k));
        // '"' (0x22) and '&' (0x26) are the bytes that are '&' with bit 2 set.
        const __m256i stop =
            _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_or_si256(x, four), amp), _mm256_cmpeq_epi8(x, open));
        bad = ~static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_andnot_si256(_mm256_and_si256(stop, inValue), _mm256_or_si256(same, inValue))));
        if (bad != 0) break;
    }
    return k;
}
#elif defined(__SSE2__)
constexpr bool kHasAvx2 = false;
std::atomic<bool> g_oneStep{true};
size_t sameRunAvx2(const char*, ptrdiff_t, const uint8_t*, size_t k, size_t, unsigned&) {
    return k;
}
#endif

class CScanner {
public:
    CScanner(std::string_view text, std::string_view child, std::string_view list, TItems& out)
        : m_begin(text.data()),
          m_at(text.data()),
          m_end(text.data() + text.size()),
          m_child(child),
          m_list(list),
          m_out(out) {}

    bool run() {
        space();
        if (m_at == m_end || *m_at != '<') return false;
        for (;;) {
            if (m_at == m_end) return false;  // an element left open
            if (*m_at != '<') {
                if (!text()) return false;
                continue;
            }
            const bool ok = m_at + 1 < m_end && m_at[1] == '/' ? endTag() : startTag();
            if (!ok) return false;
            if (m_open.empty()) {  // the root ended: only white space may follow
                space();
                return m_at == m_end;
            }
        }
    }

private:
    bool space() {
        if (m_at == m_end || !(classOf(*m_at) & kSpace)) return false;
        while (++m_at < m_end && (classOf(*m_at) & kSpace)) {
        }
        return true;
    }

    bool name(std::string_view& n) {
        const char* from = m_at;
        if (m_at == m_end || !(classOf(*m_at) & kNameStart)) return false;
        m_at = nameEnd(m_at + 1, m_end);
        n = std::string_view(from, static_cast<size_t>(m_at - from));
        return true;
    }

    // At '&': one of the five named references or a character reference, passed over.
    bool reference() {
        ++m_at;
        if (m_at < m_end && *m_at == '#') {
            ++m_at;
            const bool hex = m_at < m_end && *m_at == 'x';
            if (hex) ++m_at;
            size_t digits = 0;
            for (; m_at < m_end && digits <= 8; ++m_at, ++digits) {
                const char c = *m_at;
                const bool digit =
                    (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
                if (!digit) break;
            }
            if (digits == 0 || digits > 8 || m_at == m_end || *m_at != ';') return false;
            ++m_at;
            return true;
        }
        for (std::string_view named : {"amp;", "lt;", "gt;", "quot;", "apos;"}) {
            if (static_cast<size_t>(m_end - m_at) >= named.size() &&
                std::string_view(m_at, named.size()) == named) {
                m_at += named.size();
                return true;
            }
        }
        return false;
    }

    // Text between tags: references checked; within the items' holder only white space.
    bool text() {
        for (;;) {
            const char* stop = findAny(m_at, m_end, '<', '&', '<');
            if (inHolder())
                for (const char* c = m_at; c < stop; ++c)
                    if (!(classOf(*c) & kSpace)) return false;
            m_at = stop;
            if (m_at == m_end || *m_at == '<') return true;
            if (inHolder() || !reference()) return false;
        }
    }

    // After a start tag's name: its attributes, each after white space, then '>' or "/>".
    bool attributes(bool& empty) {
        for (;;) {
            m_at = commonAttributes(m_at, m_end, m_recording ? &m_values : nullptr);
            const bool spaced = space();
            if (m_at == m_end) return false;
            if (*m_at == '>' || *m_at == '/') {
                empty = *m_at == '/';
                if (empty && (m_at + 1 == m_end || m_at[1] != '>')) return false;
                m_at += empty ? 2 : 1;
                return true;
            }
            std::string_view n;
            if (!spaced || !name(n)) return false;
            space();
            if (m_at == m_end || *m_at != '=') return false;
            ++m_at;
            space();
            if (m_at == m_end || (*m_at != '"' && *m_at != '\'')) return false;
            const char quote = *m_at++;
            const char* const value = m_at;
            for (;;) {
                m_at = findAny(m_at, m_end, quote, '<', '&');
                if (m_at == m_end || *m_at == '<') return false;
                if (*m_at == quote) break;
                if (!reference()) return false;
            }
            if (m_recording && quote == '"') m_values.emplace_back(value, m_at);
            ++m_at;
        }
    }

    // Most attributes are ` name="value"`, without references: passed over so, in a loop of its own;
    // where the next one is not, the general way reads it.
    // `values`: where their values are noted, when not null.
    static const char* commonAttributes(const char* at, const char* const end, TValues* values) {
        while (end - at > 2 && at[0] == ' ' && (classOf(at[1]) & kNameStart)) {
            const char* n = nameEnd(at + 2, end);
            if (end - n <= 2 || n[0] != '=' || n[1] != '"') break;
            const char* v = findAny(n + 2, end, '"', '<', '&');
            if (v == end || *v != '"') break;
            if (values) values->emplace_back(n + 2, v);
            at = v + 1;
        }
        return at;
    }

    bool inHolder() const { return m_holderOpen && m_open.size() == 2; }

    bool startTag() {
        const char* at = m_at;
        const size_t depth = m_open.size();  // of the parent
        const bool amongItems = depth == 2 && m_holderOpen;
        if (amongItems) {
            if (const char* end = likeModel(at)) {
                ++m_out.count;
                note(at, end);
                m_at = end;
                return true;
            }
        }
        ++m_at;
        std::string_view n;
        bool empty = false;
        if (!name(n)) return false;
        const bool item = amongItems && n == m_list;
        if (item) {
            m_values.clear();
            m_recording = true;
        }
        if (!attributes(empty)) return false;
        if (depth == 1 && !m_holderSeen && n == m_child) {
            m_holderSeen = true;
            m_holderOpen = !empty;
        }
        if (item) {
            ++m_out.count;
            if (empty)
                itemRead(at, m_at);
            else
                m_itemStart = at;
        }
        if (empty) return true;
        if (depth >= kMostDepth) return false;
        m_open.push_back(n);
        return true;
    }

    bool endTag() {
        m_at += 2;
        // The name must be the open element's, whole: compared, not read.
        if (m_open.empty()) return false;
        const std::string_view open = m_open.back();
        if (static_cast<size_t>(m_end - m_at) < open.size() || std::string_view(m_at, open.size()) != open)
            return false;
        m_at += open.size();
        if (m_at < m_end && (classOf(*m_at) & kName)) return false;
        space();
        if (m_at == m_end || *m_at != '>') return false;
        ++m_at;
        m_open.pop_back();
        if (m_open.size() == 2 && m_holderOpen && m_itemStart) {
            itemRead(m_itemStart, m_at);
            m_itemStart = nullptr;
        } else if (m_open.size() == 1 && m_holderOpen) {
            m_holderOpen = false;
        }
        return true;
    }

    // An item read whole, [from, to): noted, and kept as the model of the items after it.
    void itemRead(const char* from, const char* to) {
        note(from, to);
        m_recording = false;
        m_like = from;
        m_likeSize = static_cast<size_t>(to - from);
        m_likeValueBytes.clear();  // made when first compared with
    }

    // Which bytes of the model lie in its values (m_values still holds them), as a mask of one byte per
    // byte (loaded thirty-two at a time at any offset: thirty-two more follow), and where each value ends.
    void markValues() {
        m_likeValueBytes.assign(m_likeSize + 32, 0);
        m_likeValueEnds.clear();
        m_likeValueBegins.clear();
        for (const auto& [begin, end] : m_values) {
            const auto b = static_cast<size_t>(begin - m_like), e = static_cast<size_t>(end - m_like);
            std::memset(m_likeValueBytes.data() + b, 0xff, e - b);
            m_likeValueBegins.push_back(b);
            m_likeValueEnds.push_back(e);
        }
    }

    // Items are mostly alike but for the values of their attributes: an item whose bytes are those of the
    // model (the last item read whole) with other values, of any length, in the same double quotes, each
    // holding no '"', '<' or '&', is as well formed as the model and reads into the same elements. It is
    // compared with the model sixteen bytes at a time; where a value is shorter or longer than the model's,
    // the two are aligned again at its closing quote. The item's end, or null when it is not so (the item
    // is then read as any).
    const char* likeModel(const char* at) {
#if defined(__SSE2__)
        if (!m_like) return nullptr;
        if (m_likeValueBytes.empty()) markValues();
        const char* const model = m_like;
        const uint8_t* const values = m_likeValueBytes.data();
        const size_t size = m_likeSize;
        size_t j = 0;  // `at` in the item is `j` in the model
        // Thirty-two bytes at a time while the model has them; loads stay inside the text (the model lies
        // before the item, so its bytes do too).
        while (size - j >= 32) {
            if (m_end - at < 32) return nullptr;
            const ptrdiff_t shift = at - (model + j);  // the item's byte of the model's byte k: k + shift
            const size_t last = std::min(size, j + static_cast<size_t>(m_end - at)) - 32;
            unsigned bad = 0;
            j = kHasAvx2 && g_oneStep.load(std::memory_order_relaxed)
                    ? sameRunAvx2(model, shift, values, j, last, bad)
                    : sameRun(model, shift, values, j, last, bad);
            at = model + j + shift;
            if (bad != 0 && !(at = realigned(at, j, static_cast<size_t>(std::countr_zero(bad)))))
                return nullptr;
        }
        while (j < size) {
            if (m_end - at < 16) return nullptr;
            const size_t left = size - j;
            const unsigned own = left >= 16 ? 0xffffu : (1u << left) - 1;
            const unsigned bad = ~goodBytes(at, model + j, values + j) & own;
            if (bad == 0) {
                const size_t step = left >= 16 ? 16 : left;
                at += step;
                j += step;
            } else if (!(at = realigned(at, j, static_cast<size_t>(std::countr_zero(bad))))) {
                return nullptr;
            }
        }
        return at;
#else
        (void)at;
        return nullptr;
#endif
    }

#if defined(__SSE2__)
    // Of sixteen bytes of the item at `at` and of the model at `model`, those that may be there: equal
    // outside the model's values (`values`: 0xff in one), other than '"', '<' or '&' inside them.
    static unsigned goodBytes(const char* at, const char* model, const uint8_t* values) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i same = _mm_cmpeq_epi8(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(model)));
        const __m128i inValue = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values));
        // '"' (0x22) and '&' (0x26) are the bytes that are '&' with bit 2 set.
        const __m128i stop =
            _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(x, _mm_set1_epi8(4)), _mm_set1_epi8('&')),
                         _mm_cmpeq_epi8(x, _mm_set1_epi8('<')));
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_andnot_si128(_mm_and_si128(stop, inValue), _mm_or_si128(same, inValue))));
    }
#endif

#if defined(__SSE2__)
    // From the model's byte `k` to `last`, thirty-two bytes at a time, the item's bytes at `shift` from
    // them compared: where the first run that is not alike begins (`bad`: its bytes that may not be
    // there), or past `last`.
    static size_t sameRun(const char* model, ptrdiff_t shift, const uint8_t* values, size_t k, size_t last,
                          unsigned& bad) {
        for (; k <= last; k += 32) {
            const char* const item = model + k + shift;
            bad = ~(goodBytes(item, model + k, values + k) |
                    goodBytes(item + 16, model + k + 16, values + k + 16) << 16);
            if (bad != 0) break;
        }
        return k;
    }
#endif

    // `b` bytes on from `at` in the item and `j` in the model the two part: the item's value ends before
    // the model's (a '"' where the model's value goes on) or goes on after it (at the model's closing
    // quote). The item's closing quote of that value, `j` moved to the model's; null when the bytes differ
    // anywhere else, or a value holds '<' or '&'.
    const char* realigned(const char* at, size_t& j, size_t b) const {
        const char* c = at + b;
        const size_t p = j + b;
        const auto value = std::lower_bound(m_likeValueEnds.begin(), m_likeValueEnds.end(), p);
        if (value == m_likeValueEnds.end()) return nullptr;
        if (p < m_likeValueBegins[static_cast<size_t>(value - m_likeValueEnds.begin())])
            return nullptr;  // outside every value
        if (p < *value) {
            if (*c != '"') return nullptr;  // '<' or '&' in a value
        } else {
            c = findAny(c, m_end, '"', '<', '&');
            if (c == m_end || *c != '"') return nullptr;
        }
        j = *value;
        return c;
    }

    // An item's bytes, joined to the run before when nothing lies between.
    void note(const char* from, const char* to) {
        const auto begin = static_cast<size_t>(from - m_begin), end = static_cast<size_t>(to - m_begin);
        if (!m_out.ranges.empty() && m_out.ranges.back().second == begin)
            m_out.ranges.back().second = end;
        else
            m_out.ranges.emplace_back(begin, end);
    }

    const char* const m_begin;
    const char* m_at;
    const char* const m_end;
    const std::string_view m_child, m_list;
    TItems& m_out;
    std::vector<std::string_view> m_open;  // names of the elements open, the root first
    bool m_holderSeen = false, m_holderOpen = false;
    const char* m_itemStart = nullptr;  // the start of the item open, if any
    bool m_recording = false;           // an item is being read whole: its values are noted
    TValues m_values;                   // the values in double quotes of that item, in text order
    const char* m_like = nullptr;       // the model: the last item read whole
    size_t m_likeSize = 0;
    std::vector<uint8_t> m_likeValueBytes;  // 0xff where a byte of the model is in a value; 32 more 0
    std::vector<size_t> m_likeValueBegins, m_likeValueEnds;  // each value's [begin, end) in the model
};

}  // namespace

void compareInOneStep(bool on) {
#if defined(__SSE2__)
    g_oneStep.store(on, std::memory_order_relaxed);
#else
    (void)on;
#endif
}

bool plainWithItems(std::string_view text, std::string_view child, std::string_view list, TItems& out) {
    out = TItems{};
    return CScanner(text, child, list, out).run();
}

namespace {

// The end of the tag whose name starts at `at` (its '>'), passing over quoted values; null when the text
// ends first.
const char* tagEnd(const char* at, const char* end) {
    for (;;) {
        const char* hit = findAny(at, end, '>', '"', '\'');
        if (hit == end) return nullptr;
        if (*hit == '>') return hit;
        const void* closing = memchr(hit + 1, *hit, static_cast<size_t>(end - hit - 1));
        if (!closing) return nullptr;
        at = static_cast<const char*>(closing) + 1;
    }
}

// Where an item ends: a run goes on when the next item starts where the last ended.
void addItem(TItems& out, size_t begin, size_t end) {
    if (!out.ranges.empty() && out.ranges.back().second == begin)
        out.ranges.back().second = end;
    else
        out.ranges.emplace_back(begin, end);
    ++out.count;
}

}  // namespace

bool itemsOfCheckedText(std::string_view text, std::string_view child, std::string_view list, TItems& out) {
    out = TItems{};
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    enum { kBefore, kInside, kAfter } holder = kBefore;  // the first `child` of the root
    size_t depth = 0;                                    // of the elements open
    const char* item = nullptr;
    for (const char* at = begin;;) {
        const void* found = memchr(at, '<', static_cast<size_t>(end - at));
        if (!found) return depth == 0 && holder != kInside;
        const char* open = static_cast<const char*>(found);
        if (end - open < 2 || open[1] == '!' || open[1] == '?') return false;  // the full read decides
        const char* close = tagEnd(open + 1, end);
        if (!close) return false;
        at = close + 1;
        if (open[1] == '/') {
            if (depth == 0) return false;
            --depth;
            if (depth == 2 && item) {
                addItem(out, static_cast<size_t>(item - begin), static_cast<size_t>(at - begin));
                item = nullptr;
            }
            if (depth == 1 && holder == kInside) holder = kAfter;
            continue;
        }
        const char* nameEnd = open + 1;
        while (nameEnd < close && !(classOf(*nameEnd) & kSpace) && *nameEnd != '/') ++nameEnd;
        const std::string_view name(open + 1, static_cast<size_t>(nameEnd - open - 1));
        const bool empty = close[-1] == '/';
        if (depth == 1 && holder == kBefore && name == child) holder = kInside;
        const bool isItem = depth == 2 && holder == kInside && name == list;
        if (empty && isItem) addItem(out, static_cast<size_t>(open - begin), static_cast<size_t>(at - begin));
        if (empty) {
            if (depth == 1 && holder == kInside) holder = kAfter;
            continue;
        }
        if (isItem) item = open;
        ++depth;
    }
}

}  // namespace xmlscan
