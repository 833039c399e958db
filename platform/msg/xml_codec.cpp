#include "platform/msg/xml_codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <pugixml.hpp>
#include <span>
#include <string_view>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/crypto/zycrypto.h"
#include "platform/msg/cnmessagebase.h"
#include "platform/msg/msg_field.h"
#include "platform/msg/msg_log.h"
#include "platform/msg/password_cipher.h"
#include "platform/msg/xml_scan.h"

namespace {

constexpr const char* kTagAttr = "x.tag";
constexpr const char* kItemAttr = "x.item";
constexpr const char* kEncAttr = "x.enc";

bool isReserved(const char* name) {
    return name[0] == 'x' && name[1] == '.';
}

// The text being written, through a raw cursor over a buffer that grows ahead in large steps, so each
// of the many small pieces costs a bounds check and a copy instead of a call into the string. The
// buffer is the thread's own and is kept from one message to the next: its size is its room, so it
// is neither cleared nor regrown for every message.
class XmlText {
public:
    XmlText() : m_buffer(t_inUse ? m_own : t_buffer), m_claimed(!t_inUse) {
        t_inUse = true;
        if (m_buffer.size() < 4096) m_buffer.resize(4096);
        m_at = m_buffer.data();
        m_end = m_at + m_buffer.size();
    }
    ~XmlText() {
        if (!m_claimed) return;
        if (m_buffer.size() > kKeptBytes) std::string().swap(m_buffer);  // a rare large message
        t_inUse = false;
    }
    XmlText(const XmlText&) = delete;
    XmlText& operator=(const XmlText&) = delete;

    // Room for `n` more bytes at the returned cursor; advance() by what was written there.
    [[gnu::always_inline]] char* room(size_t n) {
        if (static_cast<size_t>(m_end - m_at) < n) grow(n);
        return m_at;
    }
    void advance(size_t n) { m_at += n; }

    [[gnu::always_inline]] void push_back(char c) { *room(1) = c, ++m_at; }
    [[gnu::always_inline]] void append(const char* p, size_t n) {
        if (n == 0) return;
        memcpy(room(n), p, n);
        m_at += n;
    }
    [[gnu::always_inline]] void append(std::string_view v) { append(v.data(), v.size()); }
    void append(size_t n, char c) {
        memset(room(n), c, n);
        m_at += n;
    }
    std::string_view text() const { return {m_buffer.data(), static_cast<size_t>(m_at - m_buffer.data())}; }

private:
    static constexpr size_t kKeptBytes = size_t(2) << 20;

    [[gnu::noinline]] void grow(size_t n) {
        const auto used = static_cast<size_t>(m_at - m_buffer.data());
        m_buffer.resize(std::max(m_buffer.size() * 2, used + n));
        m_at = m_buffer.data() + used;
        m_end = m_buffer.data() + m_buffer.size();
    }

    static thread_local std::string t_buffer;
    static thread_local bool t_inUse;  // a writer of this thread already holds t_buffer
    std::string m_own;
    std::string& m_buffer;
    bool m_claimed;
    char* m_at;
    char* m_end;
};

thread_local std::string XmlText::t_buffer;
thread_local bool XmlText::t_inUse = false;

// The two hex digits of every byte.
constexpr std::array<char, 512> kHexPairs = [] {
    std::array<char, 512> t{};
    for (int b = 0; b < 256; ++b) {
        t[2 * b] = "0123456789abcdef"[b >> 4];
        t[2 * b + 1] = "0123456789abcdef"[b & 15];
    }
    return t;
}();

void appendHex8(XmlText& out, uint32_t v) {
    char* text = out.room(8);
    for (int n = 3; n >= 0; --n, v >>= 8) memcpy(text + 2 * n, &kHexPairs[2 * (v & 0xFF)], 2);
    out.advance(8);
}

// ` name="`, as one piece.
[[gnu::always_inline]] inline void appendAttributeStart(XmlText& out, std::string_view name) {
    char* at = out.room(name.size() + 3);
    at[0] = ' ';
    memcpy(at + 1, name.data(), name.size());
    at[name.size() + 1] = '=';
    at[name.size() + 2] = '"';
    out.advance(name.size() + 3);
}

// The two decimal digits of every number below 100.
constexpr std::array<char, 200> kDecimalPairs = [] {
    std::array<char, 200> t{};
    for (int n = 0; n < 100; ++n) {
        t[2 * n] = static_cast<char>('0' + n / 10);
        t[2 * n + 1] = static_cast<char>('0' + n % 10);
    }
    return t;
}();

// Decimal, two digits a step from the end; as std::to_chars writes it.
void appendInt(XmlText& out, int64_t v) {
    char text[20];
    char* const end = text + sizeof text;
    char* at = end;
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    for (; u >= 100; u /= 100) memcpy(at -= 2, &kDecimalPairs[2 * (u % 100)], 2);
    if (u >= 10)
        memcpy(at -= 2, &kDecimalPairs[2 * u], 2);
    else
        *--at = static_cast<char>('0' + u);
    char* to = out.room(21);
    if (v < 0) *to++ = '-', out.advance(1);
    const auto length = static_cast<size_t>(end - at);
    memcpy(to, at, length);
    out.advance(length);
}

// What a byte needs when written: kInText bytes are escaped everywhere, kInAttribute ones only in
// attributes; NUL is both, and cannot be written at all.
enum EscapeClass : uint8_t { kInText = 1, kInAttribute = 2 };

constexpr std::array<uint8_t, 256> kEscapeClass = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = kInText | kInAttribute;
    for (unsigned char c : {'&', '<', '>'}) t[c] = kInText | kInAttribute;
    t['"'] = kInAttribute;
    return t;
}();

// Where the next byte that needs escaping lies in bytes [from, size), or size. Most values need none:
// sixteen bytes are checked at a time.
size_t nextToEscape(const unsigned char* bytes, size_t from, size_t size, bool attribute) {
#if defined(__SSE2__)
    const __m128i amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>');
    const __m128i quot = _mm_set1_epi8(attribute ? '"' : '&'), control = _mm_set1_epi8(0x1F);
    for (; from + 16 <= size; from += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + from));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, amp), _mm_cmpeq_epi8(x, lt)),
                                   _mm_or_si128(_mm_cmpeq_epi8(x, gt), _mm_cmpeq_epi8(x, quot)));
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_min_epu8(x, control), x));  // x <= 0x1F
        if (const int bits = _mm_movemask_epi8(hit))
            return from + std::countr_zero(static_cast<unsigned>(bits));
    }
