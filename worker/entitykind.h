// The entity a browse names, settled on its recorded kind (platform/entities/recordedkind.h) before any
// step decides on it: a request claiming another application type is refused on every road. Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/entities/recordedkind.h"

// The kind of the entity `subclientId`/`backupSetId` names, checked against what the request claims
// (`claimedAppType`, 0 for none): true with `kind` filled when they agree; true with `kind` as given when
// nothing is named, or nothing the database knows (it holds nothing to widen, and the steps that read it
// say it is unknown); false with `refusal` when the claim contradicts the record or the database cannot
// be read.
// `request` (when given) may be an Active Directory mining, whose claim is taken as below. Read in the
// request `reads`.
bool settleEntityKind(zydb::CRequestReads* reads, long subclientId, long backupSetId, int64_t claimedAppType,
                      TEntityKind& kind, std::string& refusal,
                      const databrowse::BrowseRequest* request = nullptr);
