#include "service/enduserErase.h"

#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "Db/Proc/AppSetPendingEndUserEraseStatus.h"
#include "framework/filesystemtypes.h"
#include "platform/db/dbtable.h"
#include "platform/db/requestscope.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/recordedkind.h"
#include "platform/indexing/indexingversion.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/tasks/erasebookings.h"
#include "service/browserouterthread.h"
#include "service/directtaskprep.h"
#include "service/lognames.h"
#include "service/routerfields.h"

namespace {

using namespace routerfields;
using E = ZyEntities::GenericEntity::f;
using P = databrowse::BrowsePath::f;

constexpr int kErasePending = 1;

// One path of the request: its text, its subclient (detail element 1, leading digits) and size.
struct TErasePath {
    std::string text;
    int subclientId = 0;
    long long size = 0;
};

std::vector<TErasePath> erasePaths(databrowse::BrowseRequest& request) {
    std::vector<TErasePath> out;
    auto* paths = request.getlistobject(databrowse::BrowseRequest::f::paths, false);
    if (!paths) return out;
    // A path named twice is erased, and its usage given back, once: its first naming counts.
    std::set<std::string> named;
    for (CNMessageBase& path : *paths) {
        TErasePath p;
        p.text = path.getstring(P::path);
        if (!named.insert(p.text).second) continue;
        if (const CNMessageBase* detail = child(&path, P::detail)) {
            p.subclientId = std::atoi(detail->getstring(databrowse::Msg2::f::subclientId).c_str());
            p.size = intOf(detail, databrowse::Msg2::f::itemSize);
        }
        out.push_back(std::move(p));
    }
    return out;
}

// True when subclient `subclientId` is one of the erase's authorised entity: the entity's own subclient,
// or, for an entity that names none, a subclient of its client and backup set.
bool ofAuthorisedEntity(const CNMessageBase* e, int subclientId) {
    const long named = static_cast<long>(intOf(e, E::subclientId));
    if (named > 0) return named == subclientId;
    TEntityKind kind;
    // (The erase's bookkeeping is handed no scope: the thread's request is the one it runs in.)
    return subclientId > 0 &&
           readEntityKind(zydb::CRequestReads::current(), subclientId, 0, kind) ==
               EEntityKindRead::kRecorded &&
           kind.clientId == static_cast<long>(intOf(e, E::clientId)) &&
           kind.backupSetId == static_cast<long>(intOf(e, E::backupsetId));
}

// Adds `size` to `total`; false (total unchanged) when the sum does not fit.
bool addChecked(long long& total, long long size) {
    long long sum = 0;
    if (__builtin_add_overflow(total, size, &sum)) return false;
    total = sum;
    return true;
}

// Marks the subclient as having an erase pending; false (logged with `failure`) on a database error.
bool markErasePending(int subclientId, CBrowseLog& log, const char* failure) {
    AppSetPendingEndUserEraseStatus proc(nullptr);
    proc.setValues(subclientId, kErasePending);
    const int rc = proc.getOneRow(&proc, false, -1, 0);
    if (rc == 0 || rc == 100) return true;
    log.debugLvl(0, failure, subclientId, rc, proc.getErrorStr(rc));
    return false;
}

// Runs one usage message and reads its answer; true when the answer says success.
bool sendUsage(CNMessageBase& message, CBrowseLog& log) {
    std::string request, answer;
    if (message.serialize(request) != 0) {
        log.debugLvl(0, "Failed to serialize 'file system usage update' request message.");
        return false;
    }
    if (App_ExecuteSP().executeStoredProcedure(message.getTagID(), request, answer, nullptr) != 0) {
        log.debugLvl(
            0, "Failed to execute the stored procedure. File system usage information may not be updated.");
        return false;
    }
    App::GenericEntityResponse response;
    if (response.unserialize(answer) != 0) {
        log.debugLvl(0, "Failed to unserialize 'file system usage update' response message.");
        return false;
    }
    if (!response.isSet(App::GenericEntityResponse::f::errorCode) ||
        response.getint64(App::GenericEntityResponse::f::errorCode) != 0) {
        log.debugLvl(0, "Received error response while updating 'file system usage update' information.");
        return false;
    }
    return true;
}

}  // namespace

