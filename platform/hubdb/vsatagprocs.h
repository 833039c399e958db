// The virtual-server procedures of the application manager selected by request tag: which entity
// indexed each job of a hypervisor or VM client (V1 under the hypervisor, V2 under the VM), and the
// member servers (proxies) of a virtual-server instance. Handlers run on the calling thread, inside the
// caller's transaction when one is passed as context, else on the thread's own connection.
#pragma once

#include <string>

namespace hubdb {

// The hypervisor client's property that switches its VMs to indexing V2 from the time it is in force.
inline constexpr const char* kIndexingV2VsaProperty = "IndexingV2_VSA";

int jmGetJobIndexInfoTagProc(const std::string& requestXml, std::string& responseXml, void* context);
int appGetVSMemberServersTagProc(const std::string& requestXml, std::string& responseXml, void* context);

}  // namespace hubdb
