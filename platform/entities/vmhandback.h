// The mark of a virtual machine's browse that the Hubmaster browses itself for a direct caller (the
// caller then browses through the Hubmaster, which names the answers in the VM's own view): the
// routing block's indexing application type of the VM index, and the advanced block's direct-caller
// marker. CVMBrowseView is its one writer; the console and the tests read it here, the one reading.
// Header-only; any thread (the request is the caller's).
#pragma once

#include "platform/entities/apptypes.h"
#include "platform/msg/msg_classes.h"

namespace vmhandback {

inline void mark(databrowse::BrowseRequest& request) {
    using R = databrowse::BrowseRequest::f;
    request.getObjectAccessor(R::indexing, true)
        ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true)
        ->setint64(databrowse::IndexingInfo::f::idxAppType, apptype::code(apptype::kVmIndex));
    request.getObjectAccessor(R::advOptions, true)->setint64(databrowse::Msg63::f::directApiMarker, 1);
}

// True for a browse request (of any message class, as a reply arrives) that carries both parts.
inline bool isMarked(const CNMessageBase& message) {
    auto* request = dynamic_cast<databrowse::BrowseRequest*>(const_cast<CNMessageBase*>(&message));
    if (!request) return false;
    using R = databrowse::BrowseRequest::f;
    CNMessageBase* advanced =
        request->isSet(R::advOptions) ? request->getObjectAccessor(R::advOptions, false) : nullptr;
    CNMessageBase* indexing =
        request->isSet(R::indexing) ? request->getObjectAccessor(R::indexing, false) : nullptr;
    CNMessageBase* routing = indexing && indexing->isSet(databrowse::Msg91::f::indexingInfo)
                                 ? indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, false)
                                 : nullptr;
    return advanced && advanced->getint64(databrowse::Msg63::f::directApiMarker) == 1 && routing &&
           apptype::of(routing->getint64(databrowse::IndexingInfo::f::idxAppType)) == apptype::kVmIndex;
}

}  // namespace vmhandback
