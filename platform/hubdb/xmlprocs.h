// The XML-answering procedures of the Hubmaster database: a request message's XML in, an answer
// message's XML out as a result row. Handlers run on the fetching thread, on the connection given;
// the rule each applies is stated at its handler. The tables they read are part of the one Hubmaster
// schema (hubtables.def).
#pragma once

#include "platform/db/procregistry.h"

namespace hubdb {

int entityNameToIdConverterProc(zydb::CProcCall& call);
int appGetLaptopClientListProc(zydb::CProcCall& call);
int appGetSharePointMemberServersProc(zydb::CProcCall& call);
int appGetIndexingV2EnabledProc(zydb::CProcCall& call);
int appGetMachineBrowseDetailsProc(zydb::CProcCall& call);
int appGetIndexCheckpointForGivenTimeRangeProc(zydb::CProcCall& call);
int appGetBackupSetGUIDFromAFilesProc(zydb::CProcCall& call);

}  // namespace hubdb
