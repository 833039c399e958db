#include "platform/msg/cnmessagebase.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <utility>

#include "platform/msg/msg_field.h"
#include "platform/msg/msg_log.h"
#include "platform/msg/xml_codec.h"

namespace {

// What a getter hands out by reference when there is nothing stored: reset before every use so that a
// caller writing through an earlier reference cannot leak into a later answer.
thread_local CNMessageBase* tl_noChild = nullptr;
thread_local pstring* tl_noSecret = nullptr;
thread_local std::string tl_text;
const std::string kEmpty;

CNMessageBase*& noChild() {
    tl_noChild = nullptr;
    return tl_noChild;
}

pstring*& noSecret() {
    tl_noSecret = nullptr;
    return tl_noSecret;
}

CNMessageBase* makeChild(uint32_t childTag, int childPackage, int childClassId) {
    auto& registry = CNMessageRegistry::instance();
    const MsgClassType* type =
        childTag ? registry.byTag(childTag) : registry.byClass(childPackage, childClassId);
    if (type) return type->info().make();
    return new CNMessageBase(childPackage, childClassId);
}

template <typename To, typename From>
bool convertList(const std::vector<From>& from, std::vector<To>& to) {
    std::vector<To> out;
    out.reserve(from.size());
    for (const auto& v : from) {
        int64_t n = 0;
        if constexpr (std::is_same_v<From, std::string>) {
            if (!msgParseInt64(v, n)) return false;
        } else {
            n = v;
        }
        if (n < std::numeric_limits<To>::min() || n > std::numeric_limits<To>::max()) return false;
        out.push_back(static_cast<To>(n));
    }
    to = std::move(out);
    return true;
}

}  // namespace

