// The transaction rules of the security managers against real SQLite transactions, tokens issued and
// checked (tampered, expired, of the wrong kind, of a disabled user), user look-ups that never
// overflow the caller's buffer, and the alert record and store.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "Db/Tbl/UMUsers.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/entities/propertystore.h"
#include "platform/hubdb/securitytables.h"
#include "platform/security/evalertex.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/evsecuritynew.h"
#include "platform/security/zetatoken.h"
#include "tests/platform/security/securityfixture.h"

namespace {

using Managers = SecurityDb;

// The current "Marker" property of user `userId` as another connection sees it ("" when none).
std::string committedMarker(int userId) {
    std::string value;
    zyent::readProperty<UMUsersProp>(nullptr, userId, "Marker", value);
    return value;
}

TEST_F(Managers, SecurityManagerRollsBackWhatItsTransactionHeldAndNeverCommits) {
    EXPECT_EQ(EvSecurityMgr(0x0000123456789abcLL).getLocaleId(), 0);
    {
        EvSecurityMgr mgr(0x0409000000000042LL);
        EXPECT_EQ(mgr.getLocaleId(), 0x0409);
        ASSERT_TRUE(mgr.getTransaction()->getState() & DBtable::kStateTranOpen);
        ASSERT_EQ(zyent::writeProperty<UMUsersProp>(mgr.getTransaction(), alice, "Marker", 0, "inside", 1000),
                  zydb::DB_OK);
        std::string seen;
        ASSERT_EQ(zyent::readProperty<UMUsersProp>(mgr.getTransaction(), alice, "Marker", seen), zydb::DB_OK);
        EXPECT_EQ(seen, "inside");
        EXPECT_EQ(committedMarker(alice), "");  // not visible outside the transaction
    }
    EXPECT_EQ(committedMarker(alice), "");  // rolled back by the destructor
}

TEST_F(Managers, PermissionCheckCommitsOnlyATransactionOfItsOwn) {
    {
        EvSecurityNew own(nullptr, 0);
        ASSERT_EQ(own.getTranStatus(), 0);
        ASSERT_NE(own.getTransaction(), nullptr);
        ASSERT_EQ(zyent::writeProperty<UMUsersProp>(own.getTransaction(), alice, "Marker", 0, "own", 1000),
                  zydb::DB_OK);
        bool allowed = false;
        EXPECT_EQ(
            own.hasPermissionForUserOnEntity(allowed, 219, alice, 3, kClient, 4, kAppType, 0, 0, 0, 0, 0, 0),
            0);
        EXPECT_TRUE(allowed);
        EXPECT_EQ(committedMarker(alice), "");
    }
    EXPECT_EQ(committedMarker(alice), "own");  // its own transaction was committed

    DBtran caller(false);
    ASSERT_EQ(caller.startTran(), zydb::DB_OK);
    {
        EvSecurityNew borrowed(&caller, 0);
        EXPECT_EQ(borrowed.getTransaction(), &caller);
        ASSERT_EQ(zyent::writeProperty<UMUsersProp>(&caller, bob, "Marker", 0, "caller", 1000), zydb::DB_OK);
        bool allowed = true;
        EXPECT_EQ(borrowed.hasPermissionForUserOnEntity(allowed, 219, bob, 3, kClient, 4, kAppType, 0, 0, 0,
                                                        0, 0, 0),
                  0);
        EXPECT_FALSE(allowed);
    }
    EXPECT_TRUE(caller.isOpen());  // left alone
    EXPECT_EQ(committedMarker(bob), "");
    ASSERT_EQ(caller.rollbackTran(), zydb::DB_OK);
    EXPECT_EQ(committedMarker(bob), "");
}

class Tokens : public SecurityDb {
protected:
    std::string issue(int user, bool session, long long lifetime = 3600) {
        std::string token;
        EXPECT_EQ(EvSecurityMgr::IssueZetaToken(user, session, lifetime, token), 0);
        return token;
    }

