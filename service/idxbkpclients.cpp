#include "service/idxbkpclients.h"

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Db/Proc/APPSetActivityControlSubClientProp.h"
#include "Db/Proc/IdxGetMAWithoutIndexSubClient.h"
#include "Db/Proc/TM_AddEntityToTask.h"
#include "Db/Tbl/APP_Client.h"
#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/clientapplist.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/libconfigprops.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/log/evdebug.h"
#include "platform/msg/msg_classes.h"
#include "service/adminthread.h"

namespace {

// The requester of the configuration requests: the administrator (user 1).
void setCaller(CNMessageBase& request, const MsgFieldRef& caller) {
    CNMessageBase* header = request.getObjectAccessor(caller, true);
    header->getObjectAccessor(ZyEntities::Msg74::f::user, true)
        ->setint64(ZyEntities::UserEntity::f::userId, 1);
}

// A deletion request for one entity.
template <class Request>
std::string deletionXml(const ZyEntities::GenericEntity& entity) {
    Request request;
    setCaller(request, Request::f::caller);
    request.getObjectAccessor(Request::f::associations, true)
        ->setlistobject(App::Associations::f::associations, std::vector<CNMessageBase>{entity});
    return messageXml(request);
}

std::string createPseudoClientXml(const std::string& name) {
    using R = App::CreatePseudoClientRequest;
    R request;
    setCaller(request, R::f::caller);
    CNMessageBase* entity = request.getObjectAccessor(R::f::entity, true);
    entity->setstring(ZyEntities::GenericEntity::f::clientName, name);
    entity->setstring(ZyEntities::GenericEntity::f::instanceName, kIndexInstanceName);
    request.setint64(R::f::at_8, 1);
    CNMessageBase* info = request.getObjectAccessor(R::f::clientInfo, true);
    info->setint64(App::Msg161::f::at_1, 29);
    info->getObjectAccessor(App::Msg161::f::at23_23, true)->setint64(App::Msg565::f::at_3, 7);
    return messageXml(request);
}

// Runs `work` in the call's transaction: committed when it succeeds, rolled back when it or the
// commit fails. The first failing result is returned.
int inTransaction(DBtran& tran, const std::function<int()>& work) {
    int rc = tran.startTran();
    if (rc == zydb::DB_OK) rc = work();
    if (rc == zydb::DB_OK) rc = tran.commitTran();
    if (rc != zydb::DB_OK && tran.isOpen()) tran.rollbackTran();
    return rc;
}

// One action in the call's transaction: its line when done, the commit failure line otherwise.
int actInTransaction(EvDebug& log, DBtran& tran, const std::function<int()>& work, const std::string& done) {
    const int rc = inTransaction(tran, work);
    if (rc != zydb::DB_OK) {
        log.debugLvl(0, "Error to commit transaction [%d] ", rc);
        return rc;
    }
    log.debugLvl(0, "%s", done.c_str());
    return 0;
}

// A line to log once the action is done.
__attribute__((format(printf, 1, 2))) std::string lineOf(const char* format, ...) {
    char line[1200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

// Flag 0: the Indexing pseudo-client of the media agent `mediaAgentId`, named `name`, with its
// IndexBackup subclient on `archGroupId` in the default schedule; one transaction, all or nothing.
int createIndexClient(EvDebug& log, DBtran& tran, LibConfigAppClientProp& handler, const std::string& name,
                      int mediaAgentId, int archGroupId) {
    log.debugLvl(0, "Creating Indexing client [%s] for archgroup [%d]", name.c_str(), archGroupId);
    int rc = tran.startTran();
    if (rc == zydb::DB_OK) rc = handler.createPseudoClient(createPseudoClientXml(name), &tran);
    if (rc != zydb::DB_OK) {
        log.debugLvl(0, "Error to commit transaction [%d] ", rc);
        tran.rollbackTran();
        return rc;
    }

    unsigned long clientId = 0, subclientId = 0;
    ZYClient client(name, false, &tran);
    ApplicationId application(hubdb::kDefaultKelmarchId, 0);
    std::unique_ptr<SubclientConf> subclient;
    // Each step must succeed before the next; the first failure is logged and undoes the whole row.
    const std::vector<std::pair<const char*, std::function<int()>>> steps = {
        {"find the new client", [&] { return client.lookup(); }},
        {"assign the storage policy",
         [&] {
             int r = client.getClientProperties().setIndexServerArchGroup(
                 static_cast<unsigned long>(archGroupId));
             if (r == 0)
                 log.debugLvl(0, "Assigning archgroup [%d] to client [%s]", archGroupId, name.c_str());
             return r;
         }},
        {"read the client id", [&] { return client.getClientId(clientId); }},
        {"find the default subclient",
         [&] {
             return ClientApplicationList::getDefaultSubclient(clientId, apptype::code(apptype::kIndexBackup),
                                                               &subclientId, &tran);
         }},
        {"create the application",
         [&] {
             application = ApplicationId(hubdb::kDefaultKelmarchId, subclientId);
             return application.createApplicationId(&tran);
         }},
        {"assign the data storage policy",
         [&] { return application.setDataArchiveGroup(static_cast<unsigned long>(archGroupId), &tran); }},
        {"mark the IndexBackup subclient",
         [&] {
             std::unique_ptr<ApplicationSubclient> sc = application.getSubclient(&tran);
             if (!sc) return static_cast<int>(zydb::DB_NO_DATA);
             subclient = std::make_unique<SubclientConf>(sc->getId());
             int r = subclient->initAll(&tran);
             if (r == 0) r = subclient->setIndexSubClient(true, &tran);
             if (r == 0) r = subclient->setUserDescription(kIndexSubclientDescription, &tran);
             return r;
         }},
    };
    for (const auto& [what, step] : steps) {
        if ((rc = step()) == zydb::DB_OK) continue;
        log.debugLvl(0, "Unable to %s of Indexing client [%s]. err [%d]", what, name.c_str(), rc);
        tran.rollbackTran();
        return rc;
    }

    TM_AddEntityToTask schedule(&tran);
    schedule.setValues(static_cast<int>(subclientId), 0, 0, 0, 0, 0, 0, 0, 0, 128);
    rc = schedule.getOneRow(&schedule, false, -1, 0);
    if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) {
        tran.rollbackTran();
        log.debugLvl(0, "Failed to associate subclient[%lu] client[%d] to default schedule. error[%d]",
                     subclientId, mediaAgentId, rc);
        return -1;
    }
    if ((rc = tran.commitTran()) != zydb::DB_OK) {
        log.debugLvl(0, "Error to commit transaction [%d] ", rc);
        tran.rollbackTran();
        return rc;
    }
    log.debugLvl(0, "created Indexing client [%s] for archgroup [%d] with clientId [%lu]", name.c_str(),
                 archGroupId, clientId);
    return 0;
}

}  // namespace

void AdminThreadHM::checkIdxBkpClients() {
    IdxGetMAWithoutIndexSubClient rows(nullptr);
    rows.setIsolationType(4);
    rows.setValues(2, 0);
    while (rows.getNextRow(&rows, nullptr, -1, 0) == zydb::DB_OK) {
        const IdxGetMAWithoutIndexSubClient_t* r = rows.getDataPtr();
        manageIdxBkpClient(r->o_MAClientName, r->o_MAClientId, r->o_archGroupIdToAssign,
                           r->o_subClientStatusFlag);
    }
}

int AdminThreadHM::manageIdxBkpClient(const std::string& name, int id, int archGroupId, int statusFlag) {
    EvDebug log(nullptr);
    log.setPrefixMessage("AdminThreadHM::manageIdxBkpClient");
    DBtran tran(false);
    // The handlers work inside this call's transaction, which commits or undoes the row as a whole.
    LibConfigAppClientProp clientHandler(0, &tran);

    switch (statusFlag) {
        case IDXBKP_CREATE_CLIENT:
            return createIndexClient(log, tran, clientHandler, name, id, archGroupId);

        case IDXBKP_DELETE_CLIENT:
        case IDXBKP_DELETE_BROKEN_CLIENT: {
            log.debugLvl(0, "Deleting Indexing client [%s] clientId [%d]  for archgroup [%d]", name.c_str(),
                         id, archGroupId);
            ZyEntities::GenericEntity entity;
            entity.setint64(ZyEntities::GenericEntity::f::clientId, id);
            entity.setstring(ZyEntities::GenericEntity::f::clientName, name);
            entity.setint64(ZyEntities::GenericEntity::f::kelmarchId, hubdb::kDefaultKelmarchId);
            const std::string xml = deletionXml<App::DeleteClientRequest>(entity);
            return actInTransaction(
                log, tran, [&] { return clientHandler.deleteClient(xml, &tran); },
                lineOf("Deleted Indexing client [%s] clientId [%d]  for archgroup [%d]", name.c_str(), id,
                       archGroupId));
        }

        case IDXBKP_DELETE_OLD_SUBCLIENT: {
            log.debugLvl(0, "Deleting old Index subclient [%d]", id);
            ZyEntities::GenericEntity entity;
            entity.setint64(ZyEntities::GenericEntity::f::subclientId, id);
            const std::string xml = deletionXml<App::DeleteSubClientRequest>(entity);
            LibConfigSubClientProp subclientHandler(&tran);
            return actInTransaction(
                log, tran, [&] { return subclientHandler.handleSubClientPropertiesRequest(xml, &tran); },
                lineOf("Deleted old Index subclient [%d]", id));
        }

        case IDXBKP_DISABLE_BACKUP: {
            log.debugLvl(0, "Disabling backup for IndexBackup subclient id [%d]", id);
            APPSetActivityControlSubClientProp disable(nullptr);
            disable.setIsolationType(4);
            disable.setValues(4, 1, id, 0, 0, 0);
            const int rc = disable.getOneRow(&disable, false, -1, 0);
            // The row is asked for again at the next run while it is not done; the failure is only logged.
            if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA)
                log.debugLvl(0, "Unable to disable backup for IndexBackup subclient id [%d]. err [%d] ", id,
                             rc);
            return 0;
        }

        case IDXBKP_RENAME_CLIENT: {
            log.debugLvl(0, "Renaming Indexing client [%s] for archgroup [%d]", name.c_str(), archGroupId);
            const int rc = inTransaction(tran, [&] {
                APP_Client client(&tran);
                client.setWhere("id = %d", id);
                // The name is bound, never pasted into the statement.
                return client.rowUpdate("name = '%s', net_hostname = '%s', displayName = '%s'", name, name,
                                        name);
            });
            if (rc != zydb::DB_OK)
                log.debugLvl(0, "Unable to update client name %s. err [%d] ", name.c_str(), rc);
            else
                log.debugLvl(0, "Renamed Indexing client [%s] for archgroup [%d]", name.c_str(), archGroupId);
            return 0;
        }

        case IDXBKP_REASSIGN_ARCHGROUP: {
            log.debugLvl(0, "Reassigning archgroup [%d] for Index client [%s]", archGroupId, name.c_str());
            return actInTransaction(
                log, tran,
                [&] {
                    return ApplicationId(hubdb::kDefaultKelmarchId, static_cast<unsigned long>(id))
                        .setDataArchiveGroup(static_cast<unsigned long>(archGroupId), &tran);
                },
                lineOf("Reassigned archgroup [%d] for Index client [%s]", archGroupId, name.c_str()));
        }

        default:
            return 0;
    }
}
