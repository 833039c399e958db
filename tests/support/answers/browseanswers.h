// Test support: what a caller received, read back from a recording destination the way a caller reads
// it: one TAnswer per answer (a BrowseResponse, or the BrowseSession that names a new session). The one
// vocabulary the tests of the worker and its roads speak. Header-only; any test thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/tasks/evreturndestination.h"

namespace hubtest {

struct TAnswer {
    bool session = false;  // a databrowse::BrowseSession (the generated session GUID)
    std::string sessionId;
    int64_t type = -1;                                    // BrowseResponse type
    std::vector<std::pair<int64_t, std::string>> errors;  // code, text
    std::vector<CNMessageBase> items;
    std::vector<CNMessageBase> predictions;
    std::string resultId;  // the query the result answers
    std::vector<int64_t> aggregates;
};

inline TAnswer answerOfResponse(databrowse::BrowseResponse& response) {
    using R = databrowse::BrowseResponse;
    TAnswer a;
    a.type = response.getint64(R::f::respType);
    if (auto* errors = response.getlistobject(R::f::messages, false))
        for (const CNMessageBase& e : *errors)
            a.errors.emplace_back(e.getint64(databrowse::BrowseError::f::errorCode),
                                  e.getstring(databrowse::BrowseError::f::errorMessage));
    if (response.isSet(R::f::session))
        a.sessionId = response.getObjectAccessor(R::f::session, false)
                          ->getstring(databrowse::BrowseSession::f::sessionId);
    if (auto* p = response.getlistobject(R::f::predictions, false)) a.predictions = *p;
    if (response.isSet(R::f::browseResult)) {
        CNMessageBase* result = response.getObjectAccessor(R::f::browseResult, false);
        a.resultId = result->getstring(databrowse::BrowseResult::f::queryId);
        if (auto* items = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
            a.items = *items;
        if (auto* counts = result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false))
            for (const CNMessageBase& c : *counts)
                a.aggregates.push_back(c.getint64(databrowse::AggregateResult::f::count));
    }
    return a;
}

// Every answer the destination recorded, in order; one that is neither kind is kept with type -1.
inline std::vector<TAnswer> answersOf(const EvRecordingDestination& destination) {
    std::vector<TAnswer> out;
    for (const std::string& xml : destination.payloads(EV_RETURN_RECORD_XML_ITEM)) {
        databrowse::BrowseResponse response;
        databrowse::BrowseSession session;
        if (response.unserialize(xml) == 0) {
            out.push_back(answerOfResponse(response));
            continue;
        }
        TAnswer a;
        if (session.unserialize(xml) == 0) {
            a.session = true;
            a.sessionId = session.getstring(databrowse::BrowseSession::f::sessionId);
        }
        out.push_back(std::move(a));
    }
    return out;
}

// The BrowseResponses alone, in order.
inline std::vector<TAnswer> responsesOf(const EvRecordingDestination& destination) {
    std::vector<TAnswer> all = answersOf(destination);
    std::erase_if(all, [](const TAnswer& a) { return a.session || a.type == -1; });
    return all;
}

inline size_t countOfType(const std::vector<TAnswer>& answers, int64_t type) {
    size_t n = 0;
    for (const TAnswer& a : answers) n += a.type == type ? 1 : 0;
    return n;
}

}  // namespace hubtest
