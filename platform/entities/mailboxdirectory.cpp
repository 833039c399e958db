#include "platform/entities/mailboxdirectory.h"

#include <vector>

#include "platform/db/dbresult.h"
#include "platform/entities/installmanager.h"
#include "platform/hubdb/threadsql.h"
#include "platform/log/evdebug.h"

using zydb::DbValue;

namespace {

void logFailure(const char* what, int rc) {
    EvDebug log(nullptr);
    log.setPrefixMessage("MAILBOXDIR");
    log.debugLvl(0, "ERROR: %s failed with [%d]", what, rc);
}

}  // namespace

bool GetMailboxDetails(long userId, std::string& mailboxGuid, std::string& triplet) {
    return findMailboxDetails(userId, mailboxGuid, triplet) == EMailboxFound::kFound;
}

EMailboxFound findMailboxDetails(long userId, std::string& mailboxGuid, std::string& triplet) {
    if (userId <= 0 && mailboxGuid.empty()) return EMailboxFound::kNone;
    std::vector<DbValue> row;
    const int rc = hubdb::threadQueryFirstRow(
        "SELECT userGuid, IFNULL(exchangeServer, ''), IFNULL(databaseName, ''), IFNULL(aliasName, '') FROM "
        "APP_EmailConfigPolicyAssoc WHERE IFNULL(deleted, 0) = 0 AND ((? > 0 AND ownerId = ?) OR (? <= 0 AND "
        "LOWER(TRIM(userGuid, '{}')) = LOWER(TRIM(?, '{}')))) ORDER BY created DESC, assocId DESC LIMIT 1",
        {DbValue::ofInt(userId), DbValue::ofInt(userId), DbValue::ofInt(userId),
         DbValue::ofText(mailboxGuid)},
        row);
    if (rc != zydb::DB_OK) {
        if (rc == zydb::DB_NO_DATA) return EMailboxFound::kNone;
        logFailure("the mailbox of a user", rc);
        return EMailboxFound::kUnreadable;
    }
    if (mailboxGuid.empty()) mailboxGuid = row[0].asText();
    if (triplet.empty()) {
        const std::string server = row[1].asText(), store = row[2].asText(), alias = row[3].asText();
        if (!server.empty() && !store.empty() && !alias.empty())
            triplet = server + kMailboxTripletSeparator + store + kMailboxTripletSeparator + alias;
    }
    return EMailboxFound::kFound;
}

bool canAccessExchDelegates(int userId, std::string ownMailboxGuid, std::string pathMailboxGuid,
                            std::string folder) {
    if (pathMailboxGuid.empty() || (userId <= 0 && ownMailboxGuid.empty())) return false;
    std::vector<DbValue> row;
    const int rc = hubdb::threadQueryFirstRow(
        "SELECT 1 FROM APP_MailboxDelegate WHERE LOWER(TRIM(mailboxGuid, '{}')) = LOWER(TRIM(?, '{}')) AND "
        "((? > 0 AND delegateUserId = ?) OR (? <= 0 AND LOWER(TRIM(delegateGuid, '{}')) = LOWER(TRIM(?, "
        "'{}')))) "
        "AND (folder = '\\' OR LOWER(folder) = LOWER(?) OR LOWER(SUBSTR(?, 1, LENGTH(folder) + 1)) = "
        "LOWER(folder "
        "|| '\\')) LIMIT 1",
        {DbValue::ofText(pathMailboxGuid), DbValue::ofInt(userId), DbValue::ofInt(userId),
         DbValue::ofInt(userId), DbValue::ofText(ownMailboxGuid), DbValue::ofText(folder),
         DbValue::ofText(folder)},
        row);
    if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) logFailure("the delegations of a mailbox", rc);
    return rc == zydb::DB_OK;
}

bool isClientUpgraded(int /*release*/, int clientId, bool& upgraded, unsigned long& upgradeTime) {
    unsigned long time = 0;
    if (clientId <= 0 ||
        ClientProperties::getClientUpgradeTime(static_cast<unsigned long>(clientId), time, nullptr) != 0)
        return false;
    upgradeTime = time;
    upgraded = time != 0;
    return true;
}
