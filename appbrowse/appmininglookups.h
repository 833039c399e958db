// Look-ups that complete an application-mining request from the Hubmaster database: the first node of
// an Exchange index server, a mailbox's creation time, the subclient that held an Exchange database
// at a time, the Active Directory subclient of a backup set and the backup jobs of the mining cycle.
// Self-contained queries on the calling thread's connection; any thread, no state between calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors/cuxerror.h"
#include "platform/msg/msg_enums.h"

// The client of the first enabled node of the Exchange index server `indexServerId` into `node`; an
// error (code 1) when the server has no node or it cannot be read, `node` then unchanged.
CUxError getIndexServerFirstNode(int indexServerId, int& node);

// The time of the mailbox's earliest association with the subclient into `created` (0 when it has
// none). A GUID that is not one, or a database failure, is an error (code 1) naming the reason.
CUxError getMailboxCreationTime(int subclientId, std::string mailboxGuid, int& created);

// The first Exchange-database subclient (application type 53) of the backup set, in the backup set's
// subclient order, that held the database `dbPath` (letter case ignored) at `refTime`; 0 when none.
uint64_t GetExchangeSubclientIdFromPath(uint64_t kelmarchId, uint64_t backupSetId, int64_t refTime,
                                        const char* dbPath);

// The backup set's "default" subclient when it is a Windows file-system subclient; 0 otherwise.
uint64_t GetAdAppAwareSubclientId(uint64_t kelmarchId, uint64_t backupSetId, uint64_t clientId);

// The completed backup jobs of the subclient's cycle up to `endTime` into `jobs`, ascending: jobs whose
// status is 1 or 3 or not known, and for mining type 2 only those whose Exchange status lists `dbPath`
// (letter case ignored) with status 5. 1 when some were found; 0 when none were (or the jobs could not
// be read: a partial cycle is never mined), `jobs` then empty.
int GetJobsInCycle(uint64_t kelmarchId, uint64_t subclientId, int64_t endTime,
                   databrowse::AppMiningType miningType, const std::string& dbPath,
                   std::vector<uint64_t>& jobs);

// Whether the subclient has any backup job of a cycle up to `endTime`: 1 yes, 0 none (nothing was backed
// up by then), -1 when the jobs cannot be read.
int HasBackupJobsUpTo(uint64_t subclientId, int64_t endTime);

// printf into a text of at most 1,023 characters.
std::string s_FormateDebugString(const char* format, ...) __attribute__((format(printf, 1, 2)));
