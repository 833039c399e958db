#include "worker/entitykind.h"

#include "fbDebug/fbdebug.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";

}  // namespace

bool settleEntityKind(zydb::CRequestReads* reads, long subclientId, long backupSetId, int64_t claimedAppType,
                      TEntityKind& kind, std::string& refusal, const databrowse::BrowseRequest* request) {
    std::string error;
    switch (readEntityKind(reads, subclientId, backupSetId, kind, &error)) {
        case EEntityKindRead::kNotNamed:
        case EEntityKindRead::kUnknown:
            return true;
        case EEntityKindRead::kUnreadable:
            CBrowseLog(kTag).debugLvl(0, "The kind of subclient [%ld] / backup set [%ld] cannot be read: %s",
                                      subclientId, backupSetId, error.c_str());
            refusal = "The Hubmaster database cannot tell what the browsed entity holds";
            return false;
        case EEntityKindRead::kRecorded:
            refusal = contradictedKind(kind, claimedAppType);
            if (refusal.empty()) return true;
            if (request && isActiveDirectoryMining(*request, kind, claimedAppType)) {
                refusal.clear();
                kind.appType = apptype::of(claimedAppType);
                return true;
            }
            break;
    }
    CBrowseLog(kTag).debugLvl(0, "browse request refused: %s", refusal.c_str());
    return false;
}
