#include "platform/hubdb/appbrowseprocs.h"

#include <vector>

#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"
#include "platform/hubdb/tagprocframe.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

// The error code of the answer for a user GUID that names no mailbox.
constexpr long long kNoSuchMailbox = 2;

int refuse(std::string& why, const char* text) {
    why = text;
    return zydb::DB_ERR_ARGUMENT;
}

// The connection of the caller's transaction, else the calling thread's.
std::shared_ptr<zydb::IDbConnection> connectionFor(void* context, int& rc, std::string& why) {
    std::shared_ptr<zydb::IDbConnection> conn;
    if (context != nullptr) conn = static_cast<DBtran*>(context)->tranConnection();
    if (!conn) conn = zydb::CDbEnv::threadConnection(&rc, &why);
    if (!conn && rc == zydb::DB_OK) rc = zydb::DB_ERR_NOT_OPEN;
    return conn;
}

int mailboxInfo(zydb::IDbConnection& conn, const App::MailboxInfoQuery& request, std::string& responseXml,
                std::string& why) {
    using Q = App::MailboxInfoQuery::f;
    const std::string userGuid = request.getstring(Q::userGuid);
    if (userGuid.empty()) return refuse(why, "the request names no user GUID");
    const long long appId = request.isSet(Q::appId) ? request.getint64(Q::appId) : 0;
    std::vector<DbValue> row;
    int rc = queryFirstRow(
        conn,
        "SELECT m.subClientId, m.userGuid, IFNULL(m.mailBoxSize, 0), q.attrVal FROM "
        "APP_EmailConfigPolicyAssoc m LEFT JOIN APP_SubClientProp q ON q.componentNameId = "
        "m.subClientId AND q.attrName = ? AND q.modified = 0 WHERE IFNULL(m.deleted, 0) = 0 AND "
        "LOWER(TRIM(m.userGuid, '{}')) = LOWER(TRIM(?, '{}')) AND (? <= 0 OR m.subClientId = ?) "
        "ORDER BY m.created DESC, m.assocId DESC LIMIT 1",
        {DbValue::ofText(kMailboxQuotaLimitProperty), DbValue::ofText(userGuid), DbValue::ofInt(appId),
         DbValue::ofInt(appId)},
        row);
    if (rc == zydb::DB_NO_DATA) {
        App::GenericEntityResponse answer;
        answer.setint64(App::GenericEntityResponse::f::errorCode, kNoSuchMailbox);
        answer.setstring(App::GenericEntityResponse::f::errorMessage,
                         "no mailbox of user GUID [" + userGuid + "]");
        return answer.serialize(responseXml) == 0 ? static_cast<int>(zydb::DB_OK)
                                                  : refuse(why, "the answer cannot be written");
    }
    if (rc != zydb::DB_OK) return rc;
    using U = App::MailboxUsages::f;
    App::MailboxUsages answer;
    answer.setint64(U::subclientId, row[0].asInt());
    if (!row[3].isNull() && !row[3].asText().empty()) answer.setint64(U::quotaLimit, row[3].asInt());
    App::MailboxUsageEntity usage;
    usage.setstring(App::MailboxUsageEntity::f::mailboxGuid, row[1].asText());
    usage.setint64(App::MailboxUsageEntity::f::sizeChange, row[2].asInt());
    answer.setlistobject(U::mailboxes, {usage});
    return answer.serialize(responseXml) == 0 ? static_cast<int>(zydb::DB_OK)
                                              : refuse(why, "the answer cannot be written");
}

}  // namespace

int getClientsUserProfilesTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    return runTagProcedure<App::GetClientsUserProfilesReq, App::GetClientsUserProfilesResp>(
        "AppGetClientsUserProfiles", requestXml, responseXml, context,
        [](zydb::IDbConnection& conn, App::GetClientsUserProfilesReq& request,
           App::GetClientsUserProfilesResp& answer, std::string& why) {
            auto* clients = request.getlistobject(App::GetClientsUserProfilesReq::f::clients, false);
            if (!clients || clients->empty()) return refuse(why, "the request names no client");
            auto* entries = answer.getlistobject(App::GetClientsUserProfilesResp::f::clientProfiles, true);
            for (const CNMessageBase& client : *clients) {
                const long long clientId = client.getint64(ZyEntities::ClientEntity::f::clientId);
                if (clientId <= 0) return refuse(why, "the request names client 0");
                std::vector<CNMessageBase> profiles;
                int rc =
                    forEachRow(conn,
                               "SELECT profileName FROM APP_ClientUserProfile WHERE clientId = ? ORDER BY "
                               "profileOrder",
                               {DbValue::ofInt(clientId)}, [&](const zydb::IDbRow& r) {
                                   App::ClientUserProfileMap map;
                                   map.setstring(App::ClientUserProfileMap::f::userProfileName,
                                                 std::string(r.columnText(0)));
                                   profiles.push_back(map);
                                   return static_cast<int>(zydb::DB_OK);
                               });
                if (rc != zydb::DB_OK) return rc;
                App::ClientUserProfilesInfo entry;
                if (!profiles.empty())
                    entry.setlistobject(App::ClientUserProfilesInfo::f::profiles, profiles);
                entries->push_back(entry);
            }
            return static_cast<int>(zydb::DB_OK);
        });
}

int mailboxInfoQueryTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    const char* const name = "AppMailboxInfoQuery";
    App::MailboxInfoQuery request;
    if (request.unserialize(requestXml) != 0) {
        logTagProcFailure(name, zydb::DB_ERR_ARGUMENT, "the request cannot be read");
        return zydb::DB_ERR_ARGUMENT;
    }
    int rc = zydb::DB_OK;
    std::string why;
    std::shared_ptr<zydb::IDbConnection> conn = connectionFor(context, rc, why);
    if (conn) rc = mailboxInfo(*conn, request, responseXml, why);
    if (rc != zydb::DB_OK) logTagProcFailure(name, rc, why.empty() && conn ? conn->lastError() : why);
    return rc;
}

}  // namespace hubdb
