// One stored field of a CNMessageBase, for the message component's own units (codec, walker,
// copier). Integers live in `num`, texts in `text`; a child object or a password text is owned through
// `child` / `secret` (the object itself never moves; the slot moves with the field); lists and the XML
// name of a field no class declares live in the box. Same threading as the message that holds it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/msg/cnmessagebase.h"

struct CNMessageFieldLists {
    std::vector<CNMessageBase> objects;
    std::vector<std::string> strings;
    std::vector<int> ints;
    std::vector<long long> longs;
};

struct CNMessageFieldBox {
    std::unique_ptr<CNMessageFieldLists> lists;  // the list kinds
    std::string xmlName;                         // name read from XML for a field the class does not declare

    CNMessageFieldBox() = default;
    CNMessageFieldBox(const CNMessageFieldBox& other);
    CNMessageFieldBox& operator=(const CNMessageFieldBox&) = delete;

    CNMessageFieldLists& list() {
        if (!lists) lists = std::make_unique<CNMessageFieldLists>();
        return *lists;
    }
    const CNMessageFieldLists& list() const;
};

struct CNMessageField {
    uint32_t code = 0;
    int16_t i = -1;
    int16_t j = -1;
    MsgFieldKind kind = MsgFieldKind::Int;
    union {
        int64_t num = 0;       // Int
        CNMessageBase* child;  // Obj: owned
        pstring* secret;       // PStr: owned
    };
    std::string text;
    std::unique_ptr<CNMessageFieldBox> box;

    CNMessageField() = default;
    CNMessageField(const CNMessageField& other);
    CNMessageField& operator=(const CNMessageField& other);
    CNMessageField(CNMessageField&& other) noexcept;
    CNMessageField& operator=(CNMessageField&& other) noexcept;
    // Most fields own nothing beyond their text: those are let go without a call.
    ~CNMessageField() {
        if (kind == MsgFieldKind::Obj || kind == MsgFieldKind::PStr) release();
    }

    CNMessageFieldBox& boxed() {
        if (!box) box = std::make_unique<CNMessageFieldBox>();
        return *box;
    }
    CNMessageFieldLists& list() { return boxed().list(); }
    // Makes the field hold a fresh value of `kind` (dropping the old value, keeping its XML name).
    void reset(MsgFieldKind newKind);

private:
    void release();                             // frees what the field owns; leaves an integer 0
    void take(CNMessageField& other) noexcept;  // moves the value of `kind` out of `other`
};

// Read by every writer and walker for every field: defined where a field's type is complete.
inline const CNMessageField& CNMessageBase::fieldAt(size_t n) const {
    return m_fields[n];
}
inline CNMessageField& CNMessageBase::fieldAt(size_t n) {
    return m_fields[n];
}

// Strict decimal parse of a signed 64-bit integer: the whole text, optional '-', no blanks.
bool msgParseInt64(std::string_view text, int64_t& out);

// XML name of a stored field: as `owner`'s class declares it, else as read from XML, else as any class
// names that code, else the code form "f.<hex>" written into `codeBuf`.
std::string_view msgFieldXmlName(const CNMessageBase& owner, const CNMessageField& f, char (&codeBuf)[16]);
