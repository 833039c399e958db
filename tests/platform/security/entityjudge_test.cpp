// The judge of a request's entity (platform/entities/recordedkind.h) with the rights question it puts
// first (EvVisibilityCheck::canSeeClient), over a seeded database: who may see a client (a right on it
// or on anything of it), and that every entity error is the one refusal of data a caller may not
// browse to one who may not see the client named, and what is wrong to one who may.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/recordedkind.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/log/evdebug.h"
#include "platform/msg/msg_enums.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/securityseed.h"
#include "tests/platform/db/tempdir.h"

// Each case names only what it names: the entity's other members keep their "none".
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

class EntityJudge : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        files = seed.addClient({.name = "files"});
        mail = seed.addClient({.name = "mail"});
        hypervisor = seed.addClient({.name = "hypervisor"});
        vm = seed.addClient({.name = "vm"});
        const int filesSet = seed.addBackupSet("filesSet");
        mailSet = seed.addBackupSet("mailSet", "0BADF00D-0000-4000-8000-000000000001");
        const int hypervisorSet = seed.addBackupSet("hypervisorSet"), vmSet = seed.addBackupSet("vmSet");
        fileSubclient = seed.addSubclient({.clientId = files, .appTypeId = 29, .backupSetId = filesSet});
        mailbox = seed.addSubclient({.clientId = mail, .appTypeId = 54, .backupSetId = mailSet});
        seed.addSubclient({.clientId = mail, .appTypeId = 137, .backupSetId = mailSet});  // also "default"
        seed.addSubclient({.clientId = mail, .appTypeId = 56, .backupSetId = mailSet, .name = "legacy"});
        seed.addSubclient({.clientId = hypervisor, .appTypeId = 106, .backupSetId = hypervisorSet});
        seed.linkVirtualMachine(vm, hypervisorSet, vmSet);
        hubdb::RowSeed users(seed);
        everyone = users.addUser({.login = "everyone"});
        filer = users.addUser({.login = "filer"});
        mailUser = users.addUser({.login = "CORP\\mailuser"});
        vmOwner = users.addUser({.login = "vmowner"});
        nobody = users.addUser({.login = "nobody"});
        zysec::SecuritySeed s(seed);
        s.grant(everyone, zysec::kPermEndUserBrowse, {});
        s.grant(filer, zysec::kPermBrowse, {.clientId = files});
        s.grant(mailUser, zysec::kPermEndUserBrowse, {.appTypeId = 54});  // every client's mailboxes
        s.grant(vmOwner, zysec::kPermBrowse, {.clientId = vm});
        ASSERT_TRUE(seed.ok() && users.ok() && s.ok()) << seed.error() << users.error() << s.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), zydb::DB_OK);
    }
    void TearDown() override {
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }

    bool sees(int user, long client) { return EvVisibilityCheck(0).canSeeClient(user, client); }
    TEntityVerdict judge(int user, const TNamedEntity& named) {
        TEntityKind kind;
        return judgeNamedEntity(
            nullptr, named, [&](long client) { return sees(user, client); }, kind, 0);
    }

    TempDir dir;
    int files = 0, mail = 0, hypervisor = 0, vm = 0, mailSet = 0, fileSubclient = 0, mailbox = 0;
    int everyone = 0, filer = 0, mailUser = 0, vmOwner = 0, nobody = 0;
};

TEST_F(EntityJudge, AClientIsSeenByARightOnItOrOnAnythingOfIt) {
    for (long client : {files, mail, hypervisor, 0, 999}) {
        EXPECT_TRUE(sees(everyone, client)) << client;
    }
    EXPECT_TRUE(sees(filer, files));
    EXPECT_FALSE(sees(filer, mail));
    EXPECT_FALSE(sees(filer, 0)) << "a client nobody knows is seen only with a right on every client";
    // A right on every client's mailboxes covers the clients that hold mailboxes.
    EXPECT_TRUE(sees(mailUser, mail));
    EXPECT_FALSE(sees(mailUser, files));
    // A right on a virtual machine covers the hypervisor whose backup set protects it.
    EXPECT_TRUE(sees(vmOwner, vm));
    EXPECT_TRUE(sees(vmOwner, hypervisor));
    EXPECT_FALSE(sees(vmOwner, files));
    for (long client : {files, mail, hypervisor, vm, 0}) {
        EXPECT_FALSE(sees(nobody, client)) << client;
    }
    EXPECT_FALSE(sees(0, files)) << "no user";
}

