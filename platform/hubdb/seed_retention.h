// RetentionSeed: seed-builder rows of browse by retention: a subclient's retention rules (the subclient
// properties the retention procedure reads), its reference-copy expiry settings, and the Exchange
// retention tags. One object per seed, on the seed's thread.
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"

namespace hubdb {

// The GUID of the document-tag container that holds the Exchange retention tags.
constexpr const char* kExchangeRetentionTagContainer = "26A29909-9168-405C-B989-92A8EE243D35";

// Day counts and switches of one subclient (0: not set).
struct RetentionRulesSeed {
    int itemDeletionDays = 0;
    int archivalDays = 0;
    int systemDeletionDays = 0;
    int versionsModifiedDays = 0;
    int numVersions = 0;
    bool keepDeletedItems = false;
    bool archiveMode = false;
    bool backupMode = false;
};

class RetentionSeed : public SeedPart {
public:
    explicit RetentionSeed(HubDbSeed& seed) : SeedPart(seed) {}

    // The rules of `subclientId` from `created` on; 0 or -1.
    int addRetentionRules(int subclientId, const RetentionRulesSeed& rules, long long created = 0);
    // Marks a reference-copy subclient whose items are kept `days` past expiry, counted by `daysType`
    // (1 by modification, 2 by backup time); 0 or -1.
    int addReferenceCopy(int subclientId, int days, int daysType, long long created = 0);
    // One Exchange retention tag; 0 or -1.
    int addExchangeRetentionTag(const std::string& tagId, int value);
};

}  // namespace hubdb
