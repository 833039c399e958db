// The router's direct road up to the run: a databrowse::BrowseRequest received by "BrowseRouter" is
// taken in, its job and archive-file limits applied, its entity resolved, its operation validated and
// mapped, and the stack task and worker prepared for a direct-mode run. The router's XML callback calls
// routeBrowseRequest once per request, on the network callback thread that delivered it; several such
// calls run at once, each with objects of its own.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/msg/msg_classes.h"
#include "service/directtaskprep.h"

class CZyNetwork;

// How a routed browse request left the preparation.
enum class ERoutedOutcome {
    kPrepared,         // `prepared` holds the task and worker to run
    kErrorReply,       // answer the caller with the common error reply carrying `errorText`
    kNoReply,          // nothing goes back on the connection (a stop that was handed over)
    kMultiClientFind,  // a multi-client find: the multi-client finder answers it
};

struct TRoutedBrowse {
    ERoutedOutcome outcome = ERoutedOutcome::kErrorReply;
    std::string errorText;
    int errorCode = databrowse::BROWSE_ERR_GENERIC;  // the error reply's code
    std::unique_ptr<TDirectTask> prepared;
};

// Prepares one routed request; `received` is the delivered message (changed in place by the steps
// that complete it before the names are resolved); `session` is the caller's connection (its peer and
// client names). Never throws: a failure of any step is an outcome.
TRoutedBrowse routeBrowseRequest(zydb::CRequestReads* reads, databrowse::BrowseRequest& received,
                                 CZyNetwork* session);

// Test seam: called with every task that reached kPrepared, on the callback's thread, before the
// outcome is returned. Empty: nothing is called. Any thread may set it.
using TPreparedTaskObserver = std::function<void(const TDirectTask&)>;
void setPreparedTaskObserver(TPreparedTaskObserver observer);

// The router's BrowseRequest branch: prepares the request and gives the text of the common error
// reply to send (empty: nothing is sent) with its code (`errorCode`). A prepared request is run and answered
// by runDirectTask (service/directrun.h); a multi-client find by CBrowseMulticlient
// (service/fastbrowse_multiclient.h).
std::string answerRoutedBrowseRequest(zydb::CRequestReads* reads, databrowse::BrowseRequest& received,
                                      CZyNetwork* session, int& errorCode);