#endif
    const uint8_t mask = attribute ? kInAttribute : kInText;
    for (; from < size; ++from)
        if (kEscapeClass[bytes[from]] & mask) return from;
    return size;
}

// Escapes markup characters and control characters; false on a NUL byte, which XML cannot carry.
bool appendEscaped(XmlText& out, std::string_view text, bool attribute) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t start = 0;
    for (size_t n = nextToEscape(bytes, 0, size, attribute); n < size;
         n = nextToEscape(bytes, n + 1, size, attribute)) {
        const unsigned char c = bytes[n];
        if (c == 0) return false;
        out.append(text.data() + start, n - start);
        switch (c) {
            case '&':
                out.append("&amp;", 5);
                break;
            case '<':
                out.append("&lt;", 4);
                break;
            case '>':
                out.append("&gt;", 4);
                break;
            case '"':
                out.append("&quot;", 6);
                break;
            default: {  // a control character, as its decimal reference
                char num[6] = {'&', '#'};
                size_t len = 2;
                if (c >= 10) num[len++] = static_cast<char>('0' + c / 10);
                num[len++] = static_cast<char>('0' + c % 10);
                num[len++] = ';';
                out.append(num, len);
            }
        }
        start = n + 1;
    }
    out.append(text.data() + start, size - start);
    return true;
}

// ---------------------------------------------------------------- writing

// Room for the name of a field known only by its code ("f.<code>"), one per frame that names a field.
using CodeName = char[16];

class Writer {
public:
    Writer(XmlText& out, unsigned flags, const ZyXMLContextInfo& ctx, const TWrittenChild& written = {},
           std::span<const TMaskedValue> masked = {}, std::string_view mask = {})
        : m_out(out), m_flags(flags), m_ctx(ctx), m_written(written), m_masked(masked), m_mask(mask) {}
    bool wroteSecret() const { return m_wroteSecret; }

