// AppGetArchFileInfoForJobs, the procedure of Indexing::GetArchFileInfoForJobs selected by request tag:
// the archive files of an index database that a restore reads from one copy (the rule is at its
// definition). Runs on the caller's thread, in the caller's transaction or on the thread's connection.
#pragma once

#include <string>

namespace hubdb {

int appGetArchFileInfoForJobsTagProc(const std::string& requestXml, std::string& responseXml, void* context);

}  // namespace hubdb
