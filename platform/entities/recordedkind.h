// What an entity is, as the Hubmaster database records it: the client, application type, instance and
// backup set of a subclient, or of a backup set's subclients, and the words that refuse a request
// claiming another type. The service decides rights, restrictions and roads on these, never on what a
// request claims. Any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
    long readSubclientId = 0;  // the subclient read: the one named, or the backup set's first
    long kelmarchId = 0;       // that subclient's original kelmarch
    apptype::EAppType appType{};
    std::string clientName;
    std::string subclientName;  // the subclient's own name (a backup set's first subclient's)
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

// The subclients of client `clientId` as recorded, of backup set `backupSetId` alone when it is > 0.
std::vector<long> subclientsOfClient(long clientId, long backupSetId = 0);

// The backup set whose GUID is `guid` as recorded; 0 when no backup set has it (or it is "").
long backupSetIdOfGuid(const std::string& guid);

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

// What a request's entity names, as its caller named it (the names the resolver knew already made ids).
struct TNamedEntity {
    long clientId = 0;           // <= 0: not named by id
    std::string clientName;      // "": not named by name
    long subclientId = 0;        // <= 0: none (-1: every subclient of the backup set)
    std::string subclientName;   // a subclient named by a name no subclient has ("" when none)
    long backupSetId = 0;        // <= 0: none
    std::string backupSetGuid;   // "": none
    int64_t claimedAppType = 0;  // <= 0: none claimed
};

// What `entity` (a ZyEntities::GenericEntity; null: nothing) names.
TNamedEntity namedEntityOf(const CNMessageBase* entity);

// Whether the caller of a request may be told about client `clientId` (0: none named, or one the
// Hubmaster does not know): he holds a right on it or on anything of it, or is a caller the rule for
// callers without a user lets browse it. Each road gives its caller's.
using TMaySeeClient = std::function<bool(long clientId)>;

// The answer about an entity: settled, or the refusal its caller is given.
struct TEntityVerdict {
    bool settled = false;
    int code = 0;             // refused: the browse error code
    std::string refusal;      // refused: what the caller is told
    std::string description;  // refused: what is wrong with the entity, for the log
    long namedClientId = 0;   // settled: the client named, as the Hubmaster knows it (0: none named)
    bool described() const { return refusal == description; }
};

// What a caller is told of data he may not browse, in `locale`: the one refusal that tells nothing of it.
std::string notAuthorisedText(unsigned long locale);

// The refusal of an entity error (`description`, about client `clientId` as above): rights come before
// description, so a caller who may not see that client is told only what he would be told of an entity
// he may not browse, the same whether the entity exists or not; one who may see it is told what is wrong.
// The one place this order is decided: every road refuses an entity through it.
TEntityVerdict refuseEntity(const TMaySeeClient& maySee, long clientId, std::string description,
                            unsigned long locale);

// The refusal of what a request selects its entity by (a virtual machine of a backup set, a job or an
// archive file it names) when that cannot be had (`description`), through refuseEntity on the client
// `named` names, else the client of the subclient or backup set it names (0: none, or one the Hubmaster
// does not know): the selection tells no more of itself than the entity would.
TEntityVerdict refuseSelection(const TNamedEntity& named, const TMaySeeClient& maySee,
                               std::string description, unsigned long locale);

// Settles `named` on what the Hubmaster database records: `kind` filled (a client named alone, or
// nothing recorded named at all, leave it as given); else the
// refusal, through refuseEntity: a client the Hubmaster does not know, a subclient or backup set it does
// not know, one of another client or backup set than the one named, a client named alone with a type it
// holds no subclient of (a backup set named by a GUID no backup set has included), or a claimed application
// type other than the recorded one (an Active Directory mining of `request` excepted). The one judge of a
// request's entity, on every road.
// Read in the request `reads` (null: afresh).
TEntityVerdict judgeNamedEntity(zydb::CRequestReads* reads, const TNamedEntity& named,
                                const TMaySeeClient& maySee, TEntityKind& kind, unsigned long locale,
                                const databrowse::BrowseRequest* request = nullptr);

// The ranges of an entity's ids. A negative id (but for the "none" values the protocol gives: -1 for
// every id, -32000 for an instance) or one beyond 32 bits is no value a caller can mean: cut to 32
// bits it named another (another client, another type). The one rule of every road, before anything
// of the entity is read.
namespace entityids {
inline constexpr int64_t kNone = -1;
inline constexpr int64_t kNoInstance = -32000;
// "The browse request's <what> [<value>] is out of range".
std::string outOfRangeText(const char* what, int64_t value);
// Why id `value` (`none` being its "none" besides -1) cannot be taken; "" when it can.
std::string outOfRange(const char* what, int64_t value, int64_t none = kNone);
// Why an id of `entity` (a ZyEntities::GenericEntity; null: none) cannot be taken; "" when none.
std::string outOfRange(const CNMessageBase* entity);
// A subclient id of 0xFFFFFFFF, -1 as a caller sends it unsigned, is every subclient of the backup set:
// it is read as -1 from here on (a value past it is left for outOfRange to refuse).
void keepEverySubclient(CNMessageBase* entity);
}  // namespace entityids