    int message(const CNMessageBase& m) {
        if (m_flags & XML_ENCODE_DECLARATION)
            m_out.append(std::string_view("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
        return object(m, m.className(), kTagAttr, 0);
    }

private:
    void newline(int depth) {
        if (!(m_flags & XML_ENCODE_READABLE)) return;
        m_out.push_back('\n');
        m_out.append(static_cast<size_t>(depth) * 2, ' ');
    }

    void open(std::string_view name, int depth) {
        if (depth > 0 || (m_flags & XML_ENCODE_DECLARATION)) newline(depth);
        m_out.push_back('<');
        m_out.append(name);
    }

    static bool isScalar(MsgFieldKind k) { return k == MsgFieldKind::Int || k == MsgFieldKind::Str; }

    // `name` stays valid throughout: it lies in the catalogue, a stored field or the caller's frame.
    int object(const CNMessageBase& m, std::string_view name, std::string_view kindAttr, int depth) {
        if (depth > m_ctx.maxDepth) return MSG_ERR_TOO_DEEP;
        open(name, depth);
        appendAttributeStart(m_out, kindAttr);
        appendHex8(m_out, m.getTagID());
        m_out.push_back('"');
        // Fields in their own order, or the root's in its class's (XML_ENCODE_DECLARED_ORDER).
        std::vector<uint32_t> order;
        const bool reordered =
            depth == 0 && (m_flags & XML_ENCODE_DECLARED_ORDER) && m.declaredFieldOrder(order);
        const size_t count = reordered ? order.size() : m.fieldCount();
        const auto fieldAt = [&](size_t n) -> const CNMessageField& {
            return m.fieldAt(reordered ? order[n] : n);
        };
        bool hasElements = false;
        CodeName codeName;
        const MsgClassType* type = m.classType();
        for (size_t n = 0; n < count; ++n) {
            const CNMessageField& f = fieldAt(n);
            if (!isScalar(f.kind)) {
                hasElements = true;
                continue;
            }
            // The name of a field its class declares by name is found here; any other as msgFieldXmlName
            // says.
            const MsgFieldInfo* info = type ? type->field(f.code) : nullptr;
            appendAttributeStart(
                m_out, info && info->xmlName ? type->xmlName(*info) : msgFieldXmlName(m, f, codeName));
            if (!m_masked.empty() && masked(m, f.code)) {
                if (!appendEscaped(m_out, m_mask, true)) return MSG_ERR_UNWRITABLE;
            } else if (f.kind == MsgFieldKind::Int)
                appendInt(m_out, f.num);
            else if (!appendEscaped(m_out, f.text, true))
                return MSG_ERR_UNWRITABLE;
            m_out.push_back('"');
        }
        if (!hasElements) {
            m_out.append("/>", 2);
            return MSG_OK;
        }
        m_out.push_back('>');
        for (size_t n = 0; n < count; ++n) {
            const CNMessageField& f = fieldAt(n);
            if (isScalar(f.kind)) continue;
            if (int rc = complexField(m, f, depth + 1)) return rc;
        }
        newline(depth);
        m_out.append("</", 2);
        m_out.append(name);
        m_out.push_back('>');
        return MSG_OK;
    }

    int textElement(std::string_view name, std::string_view text, int depth, std::string_view attr = {},
                    std::string_view attrValue = {}) {
        open(name, depth);
        if (!attr.empty()) {
            m_out.push_back(' ');
            m_out.append(attr);
            m_out.append("=\"", 2);
            m_out.append(attrValue);
            m_out.push_back('"');
        }
        m_out.push_back('>');
        if (!appendEscaped(m_out, text, false)) return MSG_ERR_UNWRITABLE;
        m_out.append("</", 2);
        m_out.append(name);
        m_out.push_back('>');
        return MSG_OK;
    }

    template <typename T>
    int numberElements(std::string_view name, const std::vector<T>& items, int depth) {
        for (T v : items) {
            char buf[24];
            auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
            textElement(name, std::string_view(buf, static_cast<size_t>(end - buf)), depth);
        }
        return MSG_OK;
    }

    int complexField(const CNMessageBase& owner, const CNMessageField& f, int depth) {
        CodeName codeName;
        const std::string_view name = msgFieldXmlName(owner, f, codeName);
        const CNMessageFieldBox* box = f.box.get();
        switch (f.kind) {
            case MsgFieldKind::Obj:
                if (f.child && f.child == m_written.object && written(*f.child, name)) return MSG_OK;
                return f.child ? object(*f.child, name, kTagAttr, depth) : MSG_OK;
            case MsgFieldKind::ObjList:
                if (box)
                    for (const auto& item : box->list().objects)
                        if (int rc = object(item, name, kItemAttr, depth)) return rc;
                return MSG_OK;
            case MsgFieldKind::StrList:
                if (box)
                    for (const auto& s : box->list().strings)
                        if (int rc = textElement(name, s, depth)) return rc;
                return MSG_OK;
            case MsgFieldKind::IntList:
                return box ? numberElements(name, box->list().ints, depth) : MSG_OK;
            case MsgFieldKind::LongList:
                return box ? numberElements(name, box->list().longs, depth) : MSG_OK;
            case MsgFieldKind::PStr: {
                if (!f.secret) return MSG_OK;
                m_wroteSecret = true;
                char enc[16];
                snprintf(enc, sizeof enc, "%d", f.secret->encryptType());
                if (m_flags & XML_ENCODE_MASK_SECRETS)
                    return textElement(name, pstring::kMask, depth, kEncAttr, enc);
                if (m_flags & XML_ENCODE_DIGEST_FORM)
                    return textElement(name, zycrypto::toHex(f.secret->str()), depth, kEncAttr, enc);
                if (f.secret->sealed()) return textElement(name, f.secret->str(), depth, kEncAttr, enc);
                std::string hidden = msgEncipherSecret(f.secret->str());
                if (hidden.empty() && f.secret->size() != 0) return MSG_ERR_SECRET;
                return textElement(name, hidden, depth, kEncAttr, enc);
            }
            default:
                return MSG_OK;
        }
    }

    // The child's text written already, under the field's name: `<Class ...>...</Class>` (or `<Class .../>`)
    // goes out as `<name ...>...</name>`. False (nothing written) when the text is not of that form or the
    // output is laid out (readable).
    bool written(const CNMessageBase& child, std::string_view name) {
        if (m_flags & XML_ENCODE_READABLE) return false;
        const std::string_view text = m_written.text, cls = child.className();
        if (text.size() < cls.size() + 3 || text[0] != '<' || text.substr(1, cls.size()) != cls ||
            text[cls.size() + 1] != ' ')
            return false;
        const std::string closing = "</" + std::string(cls) + ">";
        const bool empty = text.ends_with("/>") && text.find('>') == text.size() - 1;
        if (!empty && !text.ends_with(closing)) return false;
        m_out.push_back('<');
        m_out.append(name);
        if (empty) {
            m_out.append(text.substr(cls.size() + 1));
            return true;
        }
        m_out.append(text.substr(cls.size() + 1, text.size() - closing.size() - cls.size() - 1));
        m_out.append("</", 2);
        m_out.append(name);
        m_out.push_back('>');
        return true;
    }

    bool masked(const CNMessageBase& m, uint32_t code) const {
        for (const TMaskedValue& v : m_masked)
            if (v.object == &m && v.code == code) return true;
        return false;
    }

    XmlText& m_out;
    unsigned m_flags;
    const ZyXMLContextInfo& m_ctx;
    const TWrittenChild m_written;
    const std::span<const TMaskedValue> m_masked;
    const std::string_view m_mask;
    bool m_wroteSecret = false;
};

// ---------------------------------------------------------------- reading

// Value of each byte as a hex digit; -1 for any other byte.
constexpr std::array<int8_t, 256> kHexDigit = [] {
    std::array<int8_t, 256> t{};
    for (auto& d : t) d = -1;
    for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<int8_t>(c);
    for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<int8_t>(10 + c);
    return t;
}();

bool parseHexTag(const char* text, uint32_t& tag) {
    uint32_t v = 0;
    int n = 0;
    for (; text[n]; ++n) {
        const int d = kHexDigit[static_cast<unsigned char>(text[n])];
        if (d < 0 || n == 8) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    tag = v;
    return n > 0;
}

// The code of a field's name (as msgNameCode gives it), hashed while the name is measured: four bytes
// a step, each read only once the one before it is known not to end the name.
uint32_t nameCode(const char* name, size_t& length) {
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    uint32_t h = 0;
    for (;; p += 4) {
        const uint32_t b0 = p[0];
        if (!b0) break;
        const uint32_t b1 = p[1];
        if (!b1) {
            h = h * 31u + b0;
            p += 1;
            break;
        }
        const uint32_t b2 = p[2];
        if (!b2) {
            h = h * 961u + b0 * 31u + b1;
            p += 2;
            break;
        }
        const uint32_t b3 = p[3];
        if (!b3) {
            h = h * 29791u + b0 * 961u + b1 * 31u + b2;
            p += 3;
            break;
        }
        h = h * 923521u + b0 * 29791u + b1 * 961u + b2 * 31u + b3;
    }
    length = static_cast<size_t>(reinterpret_cast<const char*>(p) - name);
    return h & 0xFFFFFFu;
}

// The fields already read into one object, found by code, so that a field given twice is refused and
// the items of a list gather in one field. A declared field is found by its place in its class's
// declaration: no hashing, and a slot on the stack for each field of all but the largest classes. A
// field no class declares is found in a short list while there are few, then in an open-addressing
// table, so that each field read costs the same however many came before it.
class FieldIndex {
public:
    // `expected`: about how many fields the object will hold.
    FieldIndex(CNMessageBase& m, size_t expected) : m_message(m) {
        if (const MsgClassType* type = m.classType()) m_declaredInfo = type->fields();
        const size_t n = m_declaredInfo.size();
        if (n > std::size(m_inline)) {
            m_heap.assign(n, 0);
            m_declared = m_heap.data();
        } else {
            std::fill_n(m_inline, n, 0u);
        }
        // More fields than the class declares and the short list holds: most are undeclared ones.
        if (expected > n + std::size(m_few)) grow(expected - n);
        for (size_t pos = 0; pos < m.fieldCount(); ++pos) {  // an object is normally read empty
            const uint32_t code = m.fieldAt(pos).code;
            note(m.classType() ? m.classType()->field(code) : nullptr, code, pos);
        }
    }

    CNMessageField* find(const MsgFieldInfo* info, uint32_t code) {
        const uint32_t at = info ? m_declared[info - m_declaredInfo.data()] : findOther(code);
        return at ? &m_message.fieldAt(at - 1) : nullptr;
    }

    // `info` is what the object's class declares for `code`, or null.
    CNMessageField& add(const MsgFieldInfo* info, uint32_t code, MsgFieldKind kind) {
        const size_t pos = m_message.fieldCount();
        CNMessageField& f = m_message.addField(code, info ? info->i : -1, info ? info->j : -1, kind);
        note(info, code, pos);
        return f;
    }

private:
    struct Slot {
        uint32_t code;
        uint32_t at;  // 1 + the field's position; 0: empty
    };

    // Codes below the table's size keep their order (a peer writing codes in a row reads the table in
    // a row, not at random); the bits above are mixed in, so codes alike in their low bits spread out.
    size_t slotOf(uint32_t code) const { return (code + (code >> m_bits) * 0x9E3779B1u) & m_mask; }

    void note(const MsgFieldInfo* info, uint32_t code, size_t pos) {
        const auto at = static_cast<uint32_t>(pos + 1);
        if (info) {
            m_declared[info - m_declaredInfo.data()] = at;
        } else if (m_table.empty() && m_fewCount < std::size(m_few)) {
            m_few[m_fewCount++] = {code, at};
        } else {
            if (2 * (m_others + m_fewCount + 1) > m_table.size()) grow(m_others + m_fewCount + 1);
            if (m_fewCount) {  // the short list moves into the table once, when it is first needed
                for (size_t k = 0; k < m_fewCount; ++k) place(m_few[k]);
                m_fewCount = 0;
            }
            place({code, at});
        }
    }

    uint32_t findOther(uint32_t code) const {
        if (m_table.empty()) {
            for (size_t k = 0; k < m_fewCount; ++k)
                if (m_few[k].code == code) return m_few[k].at;
            return 0;
        }
        for (size_t slot = slotOf(code);; slot = (slot + 1) & m_mask) {
            const Slot& s = m_table[slot];
            if (s.at == 0 || s.code == code) return s.at;
        }
    }

    void place(const Slot& entry) {
        size_t slot = slotOf(entry.code);
        while (m_table[slot].at != 0) slot = (slot + 1) & m_mask;
        m_table[slot] = entry;
        ++m_others;
    }

    // Room for `entries` at most half full.
    void grow(size_t entries) {
        std::vector<Slot> old(std::max<size_t>({64, std::bit_ceil(2 * entries), m_table.size() * 2}),
                              Slot{0, 0});
        old.swap(m_table);
        m_mask = m_table.size() - 1;
        m_bits = std::countr_zero(m_table.size());
        m_others = 0;
        for (const Slot& s : old)
            if (s.at) place(s);
    }

    CNMessageBase& m_message;
    std::span<const MsgFieldInfo> m_declaredInfo;
    uint32_t m_inline[64];
    uint32_t* m_declared = m_inline;  // by place in m_declaredInfo: 1 + the field's position; 0: unread
    std::vector<uint32_t> m_heap;     // m_declared of a class of more fields than m_inline holds
    Slot m_few[16];
    size_t m_fewCount = 0;
    std::vector<Slot> m_table;  // once m_few is full: every field no class declares, by hashed code
    size_t m_mask = 0;
    int m_bits = 0;
    size_t m_others = 0;
};

class Reader {
public:
    explicit Reader(const ZyXMLContextInfo& ctx) : m_ctx(ctx), m_registry(CNMessageRegistry::instance()) {}

    // The document's single root element, or an empty node.
    static pugi::xml_node root(const pugi::xml_document& doc) {
        pugi::xml_node found;
        for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling()) {
            if (n.type() != pugi::node_element) continue;
            if (found) return {};
            found = n;
        }
        return found;
    }

    static bool rootTag(pugi::xml_node root, uint32_t& tag) {
        pugi::xml_attribute a = root.attribute(kTagAttr);
        return a && parseHexTag(a.value(), tag);
    }

    // How many fields the element holds at most: its attributes and its runs of like-named children
    // (the items of a list come together). Reserving them up front spares the object's field store
    // its regrowth, which for large objects means fresh pages at every step.
    static size_t fieldsIn(pugi::xml_node node, pugi::xml_attribute own) {
        size_t count = 0;
        for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) count += a != own;
        const char* last = "";
        for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
            if (c.type() != pugi::node_element) continue;
            if (strcmp(c.name(), last) != 0) ++count;
            last = c.name();
        }
        return count;
    }