TEST_F(EntityJudge, AnEntityErrorTellsNothingToOneWhoMayNotSeeItsClient) {
    // Each names the mail client (or a client nobody knows) and something that is not so.
    const std::vector<std::pair<TNamedEntity, std::string>> wrong = {
        {{.clientName = "nosuch", .subclientId = mailbox}, "does not name a known client [nosuch]"},
        {{.clientName = "mail", .subclientId = 987654}, "names subclient [987654], which is not known"},
        {{.clientName = "mail", .subclientId = fileSubclient}, "is not a subclient of client [mail]"},
        {{.clientName = "mail", .subclientId = mailbox, .claimedAppType = 29}, "not type 29"},
        {{.clientName = "mail", .subclientName = "nosuch"}, "names subclient [nosuch], which is not known"},
        {{.clientName = "mail", .subclientName = "default"}, "several subclients of client [mail]"},
        {{.clientName = "mail", .subclientId = mailbox, .subclientName = "legacy"}, "is not named [legacy]"},
        {{.clientName = "mail", .backupSetGuid = "0BADF00D-0000-4000-8000-00000000FFFF"}, "is not known"},
        {{.clientName = "mail",
          .backupSetId = mailSet,
          .backupSetGuid = "0BADF00D-0000-4000-8000-00000000FFFF"},
         "is not backup set"},
        {{.clientName = "mail", .claimedAppType = 29}, "holds no file systems"},
    };
    std::set<std::string> toNobody;
    for (const auto& [named, words] : wrong) {
        const TEntityVerdict refused = judge(nobody, named);
        EXPECT_FALSE(refused.settled) << words;
        EXPECT_EQ(refused.code, databrowse::BROWSE_ERR_PERMISSION) << words;
        EXPECT_NE(refused.description.find(words), std::string::npos) << refused.description;
        toNobody.insert(refused.refusal);
        // One who may see the client is told what is wrong.
        const TEntityVerdict told = judge(everyone, named);
        EXPECT_FALSE(told.settled) << words;
        EXPECT_EQ(told.code, databrowse::BROWSE_ERR_GENERIC) << words;
        EXPECT_NE(told.refusal.find(words), std::string::npos) << told.refusal;
    }
    // The same refusal whatever is wrong, and the same as for data that exists and he may not browse.
    EXPECT_EQ(toNobody, std::set<std::string>{notAuthorisedText(0)});
    // A right on the client alone decides: the file user is told what is wrong of his client only.
    EXPECT_EQ(judge(filer, {.clientName = "files", .subclientId = 987654}).code,
              databrowse::BROWSE_ERR_GENERIC);
    EXPECT_EQ(judge(filer, {.clientName = "mail", .subclientId = 987654}).code,
              databrowse::BROWSE_ERR_PERMISSION);
    // What is so is settled on the record, whoever asks (rights are judged afterwards).
    TEntityKind kind;
    const TEntityVerdict settled = judgeNamedEntity(
        nullptr, {.clientId = mail, .subclientId = mailbox, .claimedAppType = 54}, [](long) { return false; },
        kind, 0);
    EXPECT_TRUE(settled.settled);
    EXPECT_EQ(kind.clientId, mail);
    EXPECT_EQ(kind.backupSetId, mailSet);
    EXPECT_EQ(apptype::code(kind.appType), 54);
    EXPECT_EQ(settled.namedClientId, mail);
}

TEST_F(EntityJudge, IdsOutOfRangeAreRefusedBeforeAnythingIsRead) {
    EXPECT_NE(entityids::outOfRange("application type", -54), "");
    EXPECT_NE(entityids::outOfRange("application type", (int64_t{1} << 32) + 54), "");
    EXPECT_EQ(entityids::outOfRange("application type", -1), "");
    EXPECT_EQ(entityids::outOfRange("instance id", entityids::kNoInstance, entityids::kNoInstance), "");
    ZyEntities::GenericEntity entity;
    entity.setint64(ZyEntities::GenericEntity::f::subclientId, 0xFFFFFFFF);
    entityids::keepEverySubclient(&entity);
    EXPECT_EQ(entity.getint64(ZyEntities::GenericEntity::f::subclientId), -1)
        << "every subclient, sent unsigned";
    EXPECT_EQ(entityids::outOfRange(&entity), "");
    entity.setint64(ZyEntities::GenericEntity::f::applicationId, -54);
    EXPECT_EQ(entityids::outOfRange(&entity), "The browse request's application type [-54] is out of range");
}

}  // namespace
