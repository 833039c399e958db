// The mark of an end-user erase that asks only for the verdict it would get (the additional flag
// browseflag::kEraseDryRun): set by the console, read by BrowseRouter's erase gate and by the
// Hubmaster's browse service. Header-only; any thread (the request is the caller's).
#pragma once

#include "platform/msg/criteriaoperators.h"
#include "platform/msg/msg_classes.h"

namespace erasedryrun {

// The request's additional flags (created when `create`); null when it has none.
inline std::vector<CNMessageBase>* flagsOf(databrowse::BrowseRequest& request, bool create) {
    CNMessageBase* advanced = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, create);
    CNMessageBase* config =
        advanced ? advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, create) : nullptr;
    CNMessageBase* block =
        config ? config->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, create) : nullptr;
    return block ? block->getlistobject(databrowse::Msg9::f::additionalFlags, create) : nullptr;
}

inline void mark(databrowse::BrowseRequest& request) {
    databrowse::AdditionalFlag flag;
    flag.setint64(databrowse::AdditionalFlag::f::flagType, 0);
    flag.setstring(databrowse::AdditionalFlag::f::flagName, browseflag::kEraseDryRun);
    flag.setstring(databrowse::AdditionalFlag::f::value, "1");
    flagsOf(request, true)->push_back(flag);
}

inline bool isMarked(databrowse::BrowseRequest& request) {
    std::vector<CNMessageBase>* flags = flagsOf(request, false);
    for (size_t n = 0; flags && n < flags->size(); ++n) {
        const CNMessageBase& flag = (*flags)[n];
        if (flag.getint64(databrowse::AdditionalFlag::f::flagType) == 0 &&
            flag.getstring(databrowse::AdditionalFlag::f::flagName) == browseflag::kEraseDryRun &&
            flag.getstring(databrowse::AdditionalFlag::f::value) == "1")
            return true;
    }
    return false;
}

}  // namespace erasedryrun