    // `own` is the element's kind attribute (x.tag or x.item) that its parent already read.
    int object(pugi::xml_node node, CNMessageBase& m, int depth, pugi::xml_attribute own = {}) {
        if (depth > m_ctx.maxDepth) return MSG_ERR_TOO_DEEP;
        // Objects of a class tend to look alike: the last one read tells how many fields to expect,
        // else the element is counted.
        const CacheEntry* seen = entryFor(m.getTagID());
        // Never more than the message may still hold: a hostile element must not size the store.
        const size_t expected = std::min(seen && seen->fields ? seen->fields : fieldsIn(node, own),
                                         m_ctx.maxFields - std::min(m_fieldsRead, m_ctx.maxFields) + 1);
        m.reserveFields(m.fieldCount() + expected);
        FieldIndex fields(m, expected);
        for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
            if (a == own) continue;
            const char* name = a.name();
            if (isReserved(name)) return MSG_ERR_BAD_FIELD;
            if (int rc = scalar(m, fields, name, a.value())) return rc;
        }
        for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
            if (c.type() != pugi::node_element) continue;  // text between fields carries nothing
            if (node == m_leaveOutOf && strcmp(c.name(), m_leaveOut) == 0) {
                ++m_leftOut;
                continue;
            }
            if (int rc = element(m, fields, c, depth)) return rc;
        }
        // Looked up again: the children read meanwhile may have taken the entry over.
        if (CacheEntry* e = entryFor(m.getTagID())) e->fields = m.fieldCount();
        return MSG_OK;
    }

    // The elements named `name` in `holder` are passed over, not read; leftOut() counts them.
    // Skipped rather than removed from the document: removing frees each node of each item one by one.
    void leaveOut(pugi::xml_node holder, const char* name) {
        m_leaveOutOf = holder;
        m_leaveOut = name;
    }
    size_t leftOut() const { return m_leftOut; }

    // Items of a list alternate between a few classes (an item, its flags, ...): a small cache keeps
    // the registry's lock out of the loop.
    const MsgClassType* typeFor(uint32_t tag) {
        CacheEntry* e = entryFor(tag);
        return e ? e->type : nullptr;
    }

