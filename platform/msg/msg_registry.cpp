#include "platform/msg/msg_registry.h"

#include <algorithm>
#include <array>

#include "platform/msg/cnmessagebase.h"
#include "platform/msg/msg_log.h"

namespace {

uint64_t classKey(int package, int classId) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(package)) << 32) | static_cast<uint32_t>(classId);
}

}  // namespace

const char* msgFieldKindName(MsgFieldKind kind) {
    static const char* const names[] = {
        "integer",         "text",          "password text",           "object",
        "list of objects", "list of texts", "list of 32-bit integers", "list of 64-bit integers"};
    auto n = static_cast<size_t>(kind);
    return n < std::size(names) ? names[n] : "?";
}

MsgClassType::MsgClassType(const MsgClassInfo& info) : m_info(info) {
    int bits = 1;
    while ((size_t(1) << bits) < 2 * info.fieldCount) ++bits;
    m_slots.assign(size_t(1) << bits, 0);
    m_mask = (uint32_t(1) << bits) - 1;
    m_shift = 32 - bits;
    for (size_t n = 0; n < info.fieldCount; ++n)
        m_names.push_back(info.fields[n].xmlName ? std::string_view(info.fields[n].xmlName)
                                                 : std::string_view());
    // A code declared twice keeps its first declaration (the catalogue test refuses such a class).
    for (size_t n = 0; n < info.fieldCount; ++n) {
        if (field(info.fields[n].code)) continue;
        uint32_t slot = (info.fields[n].code * 0x9E3779B1u) >> m_shift;
        while (m_slots[slot]) slot = (slot + 1) & m_mask;
        m_slots[slot] = static_cast<uint32_t>(n + 1);
    }
}

CNMessageRegistry& CNMessageRegistry::instance() {
    static CNMessageRegistry* registry = [] {
        auto* r = new CNMessageRegistry();  // never destroyed: messages may outlive static destruction order
        registerCatalogueFamilies(*r);
        return r;
    }();
    return *registry;
}

int CNMessageRegistry::registerFamily(const MsgFamily& family) {
    CHubWriteLock lock(m_lock);
    for (const MsgClassInfo& c : family.classes) {
        const MsgClassType* held = nullptr;
        if (auto it = m_byTag.find(c.tag); it != m_byTag.end()) held = it->second;
        if (!held && c.classId >= 0)
            if (auto it = m_byClass.find(classKey(c.package, c.classId)); it != m_byClass.end())
                held = it->second;
        if (held || c.package != family.package || msgTagPackage(c.tag) != c.package) {
            msgLog(-1,
                   "CNMessageRegistry: family %s (%d) not registered: class %s (%d, %d, tag 0x%08x) clashes "
                   "with %s",
                   family.ns, family.package, c.name, c.package, c.classId, c.tag,
                   held ? held->info().name : "its package");
            return 1;
        }
    }
    for (const MsgClassInfo& c : family.classes) {
        m_types.push_back(std::make_unique<MsgClassType>(c));
        const MsgClassType* type = m_types.back().get();
        m_byTag[c.tag] = type;
        if (c.classId >= 0) m_byClass[classKey(c.package, c.classId)] = type;
        for (const MsgFieldInfo& f : type->fields())
            if (f.xmlName) m_fieldNames.emplace(f.code, f.xmlName);
    }
    return 0;
}

const MsgClassType* CNMessageRegistry::byTag(uint32_t tag) const {
    // Every object of every message decoded or built looks its class up here. A tag once registered
    // names its class for the life of the process (a clash is refused, nothing is taken out, the one
    // registry is never destroyed): each thread keeps the classes it found, and a look-up it made
    // before takes no lock.
    struct TSeen {
        uint32_t tag;
        const MsgClassType* type;
    };
    thread_local std::array<TSeen, 64> seen{};
    TSeen& slot = seen[(tag ^ (tag >> 6) ^ (tag >> 18)) & 63];
    if (slot.type && slot.tag == tag) return slot.type;
    const MsgClassType* type = nullptr;
    {
        CHubReadLock lock(m_lock);
        auto it = m_byTag.find(tag);
        if (it != m_byTag.end()) type = it->second;
    }
    if (type) slot = {tag, type};
    return type;
}

const MsgClassType* CNMessageRegistry::byClass(int package, int classId) const {
    CHubReadLock lock(m_lock);
    auto it = m_byClass.find(classKey(package, classId));
    return it == m_byClass.end() ? nullptr : it->second;
}

CNMessageBase* CNMessageRegistry::create(uint32_t tag) const {
    const MsgClassType* type = byTag(tag);
    return type ? type->info().make() : nullptr;
}

const char* CNMessageRegistry::fieldName(uint32_t code) const {
    CHubReadLock lock(m_lock);
    auto it = m_fieldNames.find(code);
    return it == m_fieldNames.end() ? nullptr : it->second;
}

std::vector<const MsgClassType*> CNMessageRegistry::allClasses() const {
    CHubReadLock lock(m_lock);
    std::vector<const MsgClassType*> out;
    for (const auto& t : m_types) out.push_back(t.get());
    return out;
}