    // One token call's result and outputs; the outputs start as markers that a refusal must keep.
    struct Answer {
        int rc = -1;
        int userId = -7;
        std::string name = "n", domain = "d", fullName = "f";
        bool untouched() const { return userId == -7 && name == "n" && domain == "d" && fullName == "f"; }
    };
    static Answer userInfo(EvSecurityMgr& mgr, const std::string& token) {
        Answer a;
        a.rc = mgr.GetUserInfoFromZetaTokenWithoutAuthentication(token, true, a.userId, a.name, a.domain,
                                                                 a.fullName);
        return a;
    }
    static Answer sessionInfo(EvSecurityMgr& mgr, const std::string& token) {
        Answer a;
        a.rc = mgr.GetSessionInfoFromZetaToken(token, true, a.userId, a.name, a.domain, a.fullName);
        return a;
    }
};

TEST_F(Tokens, UserTokenNamesItsUser) {
    std::string token = issue(alice, false);
    EvSecurityMgr mgr(0);
    Answer a = userInfo(mgr, token);
    ASSERT_EQ(a.rc, 1);
    EXPECT_EQ(a.userId, alice);
    EXPECT_EQ(a.name, "CORP\\alice");
    EXPECT_EQ(a.domain, "CORP");
    EXPECT_EQ(a.fullName, "Alice Liddell");
    // A user token is not a session token.
    a = sessionInfo(mgr, token);
    EXPECT_EQ(a.rc, 0);
    EXPECT_TRUE(a.untouched());
}

TEST_F(Tokens, SessionTokenNeedsItsLiveSession) {
    std::string token = issue(bob, true);
    EvSecurityMgr mgr(0);
    EXPECT_TRUE(userInfo(mgr, token).untouched());
    Answer a = sessionInfo(mgr, token);
    ASSERT_EQ(a.rc, 1);
    EXPECT_EQ(a.userId, bob);
    EXPECT_EQ(a.name, "bob");
    EXPECT_EQ(a.domain, "");
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_EQ(seed.exec("DELETE FROM SECTokenSession"), zydb::DB_OK);
    }
    EvSecurityMgr later(0);
    a = sessionInfo(later, token);
    EXPECT_EQ(a.rc, 0);
    EXPECT_TRUE(a.untouched());
}

// A token is taken until its lifetime on the manager's clock is over and refused from then on, a
// session token with its live session.
TEST_F(Tokens, ClockExpiryTokensAreRefusedAtTheirExpiryNotBefore) {
    using namespace std::chrono_literals;
    CHubManualClock clock;
    std::string user, session;
    ASSERT_EQ(EvSecurityMgr::IssueZetaToken(alice, false, 600, user, clock), 0);
    ASSERT_EQ(EvSecurityMgr::IssueZetaToken(bob, true, 600, session, clock), 0);
    clock.advance(599s);
    {
        EvSecurityMgr mgr(0, clock);
        EXPECT_EQ(userInfo(mgr, user).rc, 1);
        EXPECT_EQ(sessionInfo(mgr, session).rc, 1);
    }
    clock.advance(1s);
    EvSecurityMgr mgr(0, clock);
    EXPECT_TRUE(userInfo(mgr, user).untouched());
    EXPECT_TRUE(sessionInfo(mgr, session).untouched());
}