private:
    struct Target {
        uint32_t code;
        const MsgFieldInfo* info;
        bool storeName;
    };

    int resolve(const CNMessageBase& m, const char* name, Target& t) {
        if (name[0] == 'f' && name[1] == '.') {
            const char* hex = name + 2;
            size_t len = strlen(hex);
            auto [end, ec] = std::from_chars(hex, hex + len, t.code, 16);
            if (len == 0 || len > 6 || ec != std::errc() || end != hex + len) return MSG_ERR_BAD_FIELD;
            t.storeName = false;
        } else {
            size_t length = 0;
            t.code = nameCode(name, length);
            if (length == 0) return MSG_ERR_BAD_FIELD;
            t.storeName = true;
        }
        t.info = m.classType() ? m.classType()->field(t.code) : nullptr;
        if (t.info) {
            // The code is the field's identity: a name that hashes to a declared field's code is that field.
            t.storeName = false;
        } else if (t.storeName) {
            const char* known = m_registry.fieldName(t.code);
            if (known && strcmp(known, name) == 0) t.storeName = false;
        }
        return MSG_OK;
    }

    static CNMessageField& add(FieldIndex& fields, const Target& t, const char* name, MsgFieldKind kind) {
        CNMessageField& f = fields.add(t.info, t.code, kind);
        if (t.storeName) f.boxed().xmlName = name;
        return f;
    }

    int checkText(const char* text, size_t* length = nullptr) const {
        size_t n = strnlen(text, m_ctx.maxTextBytes + 1);
        if (length) *length = n;
        return n > m_ctx.maxTextBytes ? MSG_ERR_TEXT_TOO_LONG : MSG_OK;
    }

    // Every value and list item counts against the message's cap.
    int countField() { return ++m_fieldsRead > m_ctx.maxFields ? MSG_ERR_TOO_MANY_FIELDS : MSG_OK; }

    int scalar(CNMessageBase& m, FieldIndex& fields, const char* name, const char* value) {
        if (int rc = countField()) return rc;
        Target t{};
        if (int rc = resolve(m, name, t)) return rc;
        size_t length = 0;
        if (int rc = checkText(value, &length)) return rc;
        if (fields.find(t.info, t.code)) return MSG_ERR_DUPLICATE;
        MsgFieldKind kind = t.info ? t.info->kind : MsgFieldKind::Str;
        if (kind == MsgFieldKind::Int) {
            int64_t n = 0;
            if (!msgParseInt64(std::string_view(value, length), n)) return MSG_ERR_BAD_NUMBER;
            add(fields, t, name, kind).num = n;
        } else if (kind == MsgFieldKind::Str) {
            add(fields, t, name, kind).text.assign(value, length);
        } else {
            return MSG_ERR_KIND;
        }
        return MSG_OK;
    }

    // Text of a text element: its character data, which must not hold elements.
    int text(pugi::xml_node node, std::string& out) const {
        out.clear();
        for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
            if (c.type() == pugi::node_element) return MSG_ERR_KIND;
            if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) {
                if (int rc = checkText(c.value())) return rc;
                out.append(c.value());
                if (out.size() > m_ctx.maxTextBytes) return MSG_ERR_TEXT_TOO_LONG;
            }
        }
        return MSG_OK;
    }

    int element(CNMessageBase& m, FieldIndex& fields, pugi::xml_node c, int depth) {
        if (int rc = countField()) return rc;
        const char* name = c.name();
        Target t{};
        if (int rc = resolve(m, name, t)) return rc;
        // The kind comes from the reserved attribute: x.tag or x.item (objects, beside their fields),
        // x.enc (alone), or none at all (an item of a text or integer list).
        pugi::xml_attribute first = c.first_attribute();
        MsgFieldKind kind = MsgFieldKind::StrList;
        if (first && !isReserved(first.name())) {  // our writer puts it first; others may not
            first = pugi::xml_attribute();
            for (pugi::xml_attribute a = c.first_attribute(); a; a = a.next_attribute()) {
                if (!isReserved(a.name())) continue;
                if (first) return MSG_ERR_BAD_FIELD;
                first = a;
            }
        }
        if (!first) {
            if (c.first_attribute()) return MSG_ERR_BAD_FIELD;
            kind = t.info ? t.info->kind : MsgFieldKind::StrList;
            if (kind != MsgFieldKind::StrList && kind != MsgFieldKind::IntList &&
                kind != MsgFieldKind::LongList)
                return MSG_ERR_KIND;
        } else if (strcmp(first.name(), kTagAttr) == 0) {
            kind = MsgFieldKind::Obj;
        } else if (strcmp(first.name(), kItemAttr) == 0) {
            kind = MsgFieldKind::ObjList;
        } else if (strcmp(first.name(), kEncAttr) == 0 && !first.next_attribute() &&
                   c.first_attribute() == first) {
            kind = MsgFieldKind::PStr;
        } else {
            return MSG_ERR_BAD_FIELD;
        }
        if (t.info && t.info->kind != kind) return MSG_ERR_KIND;

        CNMessageField* f = fields.find(t.info, t.code);
        bool isList = kind == MsgFieldKind::ObjList || kind == MsgFieldKind::StrList ||
                      kind == MsgFieldKind::IntList || kind == MsgFieldKind::LongList;
        if (f && (!isList || f->kind != kind)) return MSG_ERR_DUPLICATE;

        switch (kind) {
            case MsgFieldKind::Obj: {
                uint32_t tag = 0;
                if (!parseHexTag(first.value(), tag)) return MSG_ERR_BAD_FIELD;
                const MsgClassType* type = typeFor(tag);
                std::unique_ptr<CNMessageBase> child(type ? type->info().make()
                                                          : new CNMessageBase(CNMessageBase::withTag(tag)));
                if (int rc = object(c, *child, depth + 1, first)) return rc;
                add(fields, t, name, kind).child = child.release();
                return MSG_OK;
            }
            case MsgFieldKind::ObjList: {
                uint32_t tag = 0;
                if (!parseHexTag(first.value(), tag)) return MSG_ERR_BAD_FIELD;
                if (!f) f = &add(fields, t, name, kind);
                auto& items = f->boxed().list().objects;
                const MsgClassType* type = typeFor(tag);
                if (type)
                    items.emplace_back(type);
                else
                    items.push_back(CNMessageBase::withTag(tag));
                return object(c, items.back(), depth + 1, first);
            }
            case MsgFieldKind::PStr: {
                std::string hidden, plain;
                if (int rc = text(c, hidden)) return rc;
                int encType = 0;
                if (!msgParseInt(first.value(), encType)) return MSG_ERR_BAD_FIELD;
                if (!msgDecipherSecret(hidden, plain)) {
                    // A relay without the key passes a well-formed ciphertext on as it came.
                    std::string bytes;
                    if (!msgRelaySealedSecrets() || !zycrypto::fromHex(hidden, bytes) || bytes.size() < 28)
                        return MSG_ERR_SECRET;
                    add(fields, t, name, kind).secret = new pstring(pstring::sealedValue(hidden, encType));
                    return MSG_OK;
                }
                add(fields, t, name, kind).secret = new pstring(bstring(std::move(plain)), encType);
                return MSG_OK;
            }
            default: {
                std::string value;
                if (int rc = text(c, value)) return rc;
                if (!f) f = &add(fields, t, name, kind);
                CNMessageFieldBox& box = f->boxed();
                if (kind == MsgFieldKind::StrList) {
                    box.list().strings.push_back(std::move(value));
                    return MSG_OK;
                }
                int64_t n = 0;
                if (!msgParseInt64(value, n)) return MSG_ERR_BAD_NUMBER;
                if (kind == MsgFieldKind::LongList) {
                    box.list().longs.push_back(n);
                } else {
                    if (n < INT32_MIN || n > INT32_MAX) return MSG_ERR_BAD_NUMBER;
                    box.list().ints.push_back(static_cast<int>(n));
                }
                return MSG_OK;
            }
        }
    }

    static bool msgParseInt(const char* text, int& out) {
        int64_t n = 0;
        if (!msgParseInt64(text, n) || n < INT32_MIN || n > INT32_MAX) return false;
        out = static_cast<int>(n);
        return true;
    }

    const ZyXMLContextInfo& m_ctx;
    CNMessageRegistry& m_registry;
    struct CacheEntry {
        uint32_t tag = 0;
        const MsgClassType* type = nullptr;
        size_t fields = 0;  // fields of the last object of the class read
    };

    // Direct-mapped by tag: one look, and a class that collides with another merely costs a lookup.
    CacheEntry* entryFor(uint32_t tag) {
        CacheEntry& e = m_cache[(tag * 0x9E3779B1u) >> 28];
        if (e.type && e.tag == tag) return &e;
        const MsgClassType* type = m_registry.byTag(tag);
        if (!type) return nullptr;
        e = {tag, type, 0};
        return &e;
    }

    CacheEntry m_cache[16];
    size_t m_fieldsRead = 0;
    pugi::xml_node m_leaveOutOf;
    const char* m_leaveOut = "";
    size_t m_leftOut = 0;
};

