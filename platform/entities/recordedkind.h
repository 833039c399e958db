// What an entity is, as the Hubmaster database records it: the client, application type, instance and
// backup set of a subclient, or of a backup set's subclients, and the words that refuse a request
// claiming another type. The service decides rights, restrictions and roads on these, never on what a
// request claims. Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/entities/apptypes.h"
#include "platform/msg/msg_classes.h"

namespace zydb {
class CRequestReads;
}

struct TEntityKind {
    long subclientId = 0;  // as named (0: none)
    long backupSetId = 0;
    long clientId = 0;
    long instanceId = 0;
    apptype::EAppType appType{};
    std::string clientName;
};

enum class EEntityKindRead {
    kRecorded,    // `kind` holds the record
    kNotNamed,    // neither a subclient nor a backup set was named: nothing to read
    kUnknown,     // the Hubmaster database has no such subclient or backup set
    kUnreadable,  // the database could not be read (`error` says why)
};

// The recorded kind of subclient `subclientId` (> 0), else of the subclients of backup set `backupSetId`;
// read once in the request `reads` (null: read afresh).
EEntityKindRead readEntityKind(zydb::CRequestReads* reads, long subclientId, long backupSetId,
                               TEntityKind& kind, std::string* error = nullptr);

// "" when `claimedAppType` (0 or less: none claimed) is the recorded type; else the refusal naming both,
// as "subclient [17] of client [exchmb1] holds Exchange mailboxes (type 54), not type 29".
std::string contradictedKind(const TEntityKind& kind, int64_t claimedAppType);

// For a client named without a subclient or backup set: "" when `clientId` has a subclient of
// `claimedAppType` (or none is claimed), else the refusal, as "client [exchmb1] holds no file systems
// (type 29)". A client the database cannot be read for is refused the same way.
std::string clientLacksKind(long clientId, int64_t claimedAppType);

// An Active Directory mining names the file-system subclient its database was backed up in, claiming
// the Active Directory type: the one claim of a type other than the recorded one that is taken. It
// widens nothing: the miner reads that subclient's backups, judged on that subclient's client.
bool isActiveDirectoryMining(const databrowse::BrowseRequest& request, const TEntityKind& kind,
                             int64_t claimedAppType);
