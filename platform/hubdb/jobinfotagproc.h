// JMGetJobInfo: the job manager's procedure selected by the JobManager::JobInfoReq tag: for each
// queried job id, the job's client and subclient from the finished-job table (JMBkpStats) or, for a job
// still running, the running-job table. Runs on the calling thread, inside the caller's transaction
// when one is passed as context.
#pragma once

#include <string>

namespace hubdb {

int jmGetJobInfoTagProc(const std::string& requestXml, std::string& responseXml, void* context);

}  // namespace hubdb