// pugixml turns a character reference into its character in place, so "&#0;" would end a value
// early without a trace: such references (and raw NUL bytes) are refused before parsing. The value
// is computed as pugixml does (32 bits, wrapping), so "&#4294967296;" is caught too.
bool holdsNul(const char* data, size_t size) {
    if (memchr(data, 0, size)) return true;
    const char* end = data + size;
    for (const char* p = data; (p = static_cast<const char*>(memchr(p, '&', end - p))); ++p) {
        if (end - p < 4 || p[1] != '#') continue;
        const char* q = p + 2;
        const bool hex = *q == 'x' || *q == 'X';
        if (hex) ++q;
        uint32_t value = 0;
        const char* digits = q;
        for (; q < end; ++q) {
            int d = *q >= '0' && *q <= '9'          ? *q - '0'
                    : hex && *q >= 'a' && *q <= 'f' ? *q - 'a' + 10
                    : hex && *q >= 'A' && *q <= 'F' ? *q - 'A' + 10
                                                    : -1;
            if (d < 0) break;
            value = value * (hex ? 16u : 10u) + static_cast<uint32_t>(d);
        }
        if (q < end && *q == ';' && q > digits && value == 0) return true;
    }
    return false;
}

// The copy of the input that pugixml parses in place and its document points into: the thread's own,
// kept from one message to the next, rather than a fresh one for every message. It must outlive the
// document made from it.
class InputCopy {
public:
    InputCopy() : m_copy(t_inUse ? m_own : t_copy), m_claimed(!t_inUse) { t_inUse = true; }
    ~InputCopy() {
        if (!m_claimed) return;
        if (m_copy.capacity() > kKeptBytes) std::string().swap(m_copy);  // a rare large message
        t_inUse = false;
    }
    InputCopy(const InputCopy&) = delete;
    InputCopy& operator=(const InputCopy&) = delete;

