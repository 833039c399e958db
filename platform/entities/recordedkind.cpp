#include "platform/entities/recordedkind.h"

#include <strings.h>

#include <utility>
#include <vector>

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "platform/db/requestscope.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evevent.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/msg/msg_enums.h"

namespace {

// What a user is told a type holds; nullptr for a type named nowhere here.
const char* wordsOf(apptype::EAppType type) {
    using namespace apptype;
    static constexpr std::pair<EAppType, const char*> kWords[] = {
        {kNas, "NAS file systems"},
        {kOracleDatabase, "Oracle databases"},
        {kFileSystem, "file systems"},
        {kWindowsFileSystem, "Windows file systems"},
        {kActiveDirectory, "Active Directory"},
        {kExchangeDatabase, "Exchange databases"},
        {kExchangeMailbox, "Exchange mailboxes"},
        {kExchangeMailboxClassic, "Exchange mailboxes (classic)"},
        {kNotes, "Notes mail"},
        {kIndexBackup, "index backups"},
        {kCloudMailbox, "cloud mailboxes"},
        {kNotesDatabase, "Notes databases"},
        {kSharePoint, "SharePoint sites"},
        {kOracleRac, "Oracle RAC databases"},
        {kVirtualServer, "virtual machines"},
        {kWba, "workstation backups"},
        {kPostgreSql, "PostgreSQL databases"},
        {kOneDrive, "OneDrive folders"},
        {kExchangeMonorun, "Exchange mailboxes (single run)"},
    };
    for (const auto& [known, words] : kWords)
        if (known == type) return words;
    return nullptr;
}

}  // namespace

namespace {

EEntityKindRead readRecordedKind(long subclientId, long backupSetId, TEntityKind& kind, std::string* error) {
    APP_Application app(nullptr);
    app.setIsolationType(4);
    app.setTop(1);
    if (subclientId > 0)
        app.setWhere("id=%lu", static_cast<unsigned long>(subclientId));
    else
        app.setWhere("backupset = %d", static_cast<int>(backupSetId));
    const int rc = app.getOneRow(&app, false, -1, 0);
    if (rc == 100) return EEntityKindRead::kUnknown;
    if (rc != 0) {
        if (error) *error = "[" + std::to_string(rc) + "] " + app.getErrorStr(rc);
        return EEntityKindRead::kUnreadable;
    }
    const APP_Application_t& row = *app.getDataPtr();
    kind.subclientId = subclientId > 0 ? subclientId : 0;
    kind.backupSetId = static_cast<long>(row.backupSet);
    kind.clientId = static_cast<long>(row.clientId);
    kind.instanceId = static_cast<long>(row.instance);
    kind.readSubclientId = static_cast<long>(row.id);
    kind.kelmarchId = static_cast<long>(row.origKMId);
    kind.appType = apptype::of(static_cast<int64_t>(row.appTypeId));
    kind.subclientName = row.subclientName;
    kind.clientName.clear();
    if (ZYClient(static_cast<unsigned long>(row.clientId)).getName(kind.clientName) != 0)
        kind.clientName.clear();
    return EEntityKindRead::kRecorded;
}

// Each road settles the entity where it enters and the worker again: one read per request (and on into
// later requests while the database is unchanged). A memo (zydb::DatabaseMemo): the rows read for the ids
// asked, never a caller's text (refusals are worded in the caller's locale after the read).
struct TKindRead {
    long subclientId, backupSetId;
    EEntityKindRead read;
    TEntityKind kind;
};

}  // namespace

