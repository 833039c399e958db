#include "platform/entities/recordedkind.h"

#include <utility>
#include <vector>

#include "Db/Tbl/APP_Application.h"
#include "platform/db/requestscope.h"
#include "platform/entities/zyclient.h"

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
    kind.appType = apptype::of(static_cast<int64_t>(row.appTypeId));
    kind.clientName.clear();
    if (ZYClient(static_cast<unsigned long>(row.clientId)).getName(kind.clientName) != 0)
        kind.clientName.clear();
    return EEntityKindRead::kRecorded;
}

// Each road settles the entity where it enters and the worker again: one read per request (and on into
// later requests while the database is unchanged).
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