    char* hold(const char* data, size_t size) {
        m_copy.assign(data, size);
        return m_copy.data();
    }

private:
    static constexpr size_t kKeptBytes = size_t(2) << 20;
    static thread_local std::string t_copy;
    static thread_local bool t_inUse;  // a decoder of this thread already holds t_copy
    std::string m_own;
    std::string& m_copy;
    bool m_claimed;
};

thread_local std::string InputCopy::t_copy;
thread_local bool InputCopy::t_inUse = false;

// Parses and checks the size; the root element comes back in `root`.
int parse(const ZyXMLContextInfo& ctx, const char* data, size_t size, InputCopy& input,
          pugi::xml_document& doc, pugi::xml_node& root) {
    if (!data || size == 0) return MSG_ERR_EMPTY;
    if (size > ctx.maxInputBytes) return MSG_ERR_TOO_LARGE;
    if (holdsNul(data, size)) return MSG_ERR_NUL;
    pugi::xml_parse_result r = doc.load_buffer_inplace(
        input.hold(data, size), size, pugi::parse_escapes | pugi::parse_cdata, pugi::encoding_utf8);
    if (!r) return MSG_ERR_PARSE;
    root = Reader::root(doc);
    return root ? MSG_OK : MSG_ERR_ROOT;
}

void logFailure(const char* what, int rc, const char* data, size_t size) {
    msgLog(1, "%s: %s (%d); %zu bytes of input", what, msgXmlErrorText(rc), rc, data ? size : 0);
}

}  // namespace

bool msgAppendXmlEscaped(std::string& out, std::string_view text, bool attribute) {
    if (text.find('\0') != std::string_view::npos) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    if (nextToEscape(bytes, 0, size, attribute) == size) {
        out.append(text);  // most values need no escaping
        return true;
    }
    XmlText escaped;
    appendEscaped(escaped, text, attribute);
    out.append(escaped.text());
    return true;
}

namespace {

std::string_view codeName(uint32_t code, char (&codeBuf)[16]) {
    static const char digits[] = "0123456789abcdef";
    codeBuf[0] = 'f';
    codeBuf[1] = '.';
    for (int n = 7; n >= 2; --n, code >>= 4) codeBuf[n] = digits[code & 15];
    codeBuf[8] = '\0';
    return {codeBuf, 8};
}

}  // namespace

std::string_view msgFieldXmlName(const CNMessageBase& owner, const CNMessageField& f, char (&codeBuf)[16]) {
    if (const MsgClassType* type = owner.classType()) {
        if (const MsgFieldInfo* info = type->field(f.code)) {
            if (info->xmlName) return type->xmlName(*info);
            return codeName(f.code, codeBuf);
        }
    }
    if (f.box && !f.box->xmlName.empty()) return f.box->xmlName;
    if (const char* known = CNMessageRegistry::instance().fieldName(f.code)) return known;
    return codeName(f.code, codeBuf);
}

const char* msgXmlErrorText(int code) {
    switch (code) {
        case MSG_OK:
            return "success";
        case MSG_ERR_PARSE:
            return "the XML is not well formed";
        case MSG_ERR_ROOT:
            return "the XML has no single root of the expected class";
        case MSG_ERR_UNKNOWN_CLASS:
            return "no message class has the root's tag";
        case MSG_ERR_TOO_LARGE:
            return "the XML is larger than allowed";
        case MSG_ERR_TOO_DEEP:
            return "objects are nested deeper than allowed";
        case MSG_ERR_TEXT_TOO_LONG:
            return "a value is longer than allowed";
        case MSG_ERR_BAD_NUMBER:
            return "an integer field does not hold a 64-bit decimal integer";
        case MSG_ERR_BAD_FIELD:
            return "a field name, tag or attribute is malformed";
        case MSG_ERR_KIND:
            return "a field is written as another kind than its class declares";
        case MSG_ERR_DUPLICATE:
            return "a single-valued field is given twice";
        case MSG_ERR_SECRET:
            return "a password value cannot be deciphered";
        case MSG_ERR_UNWRITABLE:
            return "a text holds a NUL byte, which XML cannot carry";
        case MSG_ERR_EMPTY:
            return "there is no input";
        case MSG_ERR_NUL:
            return "the XML holds a NUL character (raw or as &#0;), which would cut a value short";
        case MSG_ERR_TOO_MANY_FIELDS:
            return "the message has more fields than allowed";
        default:
            return "unknown message error";
    }
}

XMLEncoder::XMLEncoder(EncodingFlags flags, ZyXMLContextInfo* context)
    : m_flags(flags), m_context(context ? *context : ZyXMLContextInfo{}) {}

int XMLEncoder::serialize(const CNMessageBase& message, std::string& out, bool readable) {
    return write(message, out, m_flags | (readable ? unsigned(XML_ENCODE_READABLE) : 0u), {});
}

int XMLEncoder::serialize(const CNMessageBase& message, std::string& out, const TWrittenChild& written) {
    return write(message, out, m_flags, written);
}

int XMLEncoder::write(const CNMessageBase& message, std::string& out, unsigned flags,
                      const TWrittenChild& written) {
    XmlText text;
    Writer writer(text, flags, m_context, written, m_masked, m_mask);
    int rc = writer.message(message);
    m_wroteSecret = writer.wroteSecret();
    if (rc != MSG_OK) {
        msgLog(0, "XMLEncoder: cannot write a %s (tag 0x%08x): %s (%d)", message.className(),
               message.getTagID(), msgXmlErrorText(rc), rc);
        return rc;
    }
    out.assign(text.text());
    return MSG_OK;
}

XMLDecoder::XMLDecoder(ZyXMLContextInfo* context) : m_context(context ? *context : ZyXMLContextInfo{}) {}

int XMLDecoder::decode(const char* data, size_t size, std::unique_ptr<CNMessageBase>& out) {
    return decode(0, data, size, out);
}

int XMLDecoder::decode(uint32_t expectedTag, const char* data, size_t size,
                       std::unique_ptr<CNMessageBase>& out) {
    xmlscan::TItems none;
    return decodeRoot(expectedTag, data, size, nullptr, nullptr, out, none);
}