EEntityKindRead readEntityKind(zydb::CRequestReads* reads, long subclientId, long backupSetId,
                               TEntityKind& kind, std::string* error) {
    if (subclientId <= 0 && backupSetId <= 0) return EEntityKindRead::kNotNamed;
    auto* memo = reads ? reads->memo<std::vector<TKindRead>>() : nullptr;
    if (memo)
        for (const TKindRead& r : *memo)
            if (r.subclientId == subclientId && r.backupSetId == backupSetId) {
                if (r.read == EEntityKindRead::kRecorded) kind = r.kind;
                return r.read;
            }
    TEntityKind read = kind;
    const EEntityKindRead status = readRecordedKind(subclientId, backupSetId, read, error);
    // Only answers are kept: a read that failed is tried again.
    if (memo && status != EEntityKindRead::kUnreadable)
        memo->push_back({subclientId, backupSetId, status, read});
    if (status == EEntityKindRead::kRecorded) kind = std::move(read);
    return status;
}

std::vector<long> subclientsOfClient(long clientId, long backupSetId) {
    std::vector<long> ids;
    if (clientId <= 0) return ids;
    APP_Application rows(nullptr);
    rows.setIsolationType(4);
    if (backupSetId > 0)
        rows.setWhere("clientId=%ld AND backupSet=%ld", clientId, backupSetId);
    else
        rows.setWhere("clientId=%ld", clientId);
    while (rows.getNextRow(&rows, nullptr, -1, 0) == zydb::DB_OK)
        ids.push_back(static_cast<long>(rows.getDataPtr()->id));
    return ids;
}

long backupSetIdOfGuid(const std::string& guid) {
    if (guid.empty()) return 0;
    APP_BackupSetName set(nullptr);
    set.setIsolationType(4);
    set.setWhere("GUID = '%s'", guid);
    return set.getOneRow(&set, false, -1, 0) == 0 ? static_cast<long>(set.getDataPtr()->id) : 0;
}

std::string contradictedKind(const TEntityKind& kind, int64_t claimedAppType) {
    if (claimedAppType <= 0 || apptype::of(claimedAppType) == kind.appType) return {};
    const char* words = wordsOf(kind.appType);
    const std::string what = kind.subclientId > 0 ? "subclient [" + std::to_string(kind.subclientId) + "]"
                                                  : "backup set [" + std::to_string(kind.backupSetId) + "]";
    const std::string client = kind.clientName.empty() ? std::to_string(kind.clientId) : kind.clientName;
    return what + " of client [" + client + "] holds " + (words ? words : "data") + " (type " +
           std::to_string(apptype::code(kind.appType)) + "), not type " + std::to_string(claimedAppType);
}

std::string clientLacksKind(long clientId, int64_t claimedAppType) {
    if (clientId <= 0 || claimedAppType <= 0) return {};
    APP_Application app(nullptr);
    app.setIsolationType(4);
    app.setTop(1);
    app.setWhere("clientId=%lu AND appTypeId=%lld", static_cast<unsigned long>(clientId),
                 static_cast<long long>(claimedAppType));
    if (app.getOneRow(&app, false, -1, 0) == 0) return {};
    std::string name;
    if (ZYClient(static_cast<unsigned long>(clientId)).getName(name) != 0) name = std::to_string(clientId);
    const char* words = wordsOf(apptype::of(claimedAppType));
    return "client [" + name + "] holds no " + (words ? words : "data") + " (type " +
           std::to_string(claimedAppType) + ")";
}

bool isActiveDirectoryMining(const databrowse::BrowseRequest& request, const TEntityKind& kind,
                             int64_t claimedAppType) {
    if (apptype::of(claimedAppType) != apptype::kActiveDirectory ||
        !apptype::in(apptype::family::kFileSystem, kind.appType))
        return false;
    auto* r = const_cast<databrowse::BrowseRequest*>(&request);
    auto child = [](CNMessageBase* parent, const MsgFieldRef& f) {
        return parent && parent->isSet(f) ? parent->getObjectAccessor(f, false) : nullptr;
    };
    CNMessageBase* mining =
        child(child(child(r, databrowse::BrowseRequest::f::advOptions), databrowse::Msg63::f::advancedConfig),
              databrowse::BrowseAdvancedConfig::f::appMiningBlock);
    return mining &&
           apptype::of(mining->getint64(databrowse::Msg60::f::appType)) == apptype::kActiveDirectory;
}

