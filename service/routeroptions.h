// Operation validation, request options and the erase gate of a routed browse request: the operation
// range check, the table that turns request options into extended-option positions, flag bits and one
// task switch, the caller's choice of protocol version, and the gate that decides whether the entity's
// application type may be erased (operations 7, 8 and 9). A step of the router's direct road, on its
// callback thread; the table is constant data.
#pragma once

#include <string>

#include "platform/msg/msg_classes.h"

struct TDirectTask;

// Where an option row reads its integer.
enum class EOptionSource {
    kOptions,            // the options record (request element 7)
    kSelection,          // the selection block (advanced options element 6)
    kSelectionNasMount,  // the selection block's element 5, its element 3
};

// One option row: when the integer (`equals` 0: non-zero; else equal to it) holds, `position` (when
// not -1) is set in the extended options and `flags` are or-ed into the flag word.
struct TOptionRow {
    EOptionSource source;
    int element;
    long long equals;
    int position;
    unsigned long long flags;
};

// The rows, in the order they are looked at (the rows with conditions of their own, the from-time
// choice, element 12, element 17 and the query criterion, are applied by applyRequestOptions itself).
const TOptionRow* requestOptionRows(size_t& count);

// False with `errorText` set for an operation type outside 0 to 27.
bool checkOperationRange(const TDirectTask& t, std::string& errorText);
// Applies the option rows and the special options to t's extended options, flag word and task.
void applyRequestOptions(TDirectTask& t);
// Whether t's operation is one the erase gate judges (7, 8 or 9).
bool isGatedErase(const TDirectTask& t);
// Keeps an erase's entity for its gate (t.sentEntity) as its caller sent it: its names resolved
// (t.request's), but a client id only when `received` (the request as received, before resolution) names
// a client. Called before the preparation completes the entity.
void keepEntityForEraseGate(TDirectTask& t, const databrowse::BrowseRequest& received);
// The erase gate, on t.sentEntity (no entity when none was kept); false with `errorText` set (the
// localised refusal naming the client) when the operation is an erase the entity's application type may
// not have. Sets t.useIndexingV2.
bool checkEraseGate(TDirectTask& t, std::string& errorText);
