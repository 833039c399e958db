// A seeded Hubmaster database for the security tests: users with rights at different levels, client
// access, user properties and a registry holding the token key. One fixture per test, on its thread.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/log/evdebug.h"
#include "platform/security/securityseed.h"
#include "tests/platform/db/tempdir.h"

class SecurityDb : public ::testing::Test {
protected:
    // The entity every test browses: client 5, app type 29, instance 1, backup set 9, subclient 11.
    static constexpr long kKelmarch = 2, kClient = 5, kAppType = 29, kInstance = 1, kBackupSet = 9,
                          kSubclient = 11;
    static constexpr const char* kTokenKey = "0123456789abcdef-token-key";

    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
        ASSERT_TRUE(ZYPlatformInfo::setString("~Hubmaster", "sZetaTokenKey", kTokenKey));

        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        hubdb::RowSeed users(seed);
        admin = users.addUser({.name = "The Administrator", .login = "admin"});
        alice = users.addUser({.name = "Alice Liddell", .login = "CORP\\alice", .email = "alice@corp"});
        bob = users.addUser({.login = "bob"});
        carol = users.addUser({.login = "carol"});
        dave = users.addUser({.login = "dave", .enabled = 0});
        erin = users.addUser({.login = std::string(300, 'e')});
        ASSERT_TRUE(users.ok()) << users.error();
        zysec::SecuritySeed s(seed);

        s.grant(admin, zysec::kPermBrowse, {});
        s.grant(admin, zysec::kPermManageHubmaster, {});
        s.grant(alice, zysec::kPermBrowse, {.clientId = kClient});
        s.grant(alice, zysec::kPermDeleteData, {.clientId = kClient, .appTypeId = kAppType});
        s.grant(bob, zysec::kPermEndUserBrowse, {.clientId = kClient});
        s.grant(carol, zysec::kPermBrowse,
                {.clientId = kClient, .backupSetId = kBackupSet, .subclientId = kSubclient});
        s.grant(carol, zysec::kPermLiveBrowse, {.clientId = 6});
        s.grant(dave, zysec::kPermBrowse, {});
        s.allowClientAccess(20, kClient);
        s.allowClientAccess(21, 0);
        s.addUserProperty(bob, "Object ID", "old-object", 100, 200);
        s.addUserProperty(bob, "Object ID", "bob-object-id", 200);
        s.addUserProperty(bob, "User Access Info", "bob-access");
        s.setAppTypeCategory(134, 2);
        s.setAppTypeCategory(54, 7);
        ASSERT_TRUE(s.ok()) << s.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), zydb::DB_OK);
    }

    void TearDown() override {
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }

    TempDir dir;
    int admin = 0, alice = 0, bob = 0, carol = 0, dave = 0, erin = 0;
};
