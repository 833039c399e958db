#include "platform/hubdb/retentionprocs.h"

#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"
#include "platform/hubdb/tagprocframe.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

using Req = App::GetSubClientRetentionPropsReq;
using Resp = App::GetSubClientRetentionPropsResp;

constexpr long long kSecondsPerDay = 86400;

// How one property becomes one answer field.
enum class TRuleKind { Number, Switch, DaysToCutOff };

struct TRetentionRule {
    const char* property;
    MsgFieldRef field;
    TRuleKind kind;
    bool v1Only;
};

const TRetentionRule kRules[] = {
    {TRetentionProperty::kSystemDeletionDays, Resp::f::SystemDeletionTimeCutOff, TRuleKind::DaysToCutOff,
     true},
    {TRetentionProperty::kNumVersions, Resp::f::numVersions, TRuleKind::Number, false},
    {TRetentionProperty::kKeepDeletedItems, Resp::f::keepDeletedItems, TRuleKind::Switch, false},
    {TRetentionProperty::kBackupMode, Resp::f::isBackupMode, TRuleKind::Switch, false},
    {TRetentionProperty::kItemDeletionDays, Resp::f::itemDeletionTimeCutOff, TRuleKind::DaysToCutOff, false},
    {TRetentionProperty::kArchiveMode, Resp::f::isArchiveMode, TRuleKind::Switch, false},
    {TRetentionProperty::kArchivalDays, Resp::f::archivalTimeCutOff, TRuleKind::DaysToCutOff, false},
    {TRetentionProperty::kVersionsModifiedDays, Resp::f::numVersionsModifiedDays, TRuleKind::Number, false},
    {TRetentionProperty::kVersionsModifiedDays, Resp::f::numVersionsModifiedTimeCutOff,
     TRuleKind::DaysToCutOff, false},
    {TRetentionProperty::kExtraRule1, Resp::f::at19_19, TRuleKind::Number, false},
    {TRetentionProperty::kExtraRule2, Resp::f::at20_20, TRuleKind::Number, false},
    {TRetentionProperty::kExtraRule3, Resp::f::at21_21, TRuleKind::Number, false},
};

constexpr const char* kCurrentSubclientProperty =
    "SELECT attrVal FROM APP_SubClientProp WHERE componentNameId = ? AND attrName = ? AND modified = 0 "
    "ORDER BY id DESC LIMIT 1";

}  // namespace

int getSubClientRetentionPropsTagProc(const std::string& requestXml, std::string& responseXml,
                                      void* context) {
    return runTagProcedure<Req, Resp>(
        "GetSubClientRetentionProps", requestXml, responseXml, context,
        [](zydb::IDbConnection& conn, Req& request, Resp& answer, std::string& why) {
            const long long subclient = request.getint64(Req::f::subclientId);
            std::vector<DbValue> row;
            int rc = queryFirstRow(conn, "SELECT id FROM APP_Application WHERE id = ?",
                                   {DbValue::ofInt(subclient)}, row);
            if (rc == zydb::DB_NO_DATA) {
                why = "no subclient has the id [" + std::to_string(subclient) + "]";
                return static_cast<int>(zydb::DB_ERR_ARGUMENT);
            }
            if (rc != zydb::DB_OK) return rc;
            long long inputTime = request.getint64(Req::f::cutOffInputTime);
            if (inputTime <= 0) inputTime = nowSeconds();
            const bool v2 = request.getint64(Req::f::isIndexingV2) != 0;
            for (const TRetentionRule& rule : kRules) {
                if (rule.v1Only && v2) continue;
                rc = queryFirstRow(conn, kCurrentSubclientProperty,
                                   {DbValue::ofInt(subclient), DbValue::ofText(rule.property)}, row);
                if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return rc;
                const long long value = rc == zydb::DB_OK ? row[0].asInt() : 0;
                long long answerValue = value;
                if (rule.kind == TRuleKind::Switch) answerValue = value != 0 ? 1 : 0;
                if (rule.kind == TRuleKind::DaysToCutOff)
                    answerValue = value > 0 && inputTime > value * kSecondsPerDay
                                      ? inputTime - value * kSecondsPerDay
                                      : 0;
                answer.setint64(rule.field, answerValue);
            }
            return static_cast<int>(zydb::DB_OK);
        });
}

}  // namespace hubdb
