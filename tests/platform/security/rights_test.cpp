// Rights questions of the security classes over a seeded database: browses allowed and refused at
// each entity level, end-user rights, live browse, management, visibility, the delete capability and
// the caller-client check, and the refusals when a user, a query or the transaction fails.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/entities/zyclient.h"
#include "platform/security/accesscontroller.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/evsecuritynew.h"
#include "platform/security/useraccess.h"
#include "tests/platform/security/securityfixture.h"

namespace {

using Rights = SecurityDb;

TEST_F(Rights, BrowseIsAllowedWhereAGrantCoversTheEntityAndNowhereElse) {
    EvSecurityCheck check(1234);
    // alice: Browse on the whole of client 5.
    EXPECT_TRUE(check.canBrowse(alice, kKelmarch, kClient, 0, 0, 0, 0, false, ""));
    EXPECT_TRUE(
        check.canBrowse(alice, kKelmarch, kClient, kAppType, kInstance, kBackupSet, kSubclient, false, ""));
    EXPECT_FALSE(
        check.canBrowse(alice, kKelmarch, 6, kAppType, kInstance, kBackupSet, kSubclient, false, ""));
    EXPECT_NE(std::strstr(check.getResponseString(), "CORP\\alice"), nullptr) << check.getResponseString();
    EXPECT_NE(std::strstr(check.getResponseString(), "client [6]"), nullptr) << check.getResponseString();

    // carol: Browse on subclient 11 of backup set 9 only.
    EXPECT_TRUE(
        check.canBrowse(carol, kKelmarch, kClient, kAppType, kInstance, kBackupSet, kSubclient, false, ""));
    EXPECT_FALSE(check.canBrowse(carol, kKelmarch, kClient, kAppType, kInstance, kBackupSet, 0, false, ""));
    EXPECT_FALSE(check.canBrowse(carol, kKelmarch, kClient, kAppType, kInstance, kBackupSet, 12, false, ""));
    EXPECT_FALSE(check.canBrowse(carol, kKelmarch, kClient, 0, 0, 0, 0, false, ""));

    // admin: Browse on everything.
    EXPECT_TRUE(check.canBrowse(admin, kKelmarch, 77, 33, 4, 8, 99, false, ""));
    EXPECT_EQ(check.getStatus(), EvSecurityMgr::kAllowed);
}

TEST_F(Rights, EndUserRightsAnswerOnlyTheEndUserQuestion) {
    EvSecurityCheck check(1);
    EXPECT_FALSE(check.canBrowse(bob, kKelmarch, kClient, kAppType, 0, kBackupSet, 0, false, ""));
    EXPECT_TRUE(check.canBrowse(bob, kKelmarch, kClient, kAppType, 0, kBackupSet, 0, true, "secret"));
    // Full rights include the end-user ones.
    EXPECT_TRUE(check.canBrowse(alice, kKelmarch, kClient, kAppType, 0, kBackupSet, 0, true, ""));
    EXPECT_FALSE(check.canBrowse(carol, kKelmarch, kClient, kAppType, 0, kBackupSet, 0, true, ""));
}

TEST_F(Rights, AnswerNeverCarriesOverFromAnEarlierQuestion) {
    EvSecurityCheck check(1);
    ASSERT_TRUE(check.canBrowse(admin, kKelmarch, kClient, 0, 0, 0, 0, false, ""));
    EXPECT_FALSE(check.canBrowse(carol, kKelmarch, 6, 0, 0, 0, 0, false, ""));
    EXPECT_EQ(check.getStatus(), EvSecurityMgr::kDenied);
    EXPECT_FALSE(check.canBrowse(0, kKelmarch, kClient, 0, 0, 0, 0, false, ""));
}

TEST_F(Rights, ARequestIsAnsweredAsOfItsFirstQuestionAndTheNextSeesTheDatabaseAgain) {
    // Asked in the request `reads`, as every caller hands its request's scope to the manager.
    const auto aliceMayBrowse = [&](zydb::CRequestReads& reads) {
        EvSecurityCheck check(1);
        check.setRequestReads(&reads);
        return check.canBrowse(alice, kKelmarch, kClient, 0, 0, 0, 0, false, "");
    };
    const auto takeAlicesBrowseAway = [&] {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_EQ(seed.exec("DELETE FROM SECUserRight WHERE userId = " + std::to_string(alice) +
                            " AND permissionId = " + std::to_string(zysec::kPermBrowse)),
                  zydb::DB_OK);
    };
    {
        zydb::CRequestReads request;
        ASSERT_TRUE(aliceMayBrowse(request));
        takeAlicesBrowseAway();  // committed by another connection while the request runs
        EXPECT_TRUE(aliceMayBrowse(request));
    }
    {
        zydb::CRequestReads request;
        EXPECT_FALSE(aliceMayBrowse(request));
    }
    // What a manager's own transaction wrote answers its own questions and is never remembered: it
    // is rolled back, and the database is unchanged for the next request.
    {
        zydb::CRequestReads request;
        EvSecurityCheck check(1);
        check.setRequestReads(&request);
        ASSERT_EQ(zydb::execBound(
                      *check.getTransaction()->tranConnection(),
                      "INSERT INTO SECUserRight (userId, permissionId, kelmarchId, clientId, appTypeId, "
                      "instanceId, backupSetId, subclientId) VALUES (?, ?, 0, 0, 0, 0, 0, 0)",
                      {zydb::DbValue::ofInt(alice), zydb::DbValue::ofInt(zysec::kPermBrowse)}),
                  zydb::DB_OK);
        EXPECT_TRUE(check.canBrowse(alice, kKelmarch, kClient, 0, 0, 0, 0, false, ""));
    }
    {
        zydb::CRequestReads request;
        EXPECT_FALSE(aliceMayBrowse(request));
    }
}

TEST_F(Rights, RefusalsOfUnknownAndDisabledUsersCarryTheManagersOwnError) {
    EvSecurityCheck check(0x040cLL << 48);
    int code = 0;
    std::string text = "untouched";
    unsigned long messageId = 0;

    EXPECT_FALSE(check.canBrowse(carol, kKelmarch, 6, 0, 0, 0, 0, false, ""));
    EXPECT_FALSE(check.getBrowseErrorStringAndGuiMessageId(code, text, messageId));  // a plain refusal
    EXPECT_EQ(text, "untouched");

    EXPECT_FALSE(check.canBrowse(dave, kKelmarch, kClient, 0, 0, 0, 0, false, ""));  // granted, but disabled
    EXPECT_NE(std::strstr(check.getResponseString(), "disabled"), nullptr);
    ASSERT_TRUE(check.getBrowseErrorStringAndGuiMessageId(code, text, messageId));
    EXPECT_EQ(code, 3);
    EXPECT_EQ(messageId, 0x0e0000bdUL);
    EXPECT_NE(text.find("Accès refusé"), std::string::npos) << text;  // the manager's locale, French

    EXPECT_FALSE(check.canBrowse(4242, kKelmarch, kClient, 0, 0, 0, 0, false, ""));
    EXPECT_TRUE(check.getBrowseErrorStringAndGuiMessageId(code, text, messageId));
    EXPECT_TRUE(check.canBrowse(admin, kKelmarch, kClient, 0, 0, 0, 0, false, ""));
    EXPECT_FALSE(check.getBrowseErrorStringAndGuiMessageId(code, text, messageId));
}

TEST_F(Rights, LiveBrowseManagementAndVisibility) {
    EvSecurityCheck check(1);
    EXPECT_TRUE(check.canPerformLiveBrowse(carol, kKelmarch, 6, 0, 0, 0, 0));
    EXPECT_FALSE(check.canPerformLiveBrowse(carol, kKelmarch, kClient, 0, 0, 0, 0));
    EXPECT_FALSE(
        check.canPerformLiveBrowse(alice, kKelmarch, kClient, 0, 0, 0, 0));  // Browse is not live browse
    EXPECT_TRUE(check.canManageHubmaster(admin, kKelmarch));
    EXPECT_FALSE(check.canManageHubmaster(alice, kKelmarch));

    EvVisibilityCheck visibility(1);
    EXPECT_TRUE(visibility.canSeeSubClient(carol, kClient, kAppType, kInstance, kBackupSet, kSubclient));
    EXPECT_FALSE(visibility.canSeeSubClient(carol, kClient, kAppType, kInstance, kBackupSet, 12));
    EXPECT_TRUE(
        visibility.canSeeSubClient(bob, kClient, kAppType, kInstance, kBackupSet, 12));  // any right counts
    EXPECT_FALSE(visibility.canSeeSubClient(bob, 6, kAppType, kInstance, kBackupSet, 12));
}

TEST_F(Rights, DeleteCapabilityOnClientAndAppType) {
    EvSecurityNew security(nullptr, 0);
    bool allowed = false;
    EXPECT_EQ(
        security.hasPermissionForUserOnEntity(allowed, 219, alice, 3, kClient, 4, kAppType, 0, 0, 0, 0, 0, 0),
        0);
    EXPECT_TRUE(allowed);
    EXPECT_EQ(security.hasPermissionForUserOnEntity(allowed, 219, alice, 3, kClient, 4, 33, 0, 0, 0, 0, 0, 0),
              0);
    EXPECT_FALSE(allowed);
    EXPECT_EQ(
        security.hasPermissionForUserOnEntity(allowed, 219, bob, 3, kClient, 4, kAppType, 0, 0, 0, 0, 0, 0),
        0);
    EXPECT_FALSE(allowed);

    allowed = true;  // a failed question never leaves an earlier "yes"
    EXPECT_NE(security.hasPermissionForUserOnEntity(allowed, 219, alice, 3, kClient, 99, 1, 0, 0, 0, 0, 0, 0),
              0);
    EXPECT_FALSE(allowed);
}

TEST_F(Rights, CallerClientAccess) {
    AccessController access;
    EXPECT_EQ(access.canAccess(kClient, kClient), 1);
    EXPECT_EQ(access.canAccess(20, kClient), 1);
    EXPECT_EQ(access.canAccess(20, 6), 0);
    EXPECT_EQ(access.canAccess(21, 6), 1);  // allowed for every client
    EXPECT_EQ(access.canAccess(22, kClient), 0);
    EXPECT_EQ(access.canAccess(0, kClient), 0);
}

TEST_F(Rights, EndUserCategoriesUserPropertiesAndAccessStrings) {
    EXPECT_EQ(ZyUserAccess::checkAppType(134), 2);
    EXPECT_EQ(ZyUserAccess::checkAppType(54), 7);
    EXPECT_EQ(ZyUserAccess::checkAppType(29), 1000);

    EvSecurityMgr mgr(1);
    std::string value = "untouched";
    EXPECT_TRUE(mgr.GetFromUsersPropDB(bob, "Object ID", value, nullptr));
    EXPECT_EQ(value, "bob-object-id");  // the current version, not the ended one
    value = "untouched";
    EXPECT_FALSE(mgr.GetFromUsersPropDB(alice, "Object ID", value, nullptr));
    EXPECT_EQ(value, "untouched");

    std::string access = "untouched";
    EXPECT_TRUE(EvJobMgr::getUserAccessInfoString(access, "bob", 77));
    EXPECT_EQ(access, "bob-access");
    access = "untouched";
    EXPECT_FALSE(EvJobMgr::getUserAccessInfoString(access, "CORP\\alice", 77));
    EXPECT_EQ(access, "untouched");
}

TEST_F(Rights, EveryQuestionIsRefusedWhenTheDatabaseCannotAnswer) {
    // A query that fails: the rights table is gone.
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_EQ(seed.exec("DROP TABLE SECUserRight"), zydb::DB_OK);
        ASSERT_EQ(seed.exec("DROP TABLE SECClientAccess"), zydb::DB_OK);
    }
    {
        EvSecurityCheck check(1);
        EXPECT_FALSE(check.canBrowse(admin, kKelmarch, kClient, 0, 0, 0, 0, false, ""));
        EXPECT_EQ(check.getStatus(), EvSecurityMgr::kFailed);
        EvSecurityNew security(nullptr, 0);
        bool allowed = true;
        EXPECT_NE(security.hasPermissionForUserOnEntity(allowed, 219, alice, 3, kClient, 4, kAppType, 0, 0, 0,
                                                        0, 0, 0),
                  0);
        EXPECT_FALSE(allowed);
        AccessController access;
        EXPECT_EQ(access.canAccess(20, kClient), -1);
        EXPECT_FALSE(access.getErrorString().empty());
    }
    // No database at all: the managers' transactions cannot be opened.
    zydb::CDbEnv::close();
    EvSecurityCheck check(1);
    EXPECT_FALSE(check.canBrowse(admin, kKelmarch, kClient, 0, 0, 0, 0, false, ""));
    EXPECT_EQ(check.getStatus(), EvSecurityMgr::kFailed);
    int code = 0;
    std::string text;
    unsigned long messageId = 0;
    EXPECT_TRUE(check.getBrowseErrorStringAndGuiMessageId(code, text, messageId));
    EvSecurityNew security(nullptr, 0);
    EXPECT_NE(security.getTranStatus(), 0);
    bool allowed = true;
    EXPECT_NE(
        security.hasPermissionForUserOnEntity(allowed, 219, alice, 3, kClient, 4, kAppType, 0, 0, 0, 0, 0, 0),
        0);
    EXPECT_FALSE(allowed);
}

}  // namespace