// A token's user is read once in the request its managers are given, and read again by the first request
// after the database changed: a user disabled since is refused then.
TEST_F(Tokens, ARequestReadsATokensUserOnceAndTheNextSeesTheDatabaseAgain) {
    const std::string user = issue(alice, false), session = issue(alice, true);
    const auto setEnabled = [&](int enabled) {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_EQ(seed.exec("UPDATE UMUsers SET enabled = " + std::to_string(enabled) +
                            " WHERE id = " + std::to_string(alice)),
                  zydb::DB_OK);
    };
    {
        zydb::CRequestReads request;
        EvSecurityMgr first(0);
        first.setRequestReads(&request);
        ASSERT_EQ(userInfo(first, user).rc, 1);
        setEnabled(0);  // committed by another connection while the request runs
        EvSecurityMgr second(0);
        second.setRequestReads(&request);
        const Answer a = sessionInfo(second, session);
        EXPECT_EQ(a.rc, 1);
        EXPECT_EQ(a.name, "CORP\\alice");
        EXPECT_EQ(a.fullName, "Alice Liddell");
    }
    for (const std::string& token : {user, session}) {
        zydb::CRequestReads request;
        EvSecurityMgr mgr(0);
        mgr.setRequestReads(&request);
        EXPECT_TRUE(userInfo(mgr, token).untouched());
        EXPECT_TRUE(sessionInfo(mgr, token).untouched());
    }
    setEnabled(1);
    zydb::CRequestReads request;
    EvSecurityMgr mgr(0);
    mgr.setRequestReads(&request);
    EXPECT_EQ(userInfo(mgr, user).rc, 1);
}

TEST_F(Tokens, TamperedExpiredAndForeignTokensAreRefused) {
    std::string token = issue(carol, false);
    EvSecurityMgr mgr(0);
    ASSERT_EQ(userInfo(mgr, token).rc, 1);
    auto refused = [&](const std::string& t) {
        Answer a = userInfo(mgr, t);
        return a.rc == 0 && a.untouched();
    };

    // One changed character anywhere: in the payload (another user id would be the attack) or the MAC.
    for (size_t pos : {size_t(5), token.size() / 2, token.size() - 2}) {
        std::string bad = token;
        bad[pos] = bad[pos] == 'A' ? 'B' : 'A';
        EXPECT_TRUE(refused(bad)) << pos;
    }
    EXPECT_TRUE(refused(token.substr(0, token.size() - 1)));
    EXPECT_TRUE(refused(""));
    EXPECT_TRUE(refused("ZT1.."));
    EXPECT_TRUE(refused(std::string(10000, 'A')));

    // Signed with another key.
    TZetaTokenClaims claims;
    claims.userId = carol;
    claims.issuedAt = std::time(nullptr);
    claims.expiresAt = claims.issuedAt + 3600;
    std::string foreign;
    ASSERT_EQ(CZetaToken::issue("another-key-of-sixteen", claims, foreign), CZetaToken::kValid);
    EXPECT_TRUE(refused(foreign));

    // Expired: signed with the right key, but its time is over.
    claims.issuedAt = std::time(nullptr) - 7200;
    claims.expiresAt = claims.issuedAt + 60;
    std::string old;
    ASSERT_EQ(CZetaToken::issue(kTokenKey, claims, old), CZetaToken::kValid);
    EXPECT_TRUE(refused(old));
}

TEST_F(Tokens, TokensOfDisabledUsersAndWithoutAKeyAreRefused) {
    std::string token;
    EXPECT_NE(EvSecurityMgr::IssueZetaToken(dave, false, 3600, token), 0);  // disabled
    EXPECT_NE(EvSecurityMgr::IssueZetaToken(4242, false, 3600, token), 0);  // no such user
    EXPECT_TRUE(token.empty());

    TZetaTokenClaims claims;
    claims.userId = dave;
    claims.issuedAt = std::time(nullptr);
    claims.expiresAt = claims.issuedAt + 3600;
    ASSERT_EQ(CZetaToken::issue(kTokenKey, claims, token), CZetaToken::kValid);
    EvSecurityMgr mgr(0);
    EXPECT_TRUE(userInfo(mgr, token).untouched());

    std::string good = issue(alice, false);
    ASSERT_TRUE(ZYPlatformInfo::removeValue("~Hubmaster", "sZetaTokenKey"));
    EXPECT_TRUE(userInfo(mgr, good).untouched());
    EXPECT_NE(EvSecurityMgr::IssueZetaToken(alice, false, 3600, token), 0);
    ASSERT_TRUE(ZYPlatformInfo::setString("~Hubmaster", "sZetaTokenKey", "short"));
    EXPECT_NE(EvSecurityMgr::IssueZetaToken(alice, false, 3600, token), 0);
}

