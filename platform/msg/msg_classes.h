// The message classes of the catalogue (msg_catalogue.def): for each class its tag constant
// (msgtag::ns_Name), the class ns::Name over CNMessageBase, and its field references (ns::Name::f::x).
// Plain declarations; objects follow CNMessageBase's threading rule.
#pragma once

#include "platform/msg/cnmessagebase.h"
#include "platform/msg/msg_enums.h"

inline constexpr MsgFieldKind kMsgKind_INT = MsgFieldKind::Int;
inline constexpr MsgFieldKind kMsgKind_STR = MsgFieldKind::Str;
inline constexpr MsgFieldKind kMsgKind_PSTR = MsgFieldKind::PStr;
inline constexpr MsgFieldKind kMsgKind_OBJ = MsgFieldKind::Obj;
inline constexpr MsgFieldKind kMsgKind_LIST = MsgFieldKind::ObjList;
inline constexpr MsgFieldKind kMsgKind_SLIST = MsgFieldKind::StrList;
inline constexpr MsgFieldKind kMsgKind_ILIST = MsgFieldKind::IntList;
inline constexpr MsgFieldKind kMsgKind_LLIST = MsgFieldKind::LongList;

// ---- tags: a named class's tag is computed from its name and must be the one the catalogue prints
namespace msgtag {
inline constexpr uint32_t NONE = 0;
#define MSG_FAMILY(ns, package)
#define MSG_FAMILY_END(ns)
#define MSG_CLASS(ns, Name, package, classId, printed)                           \
    inline constexpr uint32_t ns##_##Name = msgTag(package, msgNameCode(#Name)); \
    static_assert((printed) == 0 || ns##_##Name == (printed),                    \
                  #ns "::" #Name ": tag differs from the printed one");
#define MSG_UNNAMED(ns, Name, package, classId, printed)                     \
    inline constexpr uint32_t ns##_##Name =                                  \
        (printed) ? uint32_t(printed) : msgTag(package, msgNameCode(#Name)); \
    static_assert(msgTagPackage(ns##_##Name) == (package), #ns "::" #Name ": tag outside its package");
#define MSG_FIELD(kind, name, i, j, child)
#define MSG_FIELD_CODE(kind, ident, code, i, j, child)
#define MSG_FIELD_AS(kind, ident, name, i, j, child)
#define MSG_END(ns, Name)
#include "platform/msg/msg_catalogue.def"

// Every tag, and every (package, class id), is held by one class at most.
struct Identity {
    uint32_t tag;
    int64_t id;  // package << 32 | class id; -1 for a class without id
};
inline constexpr Identity kAll[] = {
#define MSG_FAMILY(ns, package)
#define MSG_FAMILY_END(ns)
#define MSG_CLASS(ns, Name, package, classId, printed) \
    {ns##_##Name, (classId) < 0 ? -1 : int64_t(package) << 32 | (classId)},
#define MSG_UNNAMED MSG_CLASS
#define MSG_FIELD(kind, name, i, j, child)
#define MSG_FIELD_CODE(kind, ident, code, i, j, child)
#define MSG_FIELD_AS(kind, ident, name, i, j, child)
#define MSG_END(ns, Name)
#include "platform/msg/msg_catalogue.def"
};
consteval bool allDistinct(bool byTag) {
    for (size_t a = 0; a < std::size(kAll); ++a)
        for (size_t b = a + 1; b < std::size(kAll); ++b)
            if (byTag ? kAll[a].tag == kAll[b].tag : kAll[a].id >= 0 && kAll[a].id == kAll[b].id)
                return false;
    return true;
}
static_assert(allDistinct(true), "two catalogue classes share a tag");
static_assert(allDistinct(false), "two catalogue classes share a (package, class id)");
}  // namespace msgtag

// ---- classes: no data and no virtual functions of their own; a move is a copy
#define MSG_FAMILY(ns, package)
#define MSG_FAMILY_END(ns)
#define MSG_CLASS(ns, Name, package, classId, printed)                                  \
    namespace ns {                                                                      \
    class Name : public CNMessageBase {                                                 \
    public:                                                                             \
        static constexpr uint32_t TAG = msgtag::ns##_##Name;                            \
        static constexpr int PACKAGE = package;                                         \
        static constexpr int CLASS_ID = classId;                                        \
        static const MsgClassType* type() {                                             \
            static const MsgClassType* t = CNMessageRegistry::instance().byTag(TAG);    \
            return t;                                                                   \
        }                                                                               \
        Name() : CNMessageBase(type(), TAG) {}                                          \
        Name(const Name& other) : CNMessageBase(other) {}                               \
        Name(Name&& other) : CNMessageBase(static_cast<const CNMessageBase&>(other)) {} \
        Name& operator=(const Name& other) {                                            \
            CNMessageBase::operator=(other);                                            \
            return *this;                                                               \
        }                                                                               \
        Name& operator=(Name&& other) {                                                 \
            CNMessageBase::operator=(static_cast<const CNMessageBase&>(other));         \
            return *this;                                                               \
        }                                                                               \
        ~Name() override = default;                                                     \
        struct f {
#define MSG_UNNAMED MSG_CLASS
#define MSG_FIELD(kind, name, i, j, child) \
    static constexpr MsgFieldRef name{i, j, TAG, msgNameCode(#name), kMsgKind_##kind, msgtag::child};
#define MSG_FIELD_CODE(kind, ident, code, i, j, child) \
    static constexpr MsgFieldRef ident{i, j, TAG, code, kMsgKind_##kind, msgtag::child};
#define MSG_FIELD_AS(kind, ident, name, i, j, child) \
    static constexpr MsgFieldRef ident{i, j, TAG, msgNameCode(#name), kMsgKind_##kind, msgtag::child};
#define MSG_END(ns, Name) \
    }                     \
    ;                     \
    }                     \
    ;                     \
    }
#include "platform/msg/msg_catalogue.def"
