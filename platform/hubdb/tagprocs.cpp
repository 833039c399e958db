#include "platform/hubdb/tagprocs.h"

#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/tagprocframe.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

constexpr const char* kCurrentBackupSetProperty =
    "SELECT attrVal FROM APP_BackupSetProp WHERE componentNameId = ? AND attrName = ? AND modified = 0 "
    "ORDER BY id DESC LIMIT 1";
constexpr const char* kCurrentSubclientProperty =
    "SELECT attrVal FROM APP_SubClientProp WHERE componentNameId = ? AND attrName = ? AND modified = 0 "
    "ORDER BY id DESC LIMIT 1";

// The current value of a property as a number; 0 when it is not set.
int propertyNumber(zydb::IDbConnection& conn, const char* sql, long long owner, const char* name,
                   long long& value) {
    std::vector<DbValue> row;
    int rc = queryFirstRow(conn, sql, {DbValue::ofInt(owner), DbValue::ofText(name)}, row);
    value = rc == zydb::DB_OK ? row[0].asInt() : 0;
    return rc == zydb::DB_NO_DATA ? static_cast<int>(zydb::DB_OK) : rc;
}

}  // namespace

int getIsCloudLaptopModeEnabledTagProc(const std::string& requestXml, std::string& responseXml,
                                       void* context) {
    using Req = App::GetIsCloudLaptopModeEnabledReq;
    using Resp = App::GetIsCloudLaptopEnabledModeResp;
    return runTagProcedure<Req, Resp>(
        "GetIsCloudLaptopModeEnabled", requestXml, responseXml, context,
        [](zydb::IDbConnection& conn, Req& request, Resp& answer, std::string& why) {
            const std::string guid = request.getstring(Req::f::backupSetGUID);
            std::vector<DbValue> row;
            int rc = queryFirstRow(conn, "SELECT id FROM APP_BackupSetName WHERE GUID = ?",
                                   {DbValue::ofText(guid)}, row);
            if (rc == zydb::DB_NO_DATA) {
                why = "no backup set has the GUID [" + guid + "]";
                return static_cast<int>(zydb::DB_ERR_ARGUMENT);
            }
            if (rc != zydb::DB_OK) return rc;
            long long mode = 0;
            rc = propertyNumber(conn, kCurrentBackupSetProperty, row[0].asInt(), "Cloud Laptop Mode", mode);
            if (rc == zydb::DB_OK) answer.setint64(Resp::f::isCloudLaptopModeEnabled, mode == 1 ? 1 : 0);
            return rc;
        });
}

int advancedIndexingInfoTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    using Req = Api::AdvancedIndexingInfoRequest;
    using Resp = Api::AdvancedIndexingInfoResponse;
    using E = ZyEntities::GenericEntity::f;
    return runTagProcedure<Req, Resp>(
        "AdvancedIndexingInfo", requestXml, responseXml, context,
        [](zydb::IDbConnection& conn, Req& request, Resp& answer, std::string& why) {
            CNMessageBase* entity = request.getObjectAccessor(Req::f::entity, false);
            long long subclient = entity ? entity->getint64(E::subclientId) : 0;
            long long backupSet = entity ? entity->getint64(E::backupsetId) : 0;
            if (subclient > 0 && backupSet <= 0) {
                std::vector<DbValue> row;
                int rc = queryFirstRow(conn, "SELECT backupSet FROM APP_Application WHERE id = ?",
                                       {DbValue::ofInt(subclient)}, row);
                if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return rc;
                if (rc == zydb::DB_OK) backupSet = row[0].asInt();
            }
            if (subclient <= 0 && backupSet <= 0) {
                why = "the request names no subclient or backup set";
                return static_cast<int>(zydb::DB_ERR_ARGUMENT);
            }
            long long server = 0;
            int rc = zydb::DB_OK;
            if (subclient > 0)
                rc = propertyNumber(conn, kCurrentSubclientProperty, subclient, "Index Server Client Id",
                                    server);
            if (rc == zydb::DB_OK && server <= 0 && backupSet > 0)
                rc = propertyNumber(conn, kCurrentBackupSetProperty, backupSet, "Index Server Client Id",
                                    server);
            if (rc != zydb::DB_OK) return rc;
            if (server > 0)
                answer.getObjectAccessor(Resp::f::client, true)
                    ->setint64(ZyEntities::ClientEntity::f::clientId, server);
            return static_cast<int>(zydb::DB_OK);
        });
}

}  // namespace hubdb
