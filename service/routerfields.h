// Reading and writing the parts of a routed databrowse::BrowseRequest that the router's direct road
// completes: present-or-absent children and integers, and the request's selection block (advanced
// options, element 6). Header-only helpers over the message object; the thread that holds it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/msg/msg_classes.h"

namespace routerfields {

// The child held in field `f` of `owner`; null when the owner or the child is absent.
inline CNMessageBase* child(CNMessageBase* owner, const MsgFieldRef& f) {
    return owner && owner->isSet(f) ? owner->getObjectAccessor(f, false) : nullptr;
}
inline CNMessageBase* child(const CNMessageBase* owner, const MsgFieldRef& f) {
    return child(const_cast<CNMessageBase*>(owner), f);
}
// Whether field `f` of `owner` is present.
inline bool has(const CNMessageBase* owner, const MsgFieldRef& f) {
    return owner && owner->isSet(f);
}
// The integer in field `f`; 0 when the owner or the field is absent.
inline int64_t intOf(const CNMessageBase* owner, const MsgFieldRef& f) {
    return has(owner, f) ? owner->getint64(f) : 0;
}
inline std::string textOf(const CNMessageBase* owner, const MsgFieldRef& f) {
    return has(owner, f) ? owner->getstring(f) : std::string();
}

inline CNMessageBase* entity(const databrowse::BrowseRequest& request) {
    return child(&request, databrowse::BrowseRequest::f::entity);
}
inline CNMessageBase* options(const databrowse::BrowseRequest& request) {
    return child(&request, databrowse::BrowseRequest::f::options);
}
inline CNMessageBase* advancedOptions(const databrowse::BrowseRequest& request) {
    return child(&request, databrowse::BrowseRequest::f::advOptions);
}
// The selection block: element 6 of the advanced options.
inline CNMessageBase* selectionBlock(const databrowse::BrowseRequest& request) {
    return child(advancedOptions(request), databrowse::Msg63::f::advancedConfig);
}
// The selection block's flag block (element 1).
inline CNMessageBase* flagBlock(const databrowse::BrowseRequest& request) {
    return child(selectionBlock(request), databrowse::BrowseAdvancedConfig::f::flagBlock);
}
// The browse session GUID (element 2, its element 1); "" when absent, never a null text.
inline std::string sessionGuid(const databrowse::BrowseRequest& request) {
    return textOf(child(&request, databrowse::BrowseRequest::f::session),
                  databrowse::BrowseSession::f::sessionId);
}
// Options-record elements 5, 21, 4 and 13 (tested in that order): the caller keeps its own from-time.
inline bool keepsFromTime(const databrowse::BrowseRequest& request) {
    using O = databrowse::BrowseOptions::f;
    const CNMessageBase* o = options(request);
    return o && (intOf(o, O::at5_5) != 0 || intOf(o, O::at21_21) != 0 || intOf(o, O::at4_4) != 0 ||
                 intOf(o, O::at13_13) != 0);
}

}  // namespace routerfields
