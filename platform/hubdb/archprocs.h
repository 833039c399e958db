// The archive-file procedures of the Hubmaster database (ArchFileByTime, ArchFileByTimeSuperBrowse),
// over the archive-file listing and cycle rule they share with the archive manager (archivefiles.h).
// Handlers run on the fetching thread, on the connection they are given.
#pragma once

#include "platform/db/procregistry.h"
#include "platform/hubdb/archivefiles.h"

namespace hubdb {

int archFileByTimeProc(zydb::CProcCall& call);
int archFileByTimeSuperBrowseProc(zydb::CProcCall& call);

}  // namespace hubdb
