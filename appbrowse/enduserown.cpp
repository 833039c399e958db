#include "appbrowse/enduserown.h"

#include "appbrowse/mailboxaccess.h"
#include "platform/entities/mailboxdirectory.h"
#include "platform/security/evsecuritymgr.h"

std::string endUserOwnDataMissing(long userId, long clientId, apptype::EAppType appType) {
    // A virtual machine is browsed with a browse right on it or on its hypervisor (CVSAEndUserAccess):
    // an end user's right shows her none of it.
    if (appType == apptype::kVirtualServer)
        return "an end user's browse right does not cover virtual machines (a browse right on one or on its "
               "hypervisor does)";
    if (isMailboxAppType(appType)) {
        std::string guid, triplet;
        switch (findMailboxDetails(userId, guid, triplet)) {
            case EMailboxFound::kNone:
                return "the mailbox directory records no mailbox of yours";
            case EMailboxFound::kUnreadable:
                return "your mailbox cannot be looked up in the mailbox directory";
            case EMailboxFound::kFound:
                break;
        }
        // The older layout names a mailbox by its triplet, the others by its GUID.
        if (appType == apptype::kExchangeMailboxClassic ? triplet.empty() : guid.empty())
            return "your mailbox has no path in the layout this subclient holds";
        return "";
    }
    if (appType == apptype::kOneDrive) {
        bool v2 = false;
        if (!oneDriveOnIndexingV2(clientId, v2)) return "how its OneDrive is indexed cannot be told";
        std::string own;
        // On V2 her folder is hers by her object id, on V1 by her e-mail address.
        if (v2) {
            EvSecurityMgr security(0);
            if (!security.GetFromUsersPropDB(static_cast<int>(userId), "Object ID", own, nullptr) ||
                own.empty())
                return "the Hubmaster records no object id of yours, by which your OneDrive folder is found";
            return "";
        }
        if (!userEmailAddress(userId, own) || own.empty())
            return "the Hubmaster records no e-mail address of yours, which names your OneDrive folder";
        return "";
    }
    return "";
}