TEST(ZetaToken, ClaimsRoundTripAndEveryTokenIsUnique) {
    const std::string key = "a-key-of-at-least-16";
    TZetaTokenClaims claims;
    claims.kind = CZetaToken::kSessionToken;
    claims.userId = 42;
    claims.issuedAt = 1000;
    claims.expiresAt = 2000;
    std::string a, b;
    ASSERT_EQ(CZetaToken::issue(key, claims, a), CZetaToken::kValid);
    ASSERT_EQ(CZetaToken::issue(key, claims, b), CZetaToken::kValid);
    EXPECT_NE(a, b);
    TZetaTokenClaims read;
    ASSERT_EQ(CZetaToken::verify(key, a, 1500, read), CZetaToken::kValid);
    EXPECT_EQ(read.kind, CZetaToken::kSessionToken);
    EXPECT_EQ(read.userId, 42);
    EXPECT_EQ(read.expiresAt, 2000);
    EXPECT_EQ(CZetaToken::verify(key, a, 2000, read), CZetaToken::kExpired);
    EXPECT_EQ(CZetaToken::verify(key, a, 500, read), CZetaToken::kNotYetValid);
    claims.userId = 0;
    EXPECT_EQ(CZetaToken::issue(key, claims, a), CZetaToken::kBadArgument);
    EXPECT_EQ(CZetaToken::issue("short", claims, a), CZetaToken::kNoKey);
}

using Users = SecurityDb;

TEST_F(Users, LoginNameIsCopiedOnlyWhenItFitsTheCallersBuffer) {
    EvExternal external(0);
    char buffer[32 + 8];
    std::memset(buffer, '#', sizeof buffer);
    std::string fullName, email;
    ASSERT_EQ(external.getUserLogin(alice, buffer, 32, &fullName, &email), 0);
    EXPECT_STREQ(buffer, "CORP\\alice");
    EXPECT_EQ(fullName, "Alice Liddell");
    EXPECT_EQ(email, "alice@corp");

    // erin's login is 300 characters: refused whole, never cut, nothing written past the buffer.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(external.getUserLogin(erin, buffer, 32, nullptr, nullptr), -2);
    EXPECT_EQ(buffer[0], '\0');
    for (size_t k = 32; k < sizeof buffer; ++k) EXPECT_EQ(buffer[k], '#');

    char exact[6];  // "admin" and its NUL
    EXPECT_EQ(external.getUserLogin(admin, exact, sizeof exact, nullptr, nullptr), 0);
    EXPECT_STREQ(exact, "admin");
    char tooSmall[5];
    EXPECT_EQ(external.getUserLogin(admin, tooSmall, sizeof tooSmall, nullptr, nullptr), -2);

    char big[1025] = {};
    EXPECT_EQ(external.getUserLogin(erin, big, sizeof big, nullptr, nullptr), 0);
    EXPECT_EQ(std::strlen(big), 300u);

    std::string login;
    ASSERT_EQ(external.getUserLogin(erin, login), 0);
    EXPECT_EQ(login, std::string(300, 'e'));
    EXPECT_EQ(external.getUserLogin(4242, login), zydb::DB_NO_DATA);
    EXPECT_EQ(external.getUserLogin(4242, big, sizeof big, nullptr, nullptr), zydb::DB_NO_DATA);
    EXPECT_EQ(big[0], '\0');
}

