#include "platform/msg/xml_scan.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
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
// Items read otherwise after one that was not quite like the one before it.
constexpr int kLikeSkips = 4;

// Where values in double quotes lie: [first, second).
using TValues = std::vector<std::pair<const char*, const char*>>;

// A run of bytes of an item between two of its values, with the bits of its last sixteen or fewer bytes
// (as they are compared).
struct TPart {
    const char* bytes;
    size_t size;
    unsigned lastMask;

    static TPart of(const char* from, const char* to) {
        const auto size = static_cast<size_t>(to - from);
        const size_t tail = size == 0 ? 0 : (size - 1) % 16 + 1;
        return {from, size, (1u << tail) - 1};
    }
};

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
            if (const char* end = sameItem(at); end || (end = sameShape(at))) {
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

    // An item read whole, [from, to): noted, and its shape kept for the items after it.
    void itemRead(const char* from, const char* to) {
        note(from, to);
        m_recording = false;
        m_shape.clear();
        for (const auto& [begin, end] : m_values) {
            m_shape.push_back(TPart::of(from, begin));
            from = end;
        }
        m_shape.push_back(TPart::of(from, to));
        m_like = m_shape.front().bytes;
        m_likeSize = static_cast<size_t>(to - m_like);
        m_likeValues.clear();  // made when first compared with
        m_likeSkips = 0;
    }

    // Which bytes of the last item read whole lie in its values (m_values still holds them).
    void markValues() {
        m_likeValues.assign((m_likeSize + 15) / 16, 0);
        for (const auto& [begin, end] : m_values) {
            for (auto at = static_cast<size_t>(begin - m_like); at < static_cast<size_t>(end - m_like);) {
                const size_t bit = at % 16,
                             bits = std::min<size_t>(16 - bit, static_cast<size_t>(end - m_like) - at);
                m_likeValues[at / 16] |= static_cast<uint16_t>(((1u << bits) - 1) << bit);
                at += bits;
            }
        }
    }

    // The common case of sameShape: each value as long as in the last item read whole, so that the item
    // is that one's bytes but in its values, sixteen bytes compared at a time. Null when not so. Items
    // whose values' lengths vary are not compared so for a few items after one that was not alike.
    const char* sameItem(const char* at) {
        if (m_likeSkips > 0) {
            --m_likeSkips;
            return nullptr;
        }
        const char* const end = alike(at);
        if (!end) m_likeSkips = kLikeSkips;
        return end;
    }

    const char* alike(const char* at) {
#if defined(__SSE2__)
        if (!m_like || static_cast<size_t>(m_end - at) < m_likeSize + 16)
            return nullptr;  // loads stay inside
        if (m_likeValues.empty()) markValues();
        const __m128i quote = _mm_set1_epi8('"'), open = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
        const size_t chunks = m_likeValues.size();
        for (size_t c = 0; c < chunks; ++c) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * c));
            const __m128i like = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_like + 16 * c));
            unsigned differ = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, like))) & 0xffffu;
            unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, open)), _mm_cmpeq_epi8(x, amp))));
            if (c + 1 == chunks) {  // the item's last bytes only
                const unsigned own = (2u << ((m_likeSize - 1) % 16)) - 1;
                differ &= own;
                stops &= own;
            }
            const unsigned inValue = m_likeValues[c];
            if ((differ & ~inValue) != 0 || (stops & inValue) != 0) return nullptr;
        }
        return at + m_likeSize;
#else
        (void)at;
        return nullptr;
#endif
    }

    // Items are mostly alike but for the values of their attributes: an item whose bytes are those of the
    // last item read whole (m_shape) with other values in the same double quotes, each holding no '"',
    // '<' or '&', is as well formed as that one, and reads into the same elements. Its end, or null when
    // it is not so (the item is then read as any).
    const char* sameShape(const char* at) const {
        if (m_shape.empty()) return nullptr;
        const TPart* part = m_shape.data();
        const TPart* const last = part + m_shape.size() - 1;
        const char* const end = m_end;
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"'), open = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
#endif
        for (;; ++part) {
#if defined(__SSE2__)
            // A part of sixteen bytes or fewer is one comparison (the part lies before `at`: where sixteen
            // bytes follow `at`, they follow the part too).
            if (part->size <= 16 && end - at >= 16) {
                const auto same = static_cast<unsigned>(_mm_movemask_epi8(
                    _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(part->bytes)))));
                if (~same & part->lastMask) return nullptr;
            } else if (!sameBytes(at, *part, end)) {
                return nullptr;
            }
            at += part->size;
            if (part == last) return at;
            for (;; at += 16) {
                if (end - at < 16) {
                    at = findAny(at, end, '"', '<', '&');
                    break;
                }
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
                if (const auto stops = static_cast<unsigned>(_mm_movemask_epi8(
                        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, open)),
                                     _mm_cmpeq_epi8(x, amp))))) {
                    at += std::countr_zero(stops);
                    break;
                }
            }
#else
            if (!sameBytes(at, *part, end)) return nullptr;
            at += part->size;
            if (part == last) return at;
            at = findAny(at, end, '"', '<', '&');
#endif
            if (at == end || *at != '"') return nullptr;
        }
    }

    // Whether `part` (bytes of this text, before `end` too) comes at `at`.
    static bool sameBytes(const char* at, const TPart& part, const char* const end) {
        if (static_cast<size_t>(end - at) < part.size) return false;
        const char* p = part.bytes;
        size_t left = part.size;
#if defined(__SSE2__)
        // Sixteen bytes at a time where both texts have them.
        for (; end - at >= 16 && end - p >= 16; at += 16, p += 16) {
            const auto same = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)),
                                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))));
            if (left <= 16) return (~same & part.lastMask) == 0;
            if (same != 0xffffu) return false;
            left -= 16;
        }
#endif
        return memcmp(at, p, left) == 0;
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
    std::vector<TPart> m_shape;         // the last item read whole, but for those values
    const char* m_like = nullptr;       // that item's bytes
    size_t m_likeSize = 0;
    std::vector<uint16_t> m_likeValues;  // bit i of entry c: byte 16 c + i of that item is in a value
    int m_likeSkips = 0;                 // items not to compare with it (after one that was not alike)
};

}  // namespace

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
