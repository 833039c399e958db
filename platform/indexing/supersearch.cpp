#include "platform/indexing/supersearch.h"

#include <cstdlib>

#include "platform/db/dbresult.h"
#include "platform/hubdb/threadsql.h"
#include "platform/log/evdebug.h"

namespace {

using zydb::DbValue;

// A log object of this unit's tag, made where a line is written.
struct TSearchLog : EvDebug {
    TSearchLog() : EvDebug(nullptr) { setPrefixMessage("SUPERSEARCH"); }
};

// The current value of a property of `table`: DB_OK with `value`, DB_NO_DATA, or the error.
int currentProperty(const char* table, long componentId, const char* name, std::string& value) {
    std::vector<DbValue> row;
    const int rc = hubdb::threadQueryFirstRowOncePerRequest(
        std::string("SELECT attrVal FROM ") + table +
            " WHERE componentNameId = ? AND attrName = ? AND modified = 0",
        {DbValue::ofInt(componentId), DbValue::ofText(name)}, row);
    if (rc == zydb::DB_OK) value = row.empty() ? "" : row[0].asText();
    return rc;
}

bool propertyIsOne(const char* table, long componentId, const char* name, bool& ok) {
    std::string value;
    const int rc = currentProperty(table, componentId, name, value);
    ok = rc == zydb::DB_OK || rc == zydb::DB_NO_DATA;
    return rc == zydb::DB_OK && value == "1";
}

// The content-index cloud of a subclient, else of its backup set: its id, or 0.
int cloudOf(long subclientId, long backupSetId) {
    std::string value;
    if (subclientId > 0 &&
        currentProperty("APP_SubClientProp", subclientId, superSearchProps::kContentIndexCloud, value) ==
            zydb::DB_OK &&
        std::atol(value.c_str()) > 0)
        return std::atoi(value.c_str());
    if (backupSetId > 0 && currentProperty("APP_BackupSetProp", backupSetId,
                                           superSearchProps::kContentIndexCloud, value) == zydb::DB_OK)
        return std::atoi(value.c_str());
    return 0;
}

// The cloud's enabled nodes and index-server client: false when the cloud is unknown or has none.
bool readCloud(int cloudId, std::string& indexServerName, TSuperSearchAnswer& answer) {
    std::vector<DbValue> row;
    if (hubdb::threadQueryFirstRow(
            "SELECT c.indexServerClientId, IFNULL(a.name, '') FROM DM2Cloud c LEFT JOIN APP_Client a ON "
            "a.id = c.indexServerClientId WHERE c.cloudId = ?",
            {DbValue::ofInt(cloudId)}, row) != zydb::DB_OK)
        return false;
    answer.ciValue = row[0].asInt();
    indexServerName = row[1].asText();
    std::vector<int> nodes;
    if (hubdb::threadQueryInts(
            "SELECT clientId FROM DM2CloudNode WHERE cloudId = ? AND enabled <> 0 ORDER BY "
            "nodeOrder",
            {DbValue::ofInt(cloudId)}, nodes) != zydb::DB_OK ||
        nodes.empty())
        return false;
    answer.serverNodes.clear();
    for (int node : nodes) {
        std::vector<DbValue> name;
        if (hubdb::threadQueryFirstRow("SELECT name FROM APP_Client WHERE id = ?", {DbValue::ofInt(node)},
                                       name) == zydb::DB_OK)
            answer.serverNodes.push_back(name[0].asText());
    }
    if (answer.serverNodes.empty()) return false;
    answer.ciServer = answer.serverNodes.front();
    answer.ciCloudId = cloudId;
    return true;
}

bool isEraseKind(int kind) {
    return kind >= 17 && kind <= 19;
}

}  // namespace

bool DetermineOperationType(databrowse::Querylist* queries, int findMode, long clientId, int* opKind,
                            long subclientId, long backupSetId, int ciCloudId, bool doNotFallBackForFilters,
                            databrowse::ForceUseIndexType forcedIndexType, bool imapRequest,
                            std::string& webServerHost, TSuperSearchAnswer& answer) {
    if (!opKind) return false;
    answer = TSuperSearchAnswer();
    if (forcedIndexType == databrowse::FORCE_USE_INDEX_CTREE) return false;
    if (findMode == 0 && !imapRequest && !isEraseKind(*opKind)) {
        *opKind = superSearchKind::kClassicBrowse;
        return true;
    }
    if (findMode == 2 && !imapRequest && !isEraseKind(*opKind)) {
        *opKind = superSearchKind::kClassicFind;
        return true;
    }
    const int cloud = findMode == 4 && ciCloudId > 0 ? ciCloudId : cloudOf(subclientId, backupSetId);
    std::string indexServerName;
    if (cloud <= 0 || !readCloud(cloud, indexServerName, answer)) {
        TSearchLog().debugLvl(
            3, "no content-index cloud serves client [%ld] subclient [%ld] backup set [%ld]%s", clientId,
            subclientId, backupSetId, doNotFallBackForFilters ? " and the filters may not fall back" : "");
        return false;
    }
    if (subclientId > 0) answer.idList.push_back(static_cast<int>(subclientId));
    if (isEraseKind(*opKind)) return true;
    if (imapRequest) {
        *opKind = superSearchKind::kImapSearch;
    } else if (findMode == 4) {
        *opKind = superSearchKind::kContentIndexReport;
        webServerHost = indexServerName;
    } else {
        *opKind = superSearchKind::kContentIndexFind;
        webServerHost = indexServerName;
    }
    (void)queries;
    return true;
}

