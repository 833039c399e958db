// CNMessageBase: the generic message object under every message class. It stores field values keyed
// by field code (integers, texts, password texts, child objects, lists), writes and reads the XML form,
// and is what the network and stored-procedure calls carry. One object is used by one thread at a
// time; distinct objects may be used from any threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/msg/msg_registry.h"
#include "platform/msg/pstring.h"

struct CNMessageField;

class CNMessageBase {
public:
    // The class registered as (package, classId); an unknown pair makes an object of no class,
    // with the tag (package << 24) | classId, and is logged.
    CNMessageBase(int package, int classId);
    // An object of the class with this tag (used by the message classes and the decoder).
    explicit CNMessageBase(const MsgClassType* type);
    // An object of an unregistered class: only the tag is known.
    static CNMessageBase withTag(uint32_t tag);

    // Deep copies: children and list elements are copied, never shared.
    CNMessageBase(const CNMessageBase& other);
    CNMessageBase& operator=(const CNMessageBase& other);
    CNMessageBase(CNMessageBase&& other) noexcept;
    CNMessageBase& operator=(CNMessageBase&& other) noexcept;
    virtual ~CNMessageBase();

    uint32_t getTagID() const { return m_tag; }
    int getPackage() const { return msgTagPackage(m_tag); }
    int getClassId() const;
    const MsgClassType* classType() const { return m_type; }
    // Short class name ("BrowseRequest"), or "Message" for an unregistered class.
    const char* className() const;

    // ---- integers
    void setint64(short i, short j, int64_t value, unsigned long tag, unsigned long code);
    int64_t getint64(short j, unsigned long tag, unsigned long code) const;  // 0 when unset

    // ---- texts
    void setstring(short i, short j, const std::string& text, unsigned long tag, unsigned long code);
    std::string getstring(short i, short j, unsigned long tag, unsigned long code) const;  // "" when unset
    // An integer field read as text comes back in a per-thread buffer, valid until the next such read.
    const std::string& getstringByRef(short i, short j, unsigned long tag, unsigned long code) const;

    // ---- password texts; the read gives the stored pointer (null when unset). The pstring itself
    // stays put while this object lives; the reference to the pointer holds until a field is added.
    void setpstringobject(short i, short j, const bstring& value, int encryptType, unsigned long tag,
                          unsigned long code);
    pstring*& getpstringobject(short i, short j, unsigned long tag, unsigned long code);

    // ---- child objects. The getter gives the stored child pointer; when the child is absent and
    // `create` is non-zero it first makes one of class (childPackage, childClassId). The child is owned
    // by this object and stays where it is while this object lives; the reference to the pointer holds
    // until a field is added to this object.
    void setObjectAccessor(const CNMessageBase& child, short i, short j, unsigned long tag,
                           unsigned long code);
    CNMessageBase*& getObjectAccessor(int flag, int create, short i, short j, unsigned long tag,
                                      unsigned long code, int childPackage, int childClassId);

    // ---- lists. With `flag` non-zero an absent list is created empty; otherwise absent gives nullptr.
    void setlistobject(short i, short j, const std::vector<CNMessageBase>& items, unsigned long tag,
                       unsigned long code);
    void setlistobject(short i, short j, std::vector<CNMessageBase>&& items, unsigned long tag,
                       unsigned long code);
    std::vector<CNMessageBase>* getlistobject(short i, short j, unsigned long tag, unsigned long code,
                                              int flag);
    void setliststring(short i, short j, const std::vector<std::string>& items, unsigned long tag,
                       unsigned long code);
    std::vector<std::string>* getliststring(short i, short j, unsigned long tag, unsigned long code,
                                            int flag);
    std::vector<int>* getlistint(short i, short j, unsigned long tag, unsigned long code, bool flag);
    std::vector<long long>* getlistlonglong(short i, short j, unsigned long tag, unsigned long code,
                                            bool flag);

    bool isSet(short i, unsigned long tag, unsigned long code) const;
    // Drops the field; true when it was set.
    bool clearField(unsigned long tag, unsigned long code);

    // ---- the same through a field reference of the catalogue
    void setint64(const MsgFieldRef& f, int64_t value) { setint64(f.i, f.j, value, f.tag, f.code); }
    int64_t getint64(const MsgFieldRef& f) const { return getint64(f.j, f.tag, f.code); }
    void setstring(const MsgFieldRef& f, const std::string& text) {
        setstring(f.i, f.j, text, f.tag, f.code);
    }
    std::string getstring(const MsgFieldRef& f) const { return getstring(f.i, f.j, f.tag, f.code); }
    void setpstringobject(const MsgFieldRef& f, const bstring& value, int encryptType = 1) {
        setpstringobject(f.i, f.j, value, encryptType, f.tag, f.code);
    }
    pstring*& getpstringobject(const MsgFieldRef& f) { return getpstringobject(f.i, f.j, f.tag, f.code); }
    void setObjectAccessor(const CNMessageBase& child, const MsgFieldRef& f) {
        setObjectAccessor(child, f.i, f.j, f.tag, f.code);
    }
    CNMessageBase* getObjectAccessor(const MsgFieldRef& f, bool create);
    std::vector<CNMessageBase>* getlistobject(const MsgFieldRef& f, bool create) {
        return getlistobject(f.i, f.j, f.tag, f.code, create);
    }
    void setlistobject(const MsgFieldRef& f, const std::vector<CNMessageBase>& items) {
        setlistobject(f.i, f.j, items, f.tag, f.code);
    }
    // The same, taking the items themselves: no item is copied.
    void setlistobject(const MsgFieldRef& f, std::vector<CNMessageBase>&& items) {
        setlistobject(f.i, f.j, std::move(items), f.tag, f.code);
    }
    void setliststring(const MsgFieldRef& f, const std::vector<std::string>& items) {
        setliststring(f.i, f.j, items, f.tag, f.code);
    }
    std::vector<std::string>* getliststring(const MsgFieldRef& f, bool create) {
        return getliststring(f.i, f.j, f.tag, f.code, create);
    }
    bool isSet(const MsgFieldRef& f) const { return isSet(f.i, f.tag, f.code); }

