#include "platform/hubdb/seed_usage.h"

namespace hubdb {

using namespace seedvalues;

int UsageSeed::setMailboxUsage(int subclientId, const std::string& mailboxGuid, long long usedBytes) {
    return checked(m_seed.insertRow(
        "APP_MailboxUsage",
        {{"subclientId", I(subclientId)}, {"mailboxGuid", T(mailboxGuid)}, {"usedBytes", I(usedBytes)}}));
}

int UsageSeed::setSubclientUsage(int subclientId, long long usedBytes) {
    return checked(m_seed.insertRow("APP_SubclientUsage",
                                    {{"subclientId", I(subclientId)}, {"usedBytes", I(usedBytes)}}));
}

int UsageSeed::setBackupSetUsage(int backupSetId, long long usedBytes) {
    return checked(m_seed.insertRow("APP_BackupSetUsage",
                                    {{"backupSetId", I(backupSetId)}, {"usedBytes", I(usedBytes)}}));
}

}  // namespace hubdb
