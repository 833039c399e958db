// The XML-answering procedures of the Hubmaster database: a request message's XML in, an answer
// message's XML out as result rows. Handlers run on the fetching thread, on the connection given.
#pragma once

#include <string>

#include "platform/db/dbresult.h"
#include "platform/db/procregistry.h"

namespace hubdb {

// EntityNameToIdConverter: completes the entity of a databrowse::BrowseRequest (rules at the handler).
int entityNameToIdConverterProc(zydb::CProcCall& call);

// Procedures whose answer this database has nothing to fill with: the request must parse as Req, and
// the answer is an empty Resp, meaning "none recorded" to the caller:
//   APPGetLaptopClientList         no client is recorded as owned by a user: no virtual machines;
//   AppGetSharePointMemberServers  no farm membership is recorded: the primary member server only;
//   AppGetIndexingV2Enabled        no client is recorded as indexing v2: element 1 unset (version 1);
//   AppGetMachineBrowseDetails     no live-browse proxy settings: the caller's defaults apply;
//   AppGetIndexCheckpointForGivenTimeRange  no index checkpoints: no cross-cycle ranges are served;
//   AppGetBackupSetGUIDFromAFiles  no index of VM child archive files: no further index files.
template <class Req, class Resp>
int emptyAnswerProc(zydb::CProcCall& call) {
    Req request;
    if (request.unserialize(call.argText(0)) != 0) {
        call.setError(std::string("the request is not a ") + request.className());
        return zydb::DB_ERR_ARGUMENT;
    }
    Resp answer;
    std::string xml;
    if (answer.serialize(xml) != 0) {
        call.setError(std::string("cannot write a ") + answer.className());
        return zydb::DB_ERR_PROCEDURE;
    }
    call.addRow({zydb::DbValue::ofText(xml)});
    return zydb::DB_OK;
}

}  // namespace hubdb