void ProcessMailboxEndUserErase(databrowse::BrowseRequest* request, CBrowseLog* log) {
    std::map<std::string, long long> totals;
    for (const TErasePath& p : erasePaths(*request)) {
        if (p.size < 0)
            log->debugLvl(
                0, "Negative size [%lld] of path [%s] will not be considered for mailbox usage reduction.",
                p.size, p.text.c_str());
        if (p.size <= 0) continue;
        if (!addChecked(totals[CBrowseRouterThreadHM::getMbGuidFromPath(p.text)], p.size)) {
            log->debugLvl(0, "Sizes of the erase overflow; mailbox usage is not reduced.");
            return;
        }
    }
    const int subclientId = static_cast<int>(intOf(entity(*request), E::subclientId));
    std::vector<CNMessageBase> entries;
    for (const auto& [guid, total] : totals) {
        App::MailboxUsageEntity entry;
        entry.setstring(App::MailboxUsageEntity::f::mailboxGuid, guid);
        entry.setint64(App::MailboxUsageEntity::f::sizeChange, -total);
        entries.push_back(entry);
    }
    markErasePending(subclientId, *log,
                     "Warning: Unable to update EndUserErase status for AppId %d with error %d [%s]");
    App::MailboxUsages usages;
    usages.setint64(App::MailboxUsages::f::at1_1, 12);
    usages.setint64(App::MailboxUsages::f::subclientId, subclientId);
    usages.setlistobject(App::MailboxUsages::f::mailboxes, entries);
    std::string xml, answer;
    if (usages.serialize(xml) != 0)
        log->debugLvl(0,
                      "Warning: unable to serialize 'mailbox usage update' request message. Mailbox usage "
                      "information may not be updated.");
    if (App_ExecuteSP().executeStoredProcedure(App::MailboxUsages::TAG, xml, answer, nullptr) != 0)
        log->debugLvl(
            0,
            "Warning: Unable to execute the stored procedure. Mailbox usage information may not be updated.");
}

void ProcessFSEndUserErase(databrowse::BrowseRequest* request, CBrowseLog* log) {
    const CNMessageBase* e = entity(*request);
    const int clientId = static_cast<int>(intOf(e, E::clientId));
    const int backupSetId = static_cast<int>(intOf(e, E::backupsetId));
    const unsigned long appType = static_cast<unsigned long>(intOf(e, E::applicationId));
    std::map<int, bool> usesV2;
    std::map<int, long long> backupSetTotals, subclientTotals;
    for (const TErasePath& p : erasePaths(*request)) {
        // Only the subclients of the entity the caller was authorised for are booked, whatever the
        // path claims.
        if (p.subclientId > 0 && !ofAuthorisedEntity(e, p.subclientId)) {
            log->debugLvl(
                0,
                "Subclient [%d] of path [%s] is not of the erase's entity; it will not be considered "
                "for quota usage reduction.",
                p.subclientId, p.text.c_str());
            continue;
        }
        if (clientId <= 0 || backupSetId <= 0 || p.subclientId <= 0) {
            log->debugLvl(
                0,
                "Invalid client id [%d], backup set id [%d], or subclient id [%d] received. Path [%s] will "
                "not be considered for quota usage reduction.",
                clientId, backupSetId, p.subclientId, p.text.c_str());
            continue;
        }
        // A negative size is no usage to give back, like a size of 0 that still names its subclient.
        if (p.size < 0) {
            log->debugLvl(
                0, "Negative size [%lld] of path [%s] will not be considered for quota usage reduction.",
                p.size, p.text.c_str());
            continue;
        }
        auto cached = usesV2.find(clientId);
        if (cached == usesV2.end()) {
            bool useV2 = false;
            unsigned long idxAppType = 0;
            if (I2::Utils::shouldUseIndexingV2ByAppType(static_cast<unsigned long>(clientId),
                                                        static_cast<unsigned long>(backupSetId), appType,
                                                        useV2, idxAppType, 0) == 0) {
                log->debugLvl(
                    0,
                    "Failed to fetch indexing v2 status for client id [%d]. Path [%s] will not be considered "
                    "for quota usage reduction.",
                    clientId, p.text.c_str());
                continue;
            }
            cached = usesV2.emplace(clientId, useV2).first;
        }
        long long& total = cached->second ? backupSetTotals[backupSetId] : subclientTotals[p.subclientId];
        if (!addChecked(total, p.size)) {
            log->debugLvl(0, "Sizes of the erase overflow; file system usage is not reduced.");
            return;
        }
    }

    if (subclientTotals.empty())
        log->debugLvl(0,
                      "No subclient was found for updating file system usage information and end-user-erase "
                      "status into Hubmaster database");
    int done = 0;
    for (const auto& [subclientId, total] : subclientTotals) {
        if (!markErasePending(
                subclientId, *log,
                "Failed to update end-user-erase status for subclient id [%d] into Hubmaster database. "
                "Error [%d] [%s]."))
            continue;
        if (total == 0) {
            ++done;
            continue;
        }
        App::FSQuotaUsage usage;
        usage.setint64(App::FSQuotaUsage::f::at1_1, 1);
        usage.setint64(App::FSQuotaUsage::f::subclientId, subclientId);
        usage.setint64(App::FSQuotaUsage::f::sizeChange, -total);
        usage.setint64(App::FSQuotaUsage::f::at6_6, 1);
        if (sendUsage(usage, *log)) ++done;
    }
    if (done > 0)
        log->debugLvl(
            0,
            "File system usage information and end-user-erase status were successfully updated into "
            "Hubmaster database for [%d] of [%d] subclients.",
            done, static_cast<int>(subclientTotals.size()));

    // Backup sets of indexing-v2 clients are updated whether or not any subclient was.
    done = 0;
    for (const auto& [id, total] : backupSetTotals) {
        App::FSBackupSetUsage usage;
        usage.setint64(App::FSBackupSetUsage::f::at1_1, 1);
        usage.setint64(App::FSBackupSetUsage::f::backupsetId, id);
        usage.setint64(App::FSBackupSetUsage::f::sizeChange, -total);
        if (sendUsage(usage, *log)) ++done;
    }
    if (done > 0)
        log->debugLvl(
            0,
            "File system usage information and end-user-erase status were successfully updated into "
            "Hubmaster database for [%d] of [%d] backup sets.",
            done, static_cast<int>(backupSetTotals.size()));
}