int XMLDecoder::decodeLeavingOut(uint32_t expectedTag, const char* data, size_t size, const char* child,
                                 const char* list, std::unique_ptr<CNMessageBase>& out, bool& leftOut) {
    xmlscan::TItems items;
    const int rc = decodeRoot(expectedTag, data, size, child, list, out, items);
    leftOut = items.count > 0;
    return rc;
}

int XMLDecoder::decodeLeavingOut(uint32_t expectedTag, const char* data, size_t size, const char* child,
                                 const char* list, std::unique_ptr<CNMessageBase>& out, size_t& leftOut) {
    xmlscan::TItems items;
    const int rc = decodeRoot(expectedTag, data, size, child, list, out, items);
    leftOut = items.count;
    return rc;
}

int XMLDecoder::decodeLeavingOut(uint32_t expectedTag, const char* data, size_t size, const char* child,
                                 const char* list, std::unique_ptr<CNMessageBase>& out,
                                 xmlscan::TItems& items) {
    return decodeRoot(expectedTag, data, size, child, list, out, items);
}

int XMLDecoder::decodeCheckedLeavingOut(uint32_t expectedTag, const char* data, size_t size,
                                        const char* child, const char* list,
                                        std::unique_ptr<CNMessageBase>& out, size_t& leftOut) {
    xmlscan::TItems items;
    const int rc = decodeRoot(expectedTag, data, size, child, list, out, items, EItems::Tags);
    leftOut = items.count;
    return rc;
}

int XMLDecoder::decodeCheckedLeavingOut(uint32_t expectedTag, const char* data, size_t size,
                                        const char* child, const char* list, const xmlscan::TItems& places,
                                        std::unique_ptr<CNMessageBase>& out, size_t& leftOut) {
    xmlscan::TItems items = places;
    const int rc = decodeRoot(expectedTag, data, size, child, list, out, items, EItems::Given);
    leftOut = items.count;
    return rc;
}

namespace {

// Whether `items` can be the places of elements in `data`: runs in order, inside the text, each from a
// '<' to a '>'. What a caller hands over with its text passes; places of some other text hardly do.
bool placesFit(const xmlscan::TItems& items, const char* data, size_t size) {
    if (items.count == 0 || items.ranges.empty() || items.count < items.ranges.size()) return false;
    size_t from = 0;
    for (const auto& [begin, end] : items.ranges) {
        if (begin < from || end <= begin || end > size || data[begin] != '<' || data[end - 1] != '>')
            return false;
        from = end;
    }
    return true;
}

}  // namespace

int XMLDecoder::decodeRoot(uint32_t expectedTag, const char* data, size_t size, const char* child,
                           const char* list, std::unique_ptr<CNMessageBase>& out, xmlscan::TItems& items,
                           EItems find) {
    InputCopy input;
    pugi::xml_document doc;
    pugi::xml_node root;
    // Items a relay forwards as they came are checked without a document where the text is plainly
    // well formed: the parser reads the rest only. Elsewhere (or when the scan cannot tell) it reads all.
    std::string rest;
    if (find == EItems::Given && !placesFit(items, data, size)) find = EItems::Tags;
    // Places given were found by the check of this very text, which refused a NUL in it first.
    const bool scanned =
        child && list && data && size <= m_context.maxInputBytes &&
        (find == EItems::Given ||
         (!holdsNul(data, size) &&
          (find == EItems::Tags ? xmlscan::itemsOfCheckedText({data, size}, child, list, items)
                                : xmlscan::plainWithItems({data, size}, child, list, items)))) &&
        items.count > 0;
    if (!scanned) items = xmlscan::TItems{};
    if (scanned) {
        size_t left = size;
        for (const auto& [begin, end] : items.ranges) left -= end - begin;
        rest.reserve(left);
        size_t from = 0;
        for (const auto& [begin, end] : items.ranges) {
            rest.append(data + from, begin - from);
            from = end;
        }
        rest.append(data + from, size - from);
    }
    int rc = scanned ? parse(m_context, rest.data(), rest.size(), input, doc, root)
                     : parse(m_context, data, size, input, doc, root);
    uint32_t tag = 0;
    if (rc == MSG_OK && (!Reader::rootTag(root, tag) || (expectedTag && tag != expectedTag)))
        rc = MSG_ERR_ROOT;
    Reader reader(m_context);
    const MsgClassType* type = rc == MSG_OK ? reader.typeFor(tag) : nullptr;
    if (rc == MSG_OK && !type) rc = MSG_ERR_UNKNOWN_CLASS;
    if (rc == MSG_OK && strcmp(root.name(), type->info().name) != 0) rc = MSG_ERR_ROOT;
    if (rc == MSG_OK && child && list && !scanned)
        if (pugi::xml_node holder = root.child(child)) reader.leaveOut(holder, list);
    std::unique_ptr<CNMessageBase> message;
    if (rc == MSG_OK) {
        message.reset(type->info().make());
        rc = reader.object(root, *message, 0, root.attribute(kTagAttr));
        if (!scanned) items.count = reader.leftOut();
    }
    if (rc != MSG_OK) {
        items = xmlscan::TItems{};
        logFailure("XMLDecoder", rc, data, size);
        return rc;
    }
    out = std::move(message);
    return MSG_OK;
}

int XMLDecoder::decodeInto(const char* data, size_t size, CNMessageBase& into) {
    InputCopy input;
    pugi::xml_document doc;
    pugi::xml_node root;
    int rc = parse(m_context, data, size, input, doc, root);
    uint32_t tag = 0;
    if (rc == MSG_OK &&
        (!Reader::rootTag(root, tag) || tag != into.getTagID() || strcmp(root.name(), into.className()) != 0))
        rc = MSG_ERR_ROOT;
    CNMessageBase fresh = CNMessageBase::withTag(into.getTagID());
    if (rc == MSG_OK) rc = Reader(m_context).object(root, fresh, 0, root.attribute(kTagAttr));
    if (rc != MSG_OK) {
        logFailure("XMLDecoder", rc, data, size);
        return rc;
    }
    into.swapContent(fresh);
    return MSG_OK;
}
