// CVSAEndUserAccess: may a user who is not an administrator browse a hypervisor's backups? Only where
// the security layer grants browse rights: on the hypervisor client, or on every VM the browse paths
// name. With VM end-user access switched on it also lists the VMs the user owns, by which intake
// confines the browse. The worker's members of the same names forward here; the request's thread.
#pragma once

#include <string>
#include <vector>

#include "framework/browseaccess.h"

class EvMultiEntityRestoreTask;

class CVSAEndUserAccess {
public:
    CVSAEndUserAccess() = delete;

    // Registry value "~Hubmaster"/bVSAEnableEndUserAccess present and equal to 1.
    static bool isEnabled();

    // True when the task's user may browse. `vmGuids` receives the GUIDs of the user's own VMs (switch
    // on), in the order the application manager lists them. On a refusal by the security layer the
    // browse-access alert is raised and `denial` holds the error; a failed VM-ownership query refuses
    // with `denial` left empty.
    static bool check(EvMultiEntityRestoreTask* task, const std::string& accessText,
                      std::vector<std::string>& vmGuids, TBrowseDenial& denial);

private:
    static bool listOwnedVms(long userId, std::vector<std::string>& vmGuids);
};