bool msgParseInt64(std::string_view text, int64_t& out) {
    // Up to 18 digits cannot overflow: the common case, read without the general parser.
    const size_t digits = text.size() - (!text.empty() && text.front() == '-');
    if (digits > 0 && digits <= 18) {
        uint64_t v = 0;
        for (size_t n = text.size() - digits; n < text.size(); ++n) {
            const unsigned d = static_cast<unsigned char>(text[n]) - unsigned('0');
            if (d > 9) return false;
            v = v * 10 + d;
        }
        out = text.front() == '-' ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        return true;
    }
    if (text.empty() || text.front() == '+') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

// ---------------------------------------------------------------- stored fields

CNMessageFieldBox::CNMessageFieldBox(const CNMessageFieldBox& other)
    : lists(other.lists ? std::make_unique<CNMessageFieldLists>(*other.lists) : nullptr),
      xmlName(other.xmlName) {}

const CNMessageFieldLists& CNMessageFieldBox::list() const {
    static const CNMessageFieldLists none;
    return lists ? *lists : none;
}

CNMessageField::CNMessageField(const CNMessageField& other)
    : code(other.code),
      i(other.i),
      j(other.j),
      kind(other.kind),
      text(other.text),
      box(other.box ? std::make_unique<CNMessageFieldBox>(*other.box) : nullptr) {
    if (kind == MsgFieldKind::Obj)
        child = other.child ? cloneMessage(*other.child) : nullptr;
    else if (kind == MsgFieldKind::PStr)
        secret = other.secret ? new pstring(*other.secret) : nullptr;
    else
        num = other.num;
}

CNMessageField::CNMessageField(CNMessageField&& other) noexcept
    : code(other.code),
      i(other.i),
      j(other.j),
      kind(other.kind),
      text(std::move(other.text)),
      box(std::move(other.box)) {
    take(other);
}

CNMessageField& CNMessageField::operator=(const CNMessageField& other) {
    if (this != &other) {
        CNMessageField copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CNMessageField& CNMessageField::operator=(CNMessageField&& other) noexcept {
    if (this != &other) {
        release();
        code = other.code;
        i = other.i;
        j = other.j;
        kind = other.kind;
        text = std::move(other.text);
        box = std::move(other.box);
        take(other);
    }
    return *this;
}

void CNMessageField::take(CNMessageField& other) noexcept {
    if (kind == MsgFieldKind::Obj)
        child = other.child;
    else if (kind == MsgFieldKind::PStr)
        secret = other.secret;
    else
        num = other.num;
    other.kind = MsgFieldKind::Int;
    other.num = 0;
}

void CNMessageField::release() {
    if (kind == MsgFieldKind::Obj)
        delete child;
    else if (kind == MsgFieldKind::PStr)
        delete secret;
    kind = MsgFieldKind::Int;
    num = 0;
}

void CNMessageField::reset(MsgFieldKind newKind) {
    release();
    kind = newKind;
    text.clear();
    if (box) box->lists.reset();
}

// ---------------------------------------------------------------- identity and value semantics

CNMessageBase::CNMessageBase(int package, int classId) {
    m_type = CNMessageRegistry::instance().byClass(package, classId);
    if (m_type) {
        m_tag = m_type->tag();
    } else {
        m_tag = msgTag(package, static_cast<uint32_t>(classId));
        msgLog(-1, "CNMessageBase: no message class (%d, %d) is registered; made an untyped message 0x%08x",
               package, classId, m_tag);
    }
}

CNMessageBase::CNMessageBase(const MsgClassType* type) : m_tag(type ? type->tag() : 0), m_type(type) {}

CNMessageBase::CNMessageBase(const MsgClassType* type, uint32_t tag) : m_tag(tag), m_type(type) {}

CNMessageBase::CNMessageBase(RawTag raw)
    : m_tag(raw.tag), m_type(CNMessageRegistry::instance().byTag(raw.tag)) {}

CNMessageBase CNMessageBase::withTag(uint32_t tag) {
    return CNMessageBase(RawTag{tag});
}

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : m_tag(other.m_tag),
      m_type(other.m_type),
      m_xmlWriteFlag(other.m_xmlWriteFlag),
      m_inDeclaredOrder(other.m_inDeclaredOrder),
      m_fields(other.m_fields) {
    indexFields();
}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
    if (this != &other) {
        std::vector<CNMessageField> fields(other.m_fields);  // copy first: `other` may live inside this
        m_tag = other.m_tag;
        m_type = other.m_type;
        m_xmlWriteFlag = other.m_xmlWriteFlag;
        m_inDeclaredOrder = other.m_inDeclaredOrder;
        m_fields = std::move(fields);
        indexFields();
    }
    return *this;
}

CNMessageBase::CNMessageBase(CNMessageBase&& other) noexcept
    : m_tag(other.m_tag),
      m_type(other.m_type),
      m_xmlWriteFlag(other.m_xmlWriteFlag),
      m_inDeclaredOrder(other.m_inDeclaredOrder),
      m_fields(std::move(other.m_fields)),
      m_where(std::move(other.m_where)),
      m_whereBits(std::exchange(other.m_whereBits, 0)) {
    other.m_inDeclaredOrder = false;
}

CNMessageBase& CNMessageBase::operator=(CNMessageBase&& other) noexcept {
    if (this != &other) {
        std::vector<CNMessageField> fields(std::move(other.m_fields));
        m_tag = other.m_tag;
        m_type = other.m_type;
        m_xmlWriteFlag = other.m_xmlWriteFlag;
        m_inDeclaredOrder = std::exchange(other.m_inDeclaredOrder, false);
        m_fields = std::move(fields);
        m_where = std::move(other.m_where);
        m_whereBits = std::exchange(other.m_whereBits, 0);
    }
    return *this;
}

CNMessageBase::~CNMessageBase() = default;

int CNMessageBase::getClassId() const {
    return m_type ? m_type->info().classId : -1;
}

const char* CNMessageBase::className() const {
    return m_type ? m_type->info().name : "Message";
}

size_t CNMessageBase::fieldCount() const {
    return m_fields.size();
}

void CNMessageBase::swapContent(CNMessageBase& other) noexcept {
    m_fields.swap(other.m_fields);
    m_where.swap(other.m_where);
    std::swap(m_whereBits, other.m_whereBits);
    // Declared order is of a class: kept only between messages of one class.
    const bool mine = m_inDeclaredOrder;
    m_inDeclaredOrder = other.m_inDeclaredOrder && other.m_type == m_type;
    other.m_inDeclaredOrder = mine && other.m_type == m_type;
}

// ---------------------------------------------------------------- field store

namespace {

// A message of this many fields keeps the index of where each sits; fewer are searched in a line.
constexpr size_t kIndexedFrom = 32;
// Places kept in an index's slots (1 + the place, 0: empty).
constexpr size_t kIndexedUpTo = UINT16_MAX;

uint32_t whereSlot(uint32_t code, unsigned bits) {
    return (code * 0x9E3779B1u) >> (32 - bits);
}

}  // namespace

const CNMessageField* CNMessageBase::lookUp(uint32_t code) const {
    if (m_where) {
        const uint32_t mask = (uint32_t(1) << m_whereBits) - 1;
        for (uint32_t slot = whereSlot(code, m_whereBits);; slot = (slot + 1) & mask) {
            const uint16_t at = m_where[slot];
            if (at == 0) return nullptr;
            if (m_fields[at - 1].code == code) return &m_fields[at - 1];
        }
    }
    for (const auto& f : m_fields)
        if (f.code == code) return &f;
    return nullptr;
}

// Enters the field at `place` (its code's first field only: a look-up finds the first, as a search does).
void CNMessageBase::indexField(size_t place) {
    const uint32_t mask = (uint32_t(1) << m_whereBits) - 1;
    const uint32_t code = m_fields[place].code;
    uint32_t slot = whereSlot(code, m_whereBits);
    for (; m_where[slot] != 0; slot = (slot + 1) & mask)
        if (m_fields[m_where[slot] - 1].code == code) return;
    m_where[slot] = static_cast<uint16_t>(place + 1);
}

// Makes the index afresh for the fields as they are (none for a message of few fields, or of more than
// it can hold), a table at most half full. Run by every change that moves fields; never by a reader.
void CNMessageBase::indexFields() {
    const size_t count = m_fields.size();
    if (count < kIndexedFrom || count >= kIndexedUpTo) {
        m_where.reset();
        m_whereBits = 0;
        return;
    }
    unsigned bits = 7;
    while ((size_t(1) << bits) < 2 * count) ++bits;
    if (!m_where || bits != m_whereBits)
        m_where = std::make_unique<uint16_t[]>(size_t(1) << bits);
    else
        std::fill_n(m_where.get(), size_t(1) << bits, uint16_t(0));
    m_whereBits = bits;
    for (size_t n = 0; n < count; ++n) indexField(n);
}

bool CNMessageBase::declaredFieldOrder(std::vector<uint32_t>& order) const {
    if (!m_type || m_inDeclaredOrder) return false;  // nothing declared, or put in order since
    const std::span<const MsgFieldInfo> declared = m_type->fields();
    // In order when the places rise: declared fields by their place, each once, then the undeclared.
    constexpr uint32_t kUndeclared = UINT32_MAX;
    bool inOrder = true;
    bool undeclaredSeen = false;
    uint32_t last = 0;
    for (size_t n = 0; n < m_fields.size() && inOrder; ++n) {
        const MsgFieldInfo* info = m_type->field(m_fields[n].code);
        if (!info) {
            undeclaredSeen = true;
            continue;
        }
        const auto place = static_cast<uint32_t>(info - declared.data());
        inOrder = !undeclaredSeen && (n == 0 || place > last);
        last = place;
    }
    if (inOrder) return false;
    // Each declared place takes the first field set at it; the undeclared follow in their own order.
    std::vector<uint32_t> atPlace(declared.size(), kUndeclared);
    std::vector<uint32_t> undeclared;
    for (size_t n = 0; n < m_fields.size(); ++n) {
        if (const MsgFieldInfo* info = m_type->field(m_fields[n].code)) {
            uint32_t& at = atPlace[static_cast<size_t>(info - declared.data())];
            if (at == kUndeclared) at = static_cast<uint32_t>(n);
        } else {
            undeclared.push_back(static_cast<uint32_t>(n));
        }
    }
    order.clear();
    order.reserve(m_fields.size());
    for (uint32_t at : atPlace)
        if (at != kUndeclared) order.push_back(at);
    order.insert(order.end(), undeclared.begin(), undeclared.end());
    return true;
}

void CNMessageBase::putInDeclaredOrder() {
    std::vector<uint32_t> order;
    if (!m_type) return;
    if (declaredFieldOrder(order)) {
        if (order.size() != m_fields.size()) return;  // a declared field set twice: left as it is
        std::vector<CNMessageField> fields;
        fields.reserve(m_fields.size());
        for (uint32_t at : order) fields.push_back(std::move(m_fields[at]));
        m_fields.swap(fields);
        indexFields();
    }
    m_inDeclaredOrder = true;
}

void CNMessageBase::reserveFields(size_t count) {
    m_fields.reserve(count);
}

// A message's fields come one at a time: room is made in few steps, the first for as many as its class
// declares (up to a bound), so that building a message moves the fields set before it seldom.
void CNMessageBase::growFields() {
    constexpr size_t kFirstMost = 16;
    const size_t declared = m_type ? m_type->fields().size() : 0;
    m_fields.reserve(m_fields.empty() ? std::clamp<size_t>(declared, 1, kFirstMost)
                                      : std::max<size_t>(m_fields.size() * 2, 4));
}

CNMessageField& CNMessageBase::addField(uint32_t code, int16_t i, int16_t j, MsgFieldKind kind) {
    if (m_fields.size() == m_fields.capacity()) growFields();
    m_inDeclaredOrder = false;
    CNMessageField& f = m_fields.emplace_back();
    f.code = code;
    f.i = i;
    f.j = j;
    f.kind = kind;
    if (m_where && m_fields.size() * 2 <= (size_t(1) << m_whereBits))
        indexField(m_fields.size() - 1);
    else if (m_where || m_fields.size() == kIndexedFrom)
        indexFields();
    return f;
}

CNMessageField& CNMessageBase::fieldFor(short i, short j, uint32_t code, MsgFieldKind kind) {
    CNMessageField* f = findField(code);
    if (!f) return addField(code, i, j, kind);
    f->reset(kind);
    f->i = i;
    f->j = j;
    return *f;
}

bool CNMessageBase::addressRefused(unsigned long tag, unsigned long code, const char* op) const {
    msgLog(-1, "CNMessageBase::%s: field 0x%06lx addressed with tag 0x%08lx on a %s (tag 0x%08x); ignored",
           op, code, tag, className(), m_tag);
    return false;
}

void CNMessageBase::setint64(short i, short j, int64_t value, unsigned long tag, unsigned long code) {
    if (!addressOk(tag, code, "setint64")) return;
    fieldFor(i, j, static_cast<uint32_t>(code), MsgFieldKind::Int).num = value;
}

int64_t CNMessageBase::getint64(short, unsigned long tag, unsigned long code) const {
    if (!addressOk(tag, code, "getint64")) return 0;
    const CNMessageField* f = findField(static_cast<uint32_t>(code));
    if (!f) return 0;
    if (f->kind == MsgFieldKind::Int) return f->num;
    int64_t n = 0;
    if (f->kind == MsgFieldKind::Str && msgParseInt64(f->text, n)) return n;
    return 0;
}

void CNMessageBase::setstring(short i, short j, const std::string& text, unsigned long tag,
                              unsigned long code) {
    if (!addressOk(tag, code, "setstring")) return;
    std::string copy(text);  // `text` may be this very field's value
    fieldFor(i, j, static_cast<uint32_t>(code), MsgFieldKind::Str).text = std::move(copy);
}

std::string CNMessageBase::getstring(short i, short j, unsigned long tag, unsigned long code) const {
    return getstringByRef(i, j, tag, code);
}

const std::string& CNMessageBase::getstringByRef(short, short, unsigned long tag, unsigned long code) const {
    if (!addressOk(tag, code, "getstring")) return kEmpty;
    const CNMessageField* f = findField(static_cast<uint32_t>(code));
    if (!f) return kEmpty;
    if (f->kind == MsgFieldKind::Str) return f->text;
    if (f->kind == MsgFieldKind::Int) {
        tl_text = std::to_string(f->num);
        return tl_text;
    }
    return kEmpty;
}

void CNMessageBase::setpstringobject(short i, short j, const bstring& value, int encryptType,
                                     unsigned long tag, unsigned long code) {
    if (!addressOk(tag, code, "setpstringobject")) return;
    auto secret = std::make_unique<pstring>(value, encryptType);
    fieldFor(i, j, static_cast<uint32_t>(code), MsgFieldKind::PStr).secret = secret.release();
}

pstring*& CNMessageBase::getpstringobject(short, short, unsigned long tag, unsigned long code) {
    if (!addressOk(tag, code, "getpstringobject")) return noSecret();
    CNMessageField* f = findField(static_cast<uint32_t>(code));
    if (!f || f->kind != MsgFieldKind::PStr) return noSecret();
    return f->secret;
}

void CNMessageBase::setObjectAccessor(const CNMessageBase& child, short i, short j, unsigned long tag,
                                      unsigned long code) {
    if (!addressOk(tag, code, "setObjectAccessor")) return;
    std::unique_ptr<CNMessageBase> copy(
        cloneMessage(child));  // before the field is reset: child may live in it
    fieldFor(i, j, static_cast<uint32_t>(code), MsgFieldKind::Obj).child = copy.release();
}

CNMessageBase*& CNMessageBase::getObjectAccessor(int, int create, short i, short j, unsigned long tag,
                                                 unsigned long code, int childPackage, int childClassId) {
    if (!addressOk(tag, code, "getObjectAccessor")) return noChild();
    CNMessageField* f = findField(static_cast<uint32_t>(code));
    if (f && f->kind != MsgFieldKind::Obj) {
        msgLog(-1, "CNMessageBase::getObjectAccessor: field 0x%06lx of %s holds a %s, not an object", code,
               className(), msgFieldKindName(f->kind));
        return noChild();
    }
    if (!f) {
        if (!create) return noChild();
        f = &addField(static_cast<uint32_t>(code), i, j, MsgFieldKind::Obj);
    }
    CNMessageBase*& child = f->child;
    if (!child && create) child = makeChild(0, childPackage, childClassId);
    return child;
}

// One look-up of the field; the child's class is looked up only when the child is made (a message
// built item by item makes several children each).
CNMessageBase* CNMessageBase::getObjectAccessor(const MsgFieldRef& f, bool create) {
    if (!addressOk(f.tag, f.code, "getObjectAccessor")) return nullptr;
    CNMessageField* field = findField(f.code);
    if (field && field->kind != MsgFieldKind::Obj) {
        msgLog(-1, "CNMessageBase::getObjectAccessor: field 0x%06x of %s holds a %s, not an object", f.code,
               className(), msgFieldKindName(field->kind));
        return nullptr;
    }
    if (field && field->child) return field->child;
    if (!create) return nullptr;
    if (!field) field = &addField(f.code, f.i, f.j, MsgFieldKind::Obj);
    const MsgClassType* type = f.childTag ? CNMessageRegistry::instance().byTag(f.childTag) : nullptr;
    field->child = type ? type->info().make() : new CNMessageBase(CNMessageBase::withTag(f.childTag));
    return field->child;
}

void CNMessageBase::setlistobject(short i, short j, const std::vector<CNMessageBase>& items,
                                  unsigned long tag, unsigned long code) {
    if (!addressOk(tag, code, "setlistobject")) return;
    std::vector<CNMessageBase> copy(items);
    fieldFor(i, j, static_cast<uint32_t>(code), MsgFieldKind::ObjList).list().objects = std::move(copy);
}

void CNMessageBase::setlistobject(short i, short j, std::vector<CNMessageBase>&& items, unsigned long tag,
                                  unsigned long code) {
    if (!addressOk(tag, code, "setlistobject")) return;
    std::vector<CNMessageBase> taken(std::move(items));  // the vector's own move: no item is copied
    fieldFor(i, j, static_cast<uint32_t>(code), MsgFieldKind::ObjList).list().objects = std::move(taken);
}

void CNMessageBase::setliststring(short i, short j, const std::vector<std::string>& items, unsigned long tag,
                                  unsigned long code) {
    if (!addressOk(tag, code, "setliststring")) return;
    std::vector<std::string> copy(items);
    fieldFor(i, j, static_cast<uint32_t>(code), MsgFieldKind::StrList).list().strings = std::move(copy);
}

namespace {

// Finds a list field of `kind`, creating it when asked; nullptr when absent or of another kind.
CNMessageField* listField(CNMessageBase& m, short i, short j, uint32_t code, MsgFieldKind kind, bool create) {
    CNMessageField* f = m.findField(code);
    if (!f) return create ? &m.addField(code, i, j, kind) : nullptr;
    return f;
}

void logListKind(const CNMessageBase& m, uint32_t code, const CNMessageField& f, const char* wanted) {
    msgLog(-1, "CNMessageBase: field 0x%06x of %s holds a %s, not a %s", code, m.className(),
           msgFieldKindName(f.kind), wanted);
}

}  // namespace

namespace {

// Which stored kind and which vector of the box hold a list of T.
template <typename T>
struct ListOf;
template <>
struct ListOf<CNMessageBase> {
    static constexpr MsgFieldKind kind = MsgFieldKind::ObjList;
    static constexpr auto member = &CNMessageFieldLists::objects;
};
template <>
struct ListOf<std::string> {
    static constexpr MsgFieldKind kind = MsgFieldKind::StrList;
    static constexpr auto member = &CNMessageFieldLists::strings;
};
template <>
struct ListOf<int> {
    static constexpr MsgFieldKind kind = MsgFieldKind::IntList;
    static constexpr auto member = &CNMessageFieldLists::ints;
};
template <>
struct ListOf<long long> {
    static constexpr MsgFieldKind kind = MsgFieldKind::LongList;
    static constexpr auto member = &CNMessageFieldLists::longs;
};

}  // namespace

// Integer lists read from XML of an undeclared field arrive as texts; they become numbers on first
// read as numbers, and only when every element is one (the same between 32 and 64 bits).
template <typename T>
std::vector<T>* CNMessageBase::listOf(short i, short j, unsigned long tag, unsigned long code, bool create,
                                      const char* op) {
    constexpr MsgFieldKind want = ListOf<T>::kind;
    if (!addressOk(tag, code, op)) return nullptr;
    CNMessageField* f = listField(*this, i, j, static_cast<uint32_t>(code), want, create);
    if (!f) return nullptr;
    CNMessageFieldLists& l = f->list();
    std::vector<T>& mine = l.*ListOf<T>::member;
    if (f->kind == want) return &mine;
    if constexpr (std::is_integral_v<T>) {
        if ((f->kind == MsgFieldKind::IntList && convertList(l.ints, mine)) ||
            (f->kind == MsgFieldKind::LongList && convertList(l.longs, mine)) ||
            (f->kind == MsgFieldKind::StrList && convertList(l.strings, mine))) {
            if constexpr (want == MsgFieldKind::IntList)
                l.longs.clear();
            else
                l.ints.clear();
            l.strings.clear();
            f->kind = want;
            return &mine;
        }
    }
    logListKind(*this, static_cast<uint32_t>(code), *f, msgFieldKindName(want));
    return nullptr;
}

std::vector<CNMessageBase>* CNMessageBase::getlistobject(short i, short j, unsigned long tag,
                                                         unsigned long code, int flag) {
    return listOf<CNMessageBase>(i, j, tag, code, flag != 0, "getlistobject");
}

std::vector<std::string>* CNMessageBase::getliststring(short i, short j, unsigned long tag,
                                                       unsigned long code, int flag) {
    return listOf<std::string>(i, j, tag, code, flag != 0, "getliststring");
}

std::vector<int>* CNMessageBase::getlistint(short i, short j, unsigned long tag, unsigned long code,
                                            bool flag) {
    return listOf<int>(i, j, tag, code, flag, "getlistint");
}

std::vector<long long>* CNMessageBase::getlistlonglong(short i, short j, unsigned long tag,
                                                       unsigned long code, bool flag) {
    return listOf<long long>(i, j, tag, code, flag, "getlistlonglong");
}

bool CNMessageBase::isSet(short, unsigned long tag, unsigned long code) const {
    return addressOk(tag, code, "isSet") && findField(static_cast<uint32_t>(code)) != nullptr;
}

bool CNMessageBase::clearField(unsigned long tag, unsigned long code) {
    if (!addressOk(tag, code, "clearField")) return false;
    for (auto it = m_fields.begin(); it != m_fields.end(); ++it) {
        if (it->code == code) {
            m_fields.erase(it);
            indexFields();
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- XML

int CNMessageBase::serialize(std::string& out, bool readable) const {
    unsigned flags = (readable ? unsigned(XML_ENCODE_READABLE) : 0u) |
                     (m_xmlWriteFlag ? unsigned(XML_ENCODE_DECLARATION) : 0u);
    return XMLEncoder(static_cast<EncodingFlags>(flags)).serialize(*this, out, readable);
}

int CNMessageBase::unserialize(const std::string& in) {
    return unserialize(in.data(), in.size());
}

int CNMessageBase::unserialize(const char* in) {
    if (!in) return MSG_ERR_EMPTY;
    return unserialize(in, std::char_traits<char>::length(in));
}

int CNMessageBase::unserialize(const char* data, size_t size) {
    return XMLDecoder().decodeInto(data, size, *this);
}

std::string CNMessageBase::AsString() const {
    std::string out;
    if (XMLEncoder(XML_ENCODE_MASK_SECRETS).serialize(*this, out, false) != 0)
        out = std::string("<") + className() + " unprintable/>";
    return out;
}

// ---------------------------------------------------------------- copies

CNMessageBase* cloneMessage(const CNMessageBase& message) {
    CNMessageBase* copy = message.classType() ? message.classType()->info().make()
                                              : new CNMessageBase(CNMessageBase::withTag(message.getTagID()));
    *copy = message;
    return copy;
}

int copyFieldsByCode(const CNMessageBase& from, CNMessageBase& to) {
    // Every value is copied out of `from` before `to` changes: `from` may be `to` or live inside it.
    std::vector<CNMessageField> values;
    const MsgClassType* type = to.classType();
    for (size_t n = 0; n < from.fieldCount(); ++n) {
        const CNMessageField& src = from.fieldAt(n);
        const MsgFieldInfo* info = type ? type->field(src.code) : nullptr;
        if (type && !info) continue;
        CNMessageField value(src);
        if (info) {
            value.i = info->i;
            value.j = info->j;
            if (info->kind != src.kind) {
                int64_t num = 0;
                if (info->kind == MsgFieldKind::Int && src.kind == MsgFieldKind::Str &&
                    msgParseInt64(src.text, num)) {
                    value.reset(MsgFieldKind::Int);
                    value.num = num;
                } else if (info->kind == MsgFieldKind::Str && src.kind == MsgFieldKind::Int) {
                    value.reset(MsgFieldKind::Str);
                    value.text = std::to_string(src.num);
                } else {
                    continue;
                }
            }
        }
        values.push_back(std::move(value));
    }
    for (auto& value : values) {
        if (CNMessageField* existing = to.findField(value.code))
            *existing = std::move(value);
        else
            to.addField(value.code, value.i, value.j, value.kind) = std::move(value);
    }
    return static_cast<int>(values.size());
}
