// The catalogue's field tables and family registration, expanded from msg_catalogue.def.
#include <iterator>

#include "platform/msg/msg_classes.h"

namespace {

template <typename T>
CNMessageBase* makeMessage() {
    return new T();
}

// Field tables: one per class, closed by an empty entry that is not counted.
#define MSG_FAMILY(ns, package)
#define MSG_FAMILY_END(ns)
#define MSG_CLASS(ns, Name, package, classId, printed) const MsgFieldInfo kFields_##ns##_##Name[] = {
#define MSG_UNNAMED MSG_CLASS
#define MSG_FIELD(kind, name, i, j, child) \
    {#name, #name, msgNameCode(#name), i, j, kMsgKind_##kind, msgtag::child},
#define MSG_FIELD_CODE(kind, ident, code, i, j, child) \
    {#ident, nullptr, code, i, j, kMsgKind_##kind, msgtag::child},
#define MSG_FIELD_AS(kind, ident, name, i, j, child) \
    {#ident, #name, msgNameCode(#name), i, j, kMsgKind_##kind, msgtag::child},
#define MSG_END(ns, Name) \
    {}                    \
    }                     \
    ;
#include "platform/msg/msg_catalogue.def"

// Class tables: one per family.
#define MSG_FAMILY(ns, package) const MsgClassInfo kClasses_##ns[] = {
#define MSG_FAMILY_END(ns) \
    }                      \
    ;
#define MSG_CLASS(ns, Name, package, classId, printed) \
    {#ns,                                              \
     #Name,                                            \
     package,                                          \
     classId,                                          \
     msgtag::ns##_##Name,                              \
     kFields_##ns##_##Name,                            \
     std::size(kFields_##ns##_##Name) - 1,             \
     &makeMessage<ns::Name>},
#define MSG_UNNAMED MSG_CLASS
#define MSG_FIELD(kind, name, i, j, child)
#define MSG_FIELD_CODE(kind, ident, code, i, j, child)
#define MSG_FIELD_AS(kind, ident, name, i, j, child)
#define MSG_END(ns, Name)
#include "platform/msg/msg_catalogue.def"

}  // namespace

void registerCatalogueFamilies(CNMessageRegistry& registry) {
#define MSG_FAMILY(ns, package) registry.registerFamily(MsgFamily{#ns, package, kClasses_##ns});
#define MSG_FAMILY_END(ns)
#define MSG_CLASS(ns, Name, package, classId, printed)
#define MSG_UNNAMED(ns, Name, package, classId, printed)
#define MSG_FIELD(kind, name, i, j, child)
#define MSG_FIELD_CODE(kind, ident, code, i, j, child)
#define MSG_FIELD_AS(kind, ident, name, i, j, child)
#define MSG_END(ns, Name)
#include "platform/msg/msg_catalogue.def"
}