bool ParseQuery(databrowse::Querylist* queries, long appType, bool externalRequest,
                const std::string& mailboxFilterPath, bool strict, std::string& why) {
    if (!queries) return true;
    auto* list = queries->getlistobject(databrowse::Querylist::f::queries, false);
    if (!list) return true;
    for (CNMessageBase& query : *list) {
        auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, !mailboxFilterPath.empty());
        if (criteria) {
            for (auto it = criteria->begin(); it != criteria->end();) {
                CNMessageBase* value = it->isSet(databrowse::Criteria::f::criteria)
                                           ? it->getObjectAccessor(databrowse::Criteria::f::criteria, false)
                                           : nullptr;
                const auto* values =
                    value ? value->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false)
                          : nullptr;
                const bool good = value &&
                                  value->isSet(databrowse::FilteredBrowseCriteriaValue::f::attribute) &&
                                  values && !values->empty();
                if (good) {
                    ++it;
                    continue;
                }
                if (strict) {
                    why = "a filter of query [" + query.getstring(databrowse::Query::f::queryId) +
                          "] has no attribute or no value";
                    return false;
                }
                TSearchLog().debugLvl(1, "dropping a filter without attribute or value (app type %ld%s)",
                                      appType, externalRequest ? ", content-index search" : "");
                it = criteria->erase(it);
            }
        }
        if (!mailboxFilterPath.empty()) {
            databrowse::FilteredBrowseCriteriaValue value;
            value.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, kCriteriaPathAttribute);
            value.setint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator,
                           kCriteriaOperatorEquals);
            value.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {mailboxFilterPath});
            databrowse::Criteria criterion;
            criterion.setObjectAccessor(value, databrowse::Criteria::f::criteria);
            criteria->insert(criteria->begin(), criterion);
        }
    }
    return true;
}

bool isSyncSubclient(long subclientId, long clientId, bool& syncEnabled, bool& nfsObjectStore) {
    syncEnabled = nfsObjectStore = false;
    if (subclientId <= 0) return true;  // a browse of a whole backup set names no sync subclient
    bool ok = false;
    const bool sync = propertyIsOne("APP_SubClientProp", subclientId, superSearchProps::kSyncEnabled, ok);
    if (!ok) {
        TSearchLog().debugLvl(1, "sync property of subclient [%ld] of client [%ld] cannot be read",
                              subclientId, clientId);
        return false;
    }
    const bool nfs = propertyIsOne("APP_SubClientProp", subclientId, superSearchProps::kNfsObjectStore, ok);
    if (!ok) return false;
    syncEnabled = sync;
    nfsObjectStore = nfs;
    return true;
}

bool getAppSyncGetSearchUserDetails(long subclientId, long& userId, std::string& userName) {
    std::string value;
    if (currentProperty("APP_SubClientProp", subclientId, superSearchProps::kSyncSearchUser, value) !=
        zydb::DB_OK)
        return false;
    const long id = std::atol(value.c_str());
    if (id <= 0) return false;
    std::vector<DbValue> row;
    if (hubdb::threadQueryFirstRow("SELECT name FROM UMUsers WHERE id = ?", {DbValue::ofInt(id)}, row) !=
            zydb::DB_OK ||
        row[0].asText().empty())
        return false;
    userId = id;
    userName = row[0].asText();
    return true;
}

bool getSolrCloudDetails(long backupSetId, std::string& details, std::string& why) {
    std::string value;
    if (backupSetId <= 0 ||
        currentProperty("APP_BackupSetProp", backupSetId, superSearchProps::kContentIndexCloud, value) !=
            zydb::DB_OK ||
        std::atol(value.c_str()) <= 0) {
        why = "backup set [" + std::to_string(backupSetId) + "] names no content-index cloud";
        return false;
    }
    std::vector<DbValue> row;
    if (hubdb::threadQueryFirstRow("SELECT IFNULL(internalCloudName, '') FROM DM2Cloud WHERE cloudId = ?",
                                   {DbValue::ofInt(std::atol(value.c_str()))}, row) != zydb::DB_OK ||
        row[0].asText().empty()) {
        why = "content-index cloud [" + value + "] of backup set [" + std::to_string(backupSetId) +
              "] is unknown or has no internal name";
        return false;
    }
    details = row[0].asText();
    return true;
}