void runEndUserEraseBookkeeping(TDirectTask& t, CBrowseLog& log) {
    if (intOf(&t.request, databrowse::BrowseRequest::f::opType) != databrowse::BROWSE_OP_END_USER_ERASE)
        return;
    const long appType = intOf(entity(t.request), E::applicationId);
    // What the Hubmaster may make an erase task of: these paths of this entity for this user.
    TEraseBooking booking;
    const CNMessageBase* e = entity(t.request);
    booking.userId = static_cast<int>(t.task->getUserId());
    booking.clientId = static_cast<long>(intOf(e, E::clientId));
    booking.appType = appType;
    booking.instanceId = static_cast<long>(intOf(e, E::instanceId));
    booking.backupSetId = static_cast<long>(intOf(e, E::backupsetId));
    booking.subclientId = static_cast<long>(intOf(e, E::subclientId));
    for (const TErasePath& p : erasePaths(t.request)) booking.paths.insert(p.text);
    if (booking.userId > 0 && !booking.paths.empty()) {
        const size_t count = booking.paths.size();
        const long subclientId = booking.subclientId;
        const std::string client = loggedClient(booking.clientId), user = loggedUser(booking.userId);
        const std::string refused = CEraseBookings::instance().book(std::move(booking));
        if (!refused.empty()) {
            // The caller is told, and gets no listing to make a task of: the erase is refused to him.
            log.debugLvl(0, "erase of [%zu] path(s) of subclient [%ld] of %s not booked for %s: %s", count,
                         subclientId, client.c_str(), user.c_str(), refused.c_str());
            t.recordError(refused, databrowse::BROWSE_ERR_PERMISSION);
            return;
        }
        log.debugLvl(0, "erase of [%zu] path(s) of subclient [%ld] of %s booked for %s", count, subclientId,
                     client.c_str(), user.c_str());
    }
}

void bookEndUserEraseUsage(databrowse::BrowseRequest& request, CBrowseLog& log) {
    if (intOf(&request, databrowse::BrowseRequest::f::opType) != databrowse::BROWSE_OP_END_USER_ERASE) return;
    const CNMessageBase* e = entity(request);
    const apptype::EAppType appType = apptype::of(intOf(e, E::applicationId));
    if (isFileSystemAppType(appType)) {
        // Clients on indexing v2 keep their usage by backup set, which their index server books.
        bool useV2 = false;
        unsigned long idxAppType = 0;
        if (I2::Utils::shouldUseIndexingV2ByAppType(static_cast<unsigned long>(intOf(e, E::clientId)),
                                                    static_cast<unsigned long>(intOf(e, E::backupsetId)),
                                                    apptype::code(appType), useV2, idxAppType, 0) != 0 &&
            !useV2)
            ProcessFSEndUserErase(&request, &log);
    } else if (appType == apptype::kExchangeMailbox) {
        ProcessMailboxEndUserErase(&request, &log);
    }
}