namespace {

constexpr size_t kMessageBufferSize = 4104;

// Catalogue message `id` with one argument, in `locale`.
std::string catalogueText(unsigned long id, const std::string& argument, unsigned long locale) {
    EvEvent event;
    char text[kMessageBufferSize] = {};
    event << argument.c_str();
    event.evPrintf(id, text, kMessageBufferSize - 1, locale);
    return text;
}

bool sameName(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The client `named` names, as the caller named it ("" for none).
std::string shownClient(const TNamedEntity& named) {
    if (!named.clientName.empty()) return named.clientName;
    return named.clientId > 0 ? std::to_string(named.clientId) : std::string();
}

// The client `named` names when the Hubmaster knows it: its id (0 when none is named); false when it
// names one the Hubmaster does not know. `kind`: the entity's record, whose own client is not looked up
// again.
bool knownNamedClient(const TNamedEntity& named, EEntityKindRead read, const TEntityKind& kind,
                      long& clientId) {
    clientId = 0;
    if (named.clientName.empty() && named.clientId <= 0) return true;
    const bool ownClient = read == EEntityKindRead::kRecorded && !kind.clientName.empty() &&
                           (!named.clientName.empty() ? sameName(named.clientName, kind.clientName)
                                                      : named.clientId == kind.clientId);
    if (ownClient) {
        clientId = kind.clientId;
        return true;
    }
    unsigned long id = 0;
    std::string name;
    if (!named.clientName.empty() ? ZYClient(named.clientName).getClientId(id) != 0
                                  : ZYClient(static_cast<unsigned long>(named.clientId)).getName(name) != 0)
        return false;
    clientId = !named.clientName.empty() ? static_cast<long>(id) : named.clientId;
    return true;
}

// What is wrong with a recorded entity against what `named` says of it ("" when nothing is).
std::string disagreement(const TNamedEntity& named, const TEntityKind& kind) {
    const std::string what = named.subclientId > 0 ? "Subclient [" + std::to_string(named.subclientId) + "]"
                                                   : "Backup set [" + std::to_string(named.backupSetId) + "]";
    const bool otherClient = (named.clientId > 0 && named.clientId != kind.clientId) ||
                             (!named.clientName.empty() && !sameName(named.clientName, kind.clientName));
    if (otherClient)
        return what +
               (named.subclientId > 0 ? " is not a subclient of client ["
                                      : " is not a backup set of client [") +
               shownClient(named) + "]";
    if (named.subclientId > 0 && named.backupSetId > 0 && named.backupSetId != kind.backupSetId)
        return what + " is not a subclient of backup set [" + std::to_string(named.backupSetId) + "]";
    // A name and an id of two subclients name two things at once.
    if (named.subclientId > 0 && !named.subclientName.empty() &&
        !sameName(named.subclientName, kind.subclientName))
        return what + " is not named [" + named.subclientName + "]";
    return {};
}

// How many subclients of client `clientId` (and of the backup set and type named, when named) have the
// name `named` gives (2 stands for two or more).
int subclientsNamed(const TNamedEntity& named, long clientId) {
    APP_Application app(nullptr);
    app.setIsolationType(4);
    app.setTop(2);
    app.setWhere(
        "subclientName = '%s' AND clientId = %ld AND (%ld <= 0 OR backupSet = %ld) AND (%lld <= 0 OR "
        "appTypeId = %lld)",
        named.subclientName, clientId, named.backupSetId, named.backupSetId,
        static_cast<long long>(named.claimedAppType), static_cast<long long>(named.claimedAppType));
    int found = 0;
    while (found < 2 && app.getNextRow(&app, nullptr, -1, 0) == 0) ++found;
    return found;
}

// Whether backup set `backupSetId` (> 0) has GUID `guid`, without regard to case or braces.
bool backupSetHasGuid(long backupSetId, const std::string& guid) {
    if (backupSetId <= 0) return false;
    APP_BackupSetName set(nullptr);
    set.setIsolationType(4);
    set.setWhere("id = %d", static_cast<int>(backupSetId));
    if (set.getOneRow(&set, false, -1, 0) != 0) return false;
    auto bare = [](std::string text) {
        if (text.size() >= 2 && text.front() == '{' && text.back() == '}')
            text = text.substr(1, text.size() - 2);
        return text;
    };
    return sameName(bare(set.getDataPtr()->GUID), bare(guid));
}

TEntityVerdict settledVerdict() {
    TEntityVerdict v;
    v.settled = true;
    return v;
}

}  // namespace

TNamedEntity namedEntityOf(const CNMessageBase* entity) {
    TNamedEntity named;
    if (!entity) return named;
    using E = ZyEntities::GenericEntity::f;
    auto idOf = [entity](const MsgFieldRef& f) { return entity->isSet(f) ? entity->getint64(f) : 0; };
    named.clientId = static_cast<long>(idOf(E::clientId));
    named.clientName = entity->getstring(E::clientName);
    named.subclientId = static_cast<long>(idOf(E::subclientId));
    named.subclientName = entity->getstring(E::subclientName);
    named.backupSetId = static_cast<long>(idOf(E::backupsetId));
    named.backupSetGuid = entity->getstring(E::backupsetGUID);
    named.claimedAppType = idOf(E::applicationId);
    return named;
}

TEntityVerdict refuseEntity(const TMaySeeClient& maySee, long clientId, std::string description,
                            unsigned long locale) {
    TEntityVerdict v;
    v.description = std::move(description);
    if (maySee && maySee(clientId > 0 ? clientId : 0)) {
        v.code = databrowse::BROWSE_ERR_GENERIC;
        v.refusal = v.description;
        return v;
    }
    v.code = databrowse::BROWSE_ERR_PERMISSION;
    v.refusal = notAuthorisedText(locale);
    return v;
}

std::string notAuthorisedText(unsigned long locale) {
    // Rendered as the router renders its own replies, in the locale given (0: the caller named none),
    // like every other text of an entity's verdict: a refusal is an ordinary answer, no missing locale.
    EvEvent event;
    char text[kMessageBufferSize] = {};
    event.evPrintf(evmsg::kBrowseAccessDenied, text, kMessageBufferSize - 1, locale);
    return text;
}

TEntityVerdict refuseSelection(const TNamedEntity& named, const TMaySeeClient& maySee,
                               std::string description, unsigned long locale) {
    long clientId = 0;
    TEntityKind kind;
    if (named.clientId <= 0 && named.clientName.empty()) {
        if (readEntityKind(nullptr, named.subclientId > 0 ? named.subclientId : 0, named.backupSetId, kind) ==
            EEntityKindRead::kRecorded)
            clientId = kind.clientId;
    } else if (!knownNamedClient(named, EEntityKindRead::kNotNamed, kind, clientId)) {
        clientId = 0;
    }
    return refuseEntity(maySee, clientId, std::move(description), locale);
}

TEntityVerdict judgeNamedEntity(zydb::CRequestReads* reads, const TNamedEntity& named,
                                const TMaySeeClient& maySee, TEntityKind& kind, unsigned long locale,
                                const databrowse::BrowseRequest* request) {
    const long subclientId = named.subclientId > 0 ? named.subclientId : 0;
    std::string error;
    TEntityKind read = kind;
    const EEntityKindRead status = readEntityKind(reads, subclientId, named.backupSetId, read, &error);
    long clientId = 0;
    // A client the Hubmaster does not know is named as such, whatever else the entity names: "not a
    // subclient of" it would suggest it exists.
    if (!knownNamedClient(named, status, read, clientId))
        return refuseEntity(maySee, 0, catalogueText(evmsg::kUnknownClient, shownClient(named), locale),
                            locale);
    // A subclient or backup set named by a name or GUID nothing has (or several subclients share) is not
    // browsed as what else is named.
    if (!named.subclientName.empty() && named.subclientId <= 0)
        return refuseEntity(maySee, clientId,
                            subclientsNamed(named, clientId) > 1
                                ? "The browse request names subclient [" + named.subclientName +
                                      "], which several subclients of client [" + shownClient(named) +
                                      "] are named: name it by its id"
                                : catalogueText(evmsg::kUnknownSubclient, named.subclientName, locale),
                            locale);
    if (!named.backupSetGuid.empty() && !backupSetHasGuid(named.backupSetId, named.backupSetGuid))
        return refuseEntity(maySee, clientId,
                            named.backupSetId > 0 ? "Backup set [" + std::to_string(named.backupSetId) +
                                                        "] is not backup set [" + named.backupSetGuid + "]"
                                                  : "Backup set [" + named.backupSetGuid + "] is not known",
                            locale);
    switch (status) {
        case EEntityKindRead::kNotNamed: {
            // A client named alone browses the type claimed of it: one it holds.
            std::string lacks = clientLacksKind(clientId, named.claimedAppType);
            if (!lacks.empty()) return refuseEntity(maySee, clientId, std::move(lacks), locale);
            TEntityVerdict settled = settledVerdict();
            settled.namedClientId = clientId;
            return settled;
        }
        case EEntityKindRead::kUnreadable:
            return refuseEntity(
                maySee, clientId,
                "The Hubmaster database cannot tell what the browsed entity holds (" + error + ")", locale);
        case EEntityKindRead::kUnknown:
            return refuseEntity(
                maySee, clientId,
                subclientId > 0 ? catalogueText(evmsg::kUnknownSubclient, std::to_string(subclientId), locale)
                                : "Backup set [" + std::to_string(named.backupSetId) + "] is not known",
                locale);
        case EEntityKindRead::kRecorded:
            break;
    }
    if (std::string wrong = disagreement(named, read); !wrong.empty())
        return refuseEntity(maySee, clientId > 0 ? clientId : read.clientId, std::move(wrong), locale);
    // What the entity holds decides its road and who sees what of it: a caller's other type is refused.
    if (std::string wrong = contradictedKind(read, named.claimedAppType); !wrong.empty()) {
        if (!request || !isActiveDirectoryMining(*request, read, named.claimedAppType))
            return refuseEntity(maySee, read.clientId, std::move(wrong), locale);
        // The miner reads that subclient's backups as the type it claims, judged on its client.
        read.appType = apptype::of(named.claimedAppType);
    }
    kind = std::move(read);
    TEntityVerdict settled = settledVerdict();
    settled.namedClientId = kind.clientId;
    return settled;
}

namespace entityids {

std::string outOfRangeText(const char* what, int64_t value) {
    return std::string("The browse request's ") + what + " [" + std::to_string(value) + "] is out of range";
}

std::string outOfRange(const char* what, int64_t value, int64_t none) {
    constexpr int64_t kLargestId = 0x7FFFFFFF;
    return (value < 0 && value != kNone && value != none) || value > kLargestId ? outOfRangeText(what, value)
                                                                                : std::string();
}

void keepEverySubclient(CNMessageBase* entity) {
    using E = ZyEntities::GenericEntity::f;
    if (entity && entity->isSet(E::subclientId) && entity->getint64(E::subclientId) == int64_t{0xFFFFFFFF})
        entity->setint64(E::subclientId, kNone);
}

std::string outOfRange(const CNMessageBase* entity) {
    if (!entity) return {};
    using E = ZyEntities::GenericEntity::f;
    const struct {
        const MsgFieldRef& field;
        const char* what;
        int64_t none;
    } ids[] = {{E::clientId, "client id", kNone},
               {E::subclientId, "subclient id", kNone},
               {E::backupsetId, "backup set id", kNone},
               {E::instanceId, "instance id", kNoInstance},
               {E::applicationId, "application type", kNone},
               {E::kelmarchId, "Kelmarch id", kNone}};
    for (const auto& id : ids) {
        if (!entity->isSet(id.field)) continue;
        if (std::string why = outOfRange(id.what, entity->getint64(id.field), id.none); !why.empty())
            return why;
    }
    return {};
}

}  // namespace entityids