TEST(Alerts, SettersKeepWhatTheAlertRecordHolds) {
    EvAlertEx alert;
    alert.setAlert(3002, "ignored name");
    alert.setCondition(4);
    alert.setKelmarchId(2, nullptr);
    alert.setClientId(5, nullptr);
    alert.setInstanceId(1, "inst");
    alert.setappTypeId(29, nullptr);
    alert.setBackupsetId(9, "bs");
    alert.setWhomId(17, "whom");
    EXPECT_EQ(alert.fmtMsgString("\n%s\n", "User [bob] may not browse"), 27);
    const TAlertRecord& r = alert.record();
    EXPECT_EQ(r.alertId, 3002);
    EXPECT_EQ(r.condition, 4);
    EXPECT_EQ(r.clientId, 5);
    EXPECT_EQ(r.clientName, "");
    EXPECT_EQ(r.instanceName, "inst");
    EXPECT_EQ(r.backupsetName, "bs");
    EXPECT_EQ(r.whomId, 17);
    EXPECT_EQ(r.message, "\nUser [bob] may not browse\n");

    std::string longText(10000, 'x');
    EXPECT_EQ(alert.fmtMsgString("%s", longText.c_str()), 10000);
    EXPECT_EQ(alert.record().message.size(), 10000u);

    alert.Clear();
    EXPECT_EQ(alert.record().alertId, 0);
    EXPECT_EQ(alert.record().clientId, 0);
    EXPECT_EQ(alert.record().instanceName, "");
    EXPECT_EQ(alert.record().message, "");
}

TEST(Alerts, SentAlertsAreRecordedWithTheirFields) {
    CAlertStore::clear();
    const unsigned long long before = CAlertStore::totalSent();
    {
        EvAlertEx alert;
        alert.setAlert(3002, nullptr);
        alert.setCondition(4);
        alert.setKelmarchId(2, nullptr);
        alert.setClientId(5, nullptr);
        alert.setInstanceId(1, nullptr);
        alert.setappTypeId(29, nullptr);
        alert.setBackupsetId(9, nullptr);
        alert.setWhomId(17, nullptr);
        alert.fmtMsgString("\n%s\n", "refused");
        EXPECT_EQ(alert.sendAlert(0, 0, 0), 0);
    }
    EvAlertEx empty;
    EXPECT_EQ(empty.sendAlert(0, 0, 0), -1);  // no alert id: nothing to raise

    std::vector<TAlertRecord> alerts = CAlertStore::snapshot();
    ASSERT_EQ(alerts.size(), 1u);
    const TAlertRecord& a = alerts[0];
    EXPECT_EQ(a.alertId, 3002);
    EXPECT_EQ(a.condition, 4);
    EXPECT_EQ(a.kelmarchId, 2);
    EXPECT_EQ(a.clientId, 5);
    EXPECT_EQ(a.instanceId, 1);
    EXPECT_EQ(a.appTypeId, 29);
    EXPECT_EQ(a.backupsetId, 9);
    EXPECT_EQ(a.whomId, 17);
    EXPECT_EQ(a.message, "\nrefused\n");
    EXPECT_GT(a.raisedAt, 0);
    EXPECT_EQ(a.sequence, before + 1);
    EXPECT_EQ(CAlertStore::totalSent(), before + 1);
}

TEST(Alerts, StoreKeepsTheNewestAlerts) {
    CAlertStore::clear();
    EvAlertEx alert;
    for (size_t k = 0; k < CAlertStore::kCapacity + 5; ++k) {
        alert.setAlert(static_cast<long>(k + 1), nullptr);
        ASSERT_EQ(alert.sendAlert(0, 0, 0), 0);
    }
    std::vector<TAlertRecord> alerts = CAlertStore::snapshot();
    ASSERT_EQ(alerts.size(), CAlertStore::kCapacity);
    EXPECT_EQ(alerts.front().alertId, 6);
    EXPECT_EQ(alerts.back().alertId, static_cast<long>(CAlertStore::kCapacity + 5));
}

}  // namespace
