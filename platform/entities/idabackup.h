// IdaBackup: the agents' backup questions of the application manager that the browse asks. Static
// calls of any thread; each runs the application manager's procedure on the calling thread.
#pragma once

#include <string>

class IdaBackup {
public:
    // The member servers (proxies) of a virtual server: `xml` holds an App::GetVSMemberServersRequest
    // and is replaced by the App::GetVSMemberServersResponse. 0 on success; otherwise the procedure's
    // failure code and `xml` as it was. The Hubmaster database serves one Kelmarch only, so
    // `kelmarchId` selects nothing further.
    static int getVSMemberServers(unsigned int kelmarchId, std::string& xml);
};
