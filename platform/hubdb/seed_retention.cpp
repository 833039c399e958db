#include "platform/hubdb/seed_retention.h"

#include "platform/hubdb/retentionprocs.h"

namespace hubdb {

using namespace seedvalues;

int RetentionSeed::addRetentionRules(int subclientId, const RetentionRulesSeed& rules, long long created) {
    const struct {
        const char* name;
        int value;
    } properties[] = {
        {TRetentionProperty::kItemDeletionDays, rules.itemDeletionDays},
        {TRetentionProperty::kArchivalDays, rules.archivalDays},
        {TRetentionProperty::kSystemDeletionDays, rules.systemDeletionDays},
        {TRetentionProperty::kVersionsModifiedDays, rules.versionsModifiedDays},
        {TRetentionProperty::kNumVersions, rules.numVersions},
        {TRetentionProperty::kKeepDeletedItems, rules.keepDeletedItems ? 1 : 0},
        {TRetentionProperty::kArchiveMode, rules.archiveMode ? 1 : 0},
        {TRetentionProperty::kBackupMode, rules.backupMode ? 1 : 0},
    };
    for (const auto& p : properties) {
        if (p.value == 0) continue;
        if (m_seed.addSubclientProperty(subclientId, p.name, std::to_string(p.value), created) < 0)
            return fail(std::string("retention property ") + p.name);
    }
    return 0;
}

int RetentionSeed::addReferenceCopy(int subclientId, int days, int daysType, long long created) {
    if (m_seed.addSubclientProperty(subclientId, "Reference Copy Subclient", "1", created) < 0 ||
        m_seed.addSubclientProperty(subclientId, "Item Past Expiry Days", std::to_string(days), created) <
            0 ||
        m_seed.addSubclientProperty(subclientId, "Item Past Expiry Days Type", std::to_string(daysType),
                                    created) < 0)
        return fail("reference-copy properties");
    return 0;
}

int RetentionSeed::addExchangeRetentionTag(const std::string& tagId, int value) {
    const long long id = m_seed.insertRow(
        "DM2DocTagsValues",
        {{"TagID", T(tagId)}, {"containerGuid", T(kExchangeRetentionTagContainer)}, {"TagValue", I(value)}});
    return id < 0 ? fail("Exchange retention tag") : 0;
}

}  // namespace hubdb
