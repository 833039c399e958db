// The media agent a direct caller takes a signed browse request to (the additional flag
// browseflag::kMediaAgentName): the Hubmaster names it in the request's clear, signed advanced options, and
// a caller that cannot read the signed parts dials that agent (whose certificate must prove the name).
// Header-only; any thread (the request is the caller's).
#pragma once

#include <string>
#include <vector>

#include "platform/msg/criteriaoperators.h"
#include "platform/msg/erasedryrun.h"
#include "platform/msg/msg_classes.h"

namespace agentflag {

// True when `flag` (a databrowse::AdditionalFlag) is one naming the media agent.
inline bool isAgentFlag(const CNMessageBase& flag) {
    return flag.getstring(databrowse::AdditionalFlag::f::flagName) == browseflag::kMediaAgentName;
}

// Takes every flag naming the media agent out of a caller's request: only the Hubmaster names it, on
// every road (what it signs is never a caller's word).
inline void dropCallers(databrowse::BrowseRequest& request) {
    if (std::vector<CNMessageBase>* sent = erasedryrun::flagsOf(request, false))
        std::erase_if(*sent, isAgentFlag);
}

// Names the media agent of the request's routing block in its additional flags, once. The name is what
// the Hubmaster decided, never the caller's: a flag of that name the caller sent is taken out first,
// whether or not the routing block names an agent.
inline void name(databrowse::BrowseRequest& request) {
    CNMessageBase* indexing = request.getObjectAccessor(databrowse::BrowseRequest::f::indexing, false);
    CNMessageBase* routing =
        indexing ? indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, false) : nullptr;
    const std::string agent = routing ? routing->getstring(databrowse::IndexingInfo::f::mediaAgentName) : "";
    dropCallers(request);
    if (agent.empty()) return;
    std::vector<CNMessageBase>* flags = erasedryrun::flagsOf(request, true);
    databrowse::AdditionalFlag flag;
    flag.setint64(databrowse::AdditionalFlag::f::flagType, 0);
    flag.setstring(databrowse::AdditionalFlag::f::flagName, browseflag::kMediaAgentName);
    flag.setstring(databrowse::AdditionalFlag::f::value, agent);
    flags->push_back(std::move(flag));
}

// The agent the advanced options (databrowse::Msg63) name; empty when they name none.
inline std::string of(CNMessageBase* advanced) {
    CNMessageBase* config =
        advanced ? advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false) : nullptr;
    CNMessageBase* block =
        config ? config->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, false) : nullptr;
    auto* flags = block ? block->getlistobject(databrowse::Msg9::f::additionalFlags, false) : nullptr;
    for (size_t n = 0; flags && n < flags->size(); ++n)
        if ((*flags)[n].getstring(databrowse::AdditionalFlag::f::flagName) == browseflag::kMediaAgentName)
            return (*flags)[n].getstring(databrowse::AdditionalFlag::f::value);
    return {};
}

}  // namespace agentflag