    // ---- XML
    // Writes the XML form; `readable` adds line breaks and indentation. 0 on success.
    int serialize(std::string& out, bool readable = false) const;
    // Replaces this object's content with the XML's; the root must be of this object's class.
    // On failure the object is left as it was. 0 on success.
    int unserialize(const std::string& in);
    int unserialize(const char* in);
    int unserialize(const char* data, size_t size);
    // Text form for logs: the XML with every password field masked.
    std::string AsString() const;
    // The positions of the fields in their class's declared order, then those it does not declare in
    // their own order (a declared field set twice: its first place only). False when the fields are in
    // that order already (`order` is then left as it was).
    bool declaredFieldOrder(std::vector<uint32_t>& order) const;
    // Puts the fields in that order (a message holding a declared field twice stays as it is): written
    // then, its text is the one written in declared order (XML_ENCODE_DECLARED_ORDER), which a signer's
    // digest is made of, so the one text serves the digest, the wire and the log.
    void putInDeclaredOrder();
    // Makes serialize() start with an XML declaration, for a standalone document.
    void setXmlWriteFlag(bool flag) { m_xmlWriteFlag = flag; }
    bool getXmlWriteFlag() const { return m_xmlWriteFlag; }

    // ---- for the codec, the walker and the copier in this component
    size_t fieldCount() const;
    // (inline, in msg_field.h)
    const CNMessageField& fieldAt(size_t n) const;
    CNMessageField& fieldAt(size_t n);
    CNMessageField* findField(uint32_t code) { return const_cast<CNMessageField*>(lookUp(code)); }
    const CNMessageField* findField(uint32_t code) const { return lookUp(code); }
    CNMessageField& addField(uint32_t code, int16_t i, int16_t j, MsgFieldKind kind);
    void reserveFields(size_t count);
    void swapContent(CNMessageBase& other) noexcept;

protected:
    // A message class's own constructor: its registered type (null only if its family failed to
    // register, which is logged) and its tag.
    CNMessageBase(const MsgClassType* type, uint32_t tag);
    struct RawTag {
        uint32_t tag;
    };
    explicit CNMessageBase(RawTag raw);

private:
    // True when a field is addressed with this message's tag and a code that fits; else logged. Every
    // access asks: the usual answer costs a comparison.
    bool addressOk(unsigned long tag, unsigned long code, const char* op) const {
        return (tag == m_tag && code <= 0xFFFFFF) || addressRefused(tag, code, op);
    }
    bool addressRefused(unsigned long tag, unsigned long code, const char* op) const;
    void growFields();
    const CNMessageField* lookUp(uint32_t code) const;
    void indexField(size_t place);
    void indexFields();
    CNMessageField& fieldFor(short i, short j, uint32_t code, MsgFieldKind kind);
    template <typename T>
    std::vector<T>* listOf(short i, short j, unsigned long tag, unsigned long code, bool create,
                           const char* op);

    uint32_t m_tag = 0;
    const MsgClassType* m_type = nullptr;  // nullptr: unregistered class
    bool m_xmlWriteFlag = false;
    // Put in its class's declared order and no field added since (a field dropped keeps the order).
    bool m_inDeclaredOrder = false;
    std::vector<CNMessageField> m_fields;  // in the order they were first set
    // For a message of many fields, where each field's code is found without a search: slots by hashed
    // code holding 1 + the field's place (0: empty), 2^m_whereBits of them; none for few fields.
    std::unique_ptr<uint16_t[]> m_where;
    unsigned m_whereBits = 0;
};

// A deep copy of `message` as an object of its own class (or of no class when unregistered).
CNMessageBase* cloneMessage(const CNMessageBase& message);

// Copies every field of `from` whose code `to`'s class declares with the same kind (fields of equal
// name have equal codes), at `to`'s positions; values are deep-copied. An unregistered `to` takes every
// field. Returns the number of fields copied.
int copyFieldsByCode(const CNMessageBase& from, CNMessageBase& to);

// The XML form of `message` for a log line or a procedure's input (what serialize() writes; a message
// that cannot be written gives what was written of it).
inline std::string messageXml(const CNMessageBase& message) {
    std::string xml;
    message.serialize(xml);
    return xml;
}
