// The message-class registry: every message family (one package of classes) registers its class
// descriptors here, and the registry answers "which class has this tag", "make me one", and "what is
// this field called". The catalogue's families register themselves on first use; any thread may
// look up or register at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/msg/msg_identity.h"
#include "platform/threads/hubmutex.h"

class CNMessageBase;

// How a field's value is held and written.
enum class MsgFieldKind : uint8_t {
    Int,       // any integer, enum, boolean or time: signed 64-bit
    Str,       // text
    PStr,      // password text: never written or logged in clear
    Obj,       // one child object
    ObjList,   // list of objects
    StrList,   // list of texts
    IntList,   // list of 32-bit integers
    LongList,  // list of 64-bit integers
};

const char* msgFieldKindName(MsgFieldKind kind);

// One declared field of a class, as the catalogue gives it.
struct MsgFieldInfo {
    const char* ident;    // name of the field reference in code
    const char* xmlName;  // XML name; nullptr when the field is known by its code only
    uint32_t code;        // 24-bit field code
    int16_t i;            // presence index (-1: not known)
    int16_t j;            // element index (-1: not known)
    MsgFieldKind kind;
    uint32_t childTag;  // class of the child object or of the list's elements; 0: not fixed
};

// The address of a field that callers pass around: what the accessors of CNMessageBase take.
struct MsgFieldRef {
    int16_t i;
    int16_t j;
    uint32_t tag;   // class that owns the field
    uint32_t code;  // field code
    MsgFieldKind kind;
    uint32_t childTag;
};

// One class of a family.
struct MsgClassInfo {
    const char* ns;    // namespace, e.g. "databrowse"
    const char* name;  // short class name, also the root element of its XML
    int package;
    int classId;  // -1: the class has no id of its own (only received or read from lists)
    uint32_t tag;
    const MsgFieldInfo* fields;
    size_t fieldCount;
    CNMessageBase* (*make)();  // a new object of the class, owned by the caller
};

// A family: one package of classes registered together.
struct MsgFamily {
    const char* ns;
    int package;
    std::span<const MsgClassInfo> classes;
};

// A registered class with its field index; lives as long as the process.
class MsgClassType {
public:
    explicit MsgClassType(const MsgClassInfo& info);
    const MsgClassInfo& info() const { return m_info; }
    uint32_t tag() const { return m_info.tag; }
    // Every field read from XML and every field written is looked up here: one multiply and a probe
    // or two of a table that is at most half full.
    const MsgFieldInfo* field(uint32_t code) const {
        for (uint32_t slot = (code * 0x9E3779B1u) >> m_shift;; slot = (slot + 1) & m_mask) {
            const uint32_t at = m_slots[slot];
            if (at == 0) return nullptr;
            if (m_info.fields[at - 1].code == code) return &m_info.fields[at - 1];
        }
    }
    std::span<const MsgFieldInfo> fields() const { return {m_info.fields, m_info.fieldCount}; }
    // The XML name of one of this class's fields, measured once; empty when it is known by code only.
    std::string_view xmlName(const MsgFieldInfo& f) const {
        return m_names[static_cast<size_t>(&f - m_info.fields)];
    }

private:
    MsgClassInfo m_info;
    std::vector<std::string_view> m_names;  // by place in m_info.fields
    std::vector<uint32_t> m_slots;          // by hashed code: 1 + the field's place in m_info.fields; 0 empty
    uint32_t m_mask = 0;
    int m_shift = 32;
};

class CNMessageRegistry {
public:
    static CNMessageRegistry& instance();

    // Registers every class of the family. Returns 0, or non-zero (and registers nothing) when a tag
    // or a (package, class id) pair is already held by another class, or a class is outside the
    // family's package.
    int registerFamily(const MsgFamily& family);

    const MsgClassType* byTag(uint32_t tag) const;
    const MsgClassType* byClass(int package, int classId) const;

    // A new object of the class with this tag (nullptr when no class has it). Caller owns it.
    CNMessageBase* create(uint32_t tag) const;

    // XML name of a field code as any registered class declares it; nullptr when none does.
    const char* fieldName(uint32_t code) const;

    std::vector<const MsgClassType*> allClasses() const;

private:
    CNMessageRegistry() = default;

    mutable CHubSharedMutex m_lock;
    std::vector<std::unique_ptr<MsgClassType>> m_types GUARDED_BY(m_lock);
    std::unordered_map<uint32_t, const MsgClassType*> m_byTag GUARDED_BY(m_lock);
    std::unordered_map<uint64_t, const MsgClassType*> m_byClass GUARDED_BY(m_lock);
    std::unordered_map<uint32_t, const char*> m_fieldNames GUARDED_BY(m_lock);
};

// Registers the families of the built-in catalogue (idempotent; called by instance()).
void registerCatalogueFamilies(CNMessageRegistry& registry);
