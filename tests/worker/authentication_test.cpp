// The authentication step over seeded rights on the demo world: refusals with their error and alert,
// entities a user may not browse, end-user confinement, the delete capability, callers through
// "BrowseRouter" without a user name, and VM end-user access on the demo hypervisor.
#include <unistd.h>

#include "planning/confmgr.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/seed_xmlprocs.h"
#include "platform/security/evsecuritymgr.h"
#include "service/controllerthread.h"
#include "tests/worker/checksworld.h"

namespace {

constexpr const char* kDeniedText = "Browse access denied: you are not authorised to browse this data.";

class Authentication : public ChecksWorld {
protected:
    // The request carries an alert-session value; the session GUID starts with it.
    void withAlertSession(long long value) {
        worker->getBrowseReqV2()
            ->getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
            ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
            ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true)
            ->setint64(databrowse::Msg9::f::alertSessionId, value);
    }
    databrowse::EntityWithFilters entity(long clientId, long subclientId = 0) {
        databrowse::EntityWithFilters e;
        CNMessageBase* g = e.getObjectAccessor(databrowse::EntityWithFilters::f::entity, true);
        g->setint64(ZyEntities::GenericEntity::f::clientId, clientId);
        if (subclientId) g->setint64(ZyEntities::GenericEntity::f::subclientId, subclientId);
        return e;
    }
    std::vector<TAlertRecord> browseAlerts() {
        std::vector<TAlertRecord> out;
        for (const auto& a : CAlertStore::snapshot())
            if (a.alertId == 3002) out.push_back(a);
        return out;
    }
};

TEST_F(Authentication, DeniedUserGetsCodeTextAndTheAlertOnlyForItsSession) {
    const int bob = addUser("bob");
    fileTask(bob, "bob");
    task.setbrowseSessionGUID("4711-session");
    withAlertSession(4711);
    int mode = -1;
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, true));
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_PERMISSION);
    EXPECT_STREQ(worker->getErrorMessage(), kDeniedText);
    auto alerts = browseAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].condition, 4);
    EXPECT_EQ(alerts[0].whomId, bob);
    EXPECT_EQ(alerts[0].clientId, world.fileClient);
    EXPECT_EQ(alerts[0].backupsetId, world.fileBackupSet);
    EXPECT_NE(alerts[0].message.find("bob"), std::string::npos) << alerts[0].message;

    // Another session's value, or none: refused without an alert.
    task.setbrowseSessionGUID("4712-session");
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, true));
    task.setbrowseSessionGUID("");
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, true));
    EXPECT_EQ(browseAlerts().size(), 1u);

    // Through the step: the failure is kept for intake's checks, the request is not ended here.
    TRequestAuth auth;
    EXPECT_TRUE(worker->authenticateRequest(&task, auth));
    EXPECT_TRUE(auth.authFailed);
    EXPECT_EQ(auth.authMode, 0);
}

TEST_F(Authentication, DeniedRequestAnswersItsCallerWithCodeAndText) {
    CConfigurationMgr cache;
    CConfigurationMgr* const saved = std::exchange(g_poConfMgr, &cache);
    {
        CControllerThreadHM::TOptions options;
        options.stopEventName = "checks-test-" + std::to_string(getpid());
        CControllerThreadHM controller(options);
        fileTask(addUser("bob"), "bob");
        task.addPath(EvRestoreTask::kBrowsePathList, "/");
        EXPECT_FALSE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    }
    g_poConfMgr = saved;
    auto all = responses();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(responseType(all.back()), 3);
    EXPECT_EQ(firstError(all.back()), std::make_pair(3LL, std::string(kDeniedText)));
}

TEST_F(Authentication, EveryEntityOfTheRequestMustBeCovered) {
    fileTask(world.fileUser, "fileuser");
    task.addEntity(entity(world.fileClient));
    task.addEntity(entity(world.fileClient, world.fileSubclient));
    int mode = 0;
    EXPECT_TRUE(worker->AuthenticateUser(&task, mode, true));
    EXPECT_EQ(mode, 2);
    // One entity the user may not browse refuses the whole request; it does not merely leave.
    task.addEntity(entity(world.otherFileClient));
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, true));
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_PERMISSION);
    EXPECT_EQ(task.getEntityList().size(), 3u);
    // Nor does an allowed entity lift the denial of the task's own.
    task.getEntityList().clear();
    task.setClientId(world.otherFileClient);
    task.setBackupSetId(0);
    task.addEntity(entity(world.fileClient));
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, true));
    EXPECT_EQ(mode, 0);
}

TEST_F(Authentication, EndUserRightsConfineTheRequest) {
    const int carol = addUser("DOM\\carol");
    const int local = addUser("carol");
    withSecurity([&](zysec::SecuritySeed& s) {
        for (int u : {carol, local}) s.grant(u, zysec::kPermEndUserBrowse, {.clientId = world.fileClient});
        s.setAppTypeCategory(world.fileAppType, 2);
        s.addUserProperty(carol, "Object ID", "OID-carol");
    });
    fileTask(carol, "DOM\\carol");
    int mode = 0;
    // The access string cannot be had: a denial, whatever the object id says.
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, false));
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_PERMISSION);

    withSecurity(
        [&](zysec::SecuritySeed& s) { s.addUserProperty(carol, "User Access Info", "ACCESS-carol"); });
    EXPECT_TRUE(worker->AuthenticateUser(&task, mode, false));
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(worker->getUserAccessInfo(), "ACCESS-carol");
    EXPECT_EQ(worker->getUserObjectId(), "OID-carol");

    // A local user is never asked for end-user rights.
    fileTask(local, "carol");
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, true));
    EXPECT_EQ(mode, 0);
}

TEST_F(Authentication, EraseWithoutTheDeleteCapabilityIsRefused) {
    // A user who may browse the client but not erase its data.
    const int dave = addUser("dave");
    withSecurity(
        [&](zysec::SecuritySeed& s) { s.grant(dave, zysec::kPermBrowse, {.clientId = world.fileClient}); });
    fileTask(dave, "dave");
    task.setBrowseOpType(static_cast<databrowse::BrowseOperation>(18));
    int mode = 0;
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, true));
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_PERMISSION);
    EXPECT_STREQ(worker->getErrorMessage(), "You do not have the capability required to delete data.");
    // Rights come first: with an entity he may not browse, he is refused as for any data he may not
    // browse, not told about his capability.
    task.addEntity(entity(world.otherFileClient));
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, true));
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_PERMISSION);
    EXPECT_STREQ(worker->getErrorMessage(),
                 "Browse access denied: you are not authorised to browse this data.");
    EXPECT_EQ(task.getEntityList().size(), 1u);

    withSecurity([&](zysec::SecuritySeed& s) {
        s.grant(dave, zysec::kPermDeleteData, {.clientId = world.fileClient, .appTypeId = world.fileAppType});
    });
    EXPECT_TRUE(worker->CanUserDeleteData(&task));
    // The capability is there; the other client's entity still refuses the request.
    EXPECT_FALSE(worker->AuthenticateUser(&task, mode, true));
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_PERMISSION);
}

TEST_F(Authentication, DirectCallersWithoutUserName) {
    const int caller = world.otherFileClient;
    withSecurity([&](zysec::SecuritySeed& s) { s.allowClientAccess(world.indexServer, world.fileClient); });
    worker->setDirectAPI(true);
    fileTask(0, "");
    auto run = [&](int clientMap, unsigned long callerClient) {
        worker->setCheckClientMap(clientMap);
        task.setCallerClientId(callerClient);
        TRequestAuth auth;
        EXPECT_TRUE(worker->authenticateRequest(&task, auth));
        return std::make_pair(auth.authMode, auth.authFailed);
    };
    // With the client-map check off only trusted peers run without a user: the Hubmaster itself and
    // the configured ones; an anonymous caller or any other client is refused.
    EXPECT_EQ(run(0, 0), std::make_pair(0, true));
    EXPECT_EQ(run(0, ZYClient::hubmasterClientId()), std::make_pair(2, false));
    EXPECT_EQ(run(0, static_cast<unsigned long>(world.indexServer)), std::make_pair(0, true));
    ASSERT_TRUE(
        ZYPlatformInfo::setString(kTrustedPeersSection, kTrustedPeersValue, "client9, demo-index-server"));
    EXPECT_EQ(run(0, static_cast<unsigned long>(world.indexServer)), std::make_pair(2, false));
    ZYPlatformInfo::removeValue(kTrustedPeersSection, kTrustedPeersValue);
    EXPECT_EQ(run(1, static_cast<unsigned long>(world.fileClient)), std::make_pair(2, false));
    EXPECT_EQ(run(1, static_cast<unsigned long>(world.indexServer)), std::make_pair(2, false));
    EXPECT_EQ(run(1, static_cast<unsigned long>(caller)), std::make_pair(0, true));
    EXPECT_EQ(run(1, 0), std::make_pair(0, true));  // an unidentified caller
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_PERMISSION);

    // An erase acts for a user: not on trust, but with a valid token as that token's user.
    task.setBrowseOpType(databrowse::BROWSE_OP_END_USER_ERASE);
    EXPECT_EQ(run(0, 0), std::make_pair(0, true));
    std::string token;
    ASSERT_EQ(EvSecurityMgr::IssueZetaToken(world.fileUser, false, 600, token), 0);
    worker->getBrowseReqV2()->setstring(databrowse::BrowseRequest::f::token, token);
    task.setBrowseOpType(databrowse::BROWSE_OP_BROWSE);
    EXPECT_EQ(run(1, 0), std::make_pair(2, false));
    EXPECT_EQ(task.getUserId(), world.fileUser);
}

TEST_F(Authentication, DirectCallerRuleForStopsAndActingAsAUser) {
    withSecurity([&](zysec::SecuritySeed& s) { s.allowClientAccess(world.indexServer, world.fileClient); });
    TDirectCaller c{.checkClientMap = 0,
                    .act = EDirectCallerAct::kStop,
                    .token = "",
                    .callerClientId = static_cast<unsigned long>(world.indexServer),
                    .clientId = world.fileClient};
    EXPECT_EQ(decideDirectCaller(c).verdict, TDirectCallerDecision::kRefused);  // no trusted peer
    ASSERT_TRUE(ZYPlatformInfo::setString(kTrustedPeersSection, kTrustedPeersValue, "DEMO-INDEX-SERVER"));
    EXPECT_EQ(decideDirectCaller(c).verdict, TDirectCallerDecision::kTrusted);
    ZYPlatformInfo::removeValue(kTrustedPeersSection, kTrustedPeersValue);
    c.callerClientId = ZYClient::hubmasterClientId();
    EXPECT_EQ(decideDirectCaller(c).verdict, TDirectCallerDecision::kTrusted);
    c.callerClientId = static_cast<unsigned long>(world.indexServer);
    ASSERT_TRUE(ZYPlatformInfo::setString(kTrustedPeersSection, kTrustedPeersValue, "demo-index-server"));
    c.act = EDirectCallerAct::kActAsUser;
    EXPECT_EQ(decideDirectCaller(c).verdict, TDirectCallerDecision::kRefused);  // never on trust alone
    c.checkClientMap = 1;
    EXPECT_EQ(decideDirectCaller(c).verdict, TDirectCallerDecision::kCallerAllowed);
    c.clientId = world.otherFileClient;
    c.token = "ZT1.forged.token";
    EXPECT_EQ(decideDirectCaller(c).verdict, TDirectCallerDecision::kRefused);
    ZYPlatformInfo::removeValue(kTrustedPeersSection, kTrustedPeersValue);
}

class VmEndUserAccess : public Authentication {
protected:
    void SetUp() override {
        Authentication::SetUp();
        hv = world.vsa;
        dave = addUser("DOM\\dave");
        withSecurity([&](zysec::SecuritySeed& s) {
            s.grant(dave, zysec::kPermBrowse, {.clientId = hv.vms[0].clientId});
        });
        task.setUserId(dave);
        task.setUserName("DOM\\dave");
        task.setKelmarchId(2);
        task.setClientId(hv.client);
        task.setAppType(apptype::kVirtualServer);
        task.setInstanceId(hv.instance);
        task.setBackupSetId(hv.backupSet);
    }
    bool check(const std::vector<std::string>& paths, std::vector<std::string>* guids = nullptr) {
        task.clearPaths(EvRestoreTask::kBrowsePathList);
        for (const auto& p : paths) task.addPath(EvRestoreTask::kBrowsePathList, p.c_str());
        std::vector<std::string> owned;
        bool ok = worker->handleVSARequest(&task, owned);
        if (guids) *guids = owned;
        return ok;
    }
    hubdb::DemoHypervisor hv;
    int dave = 0;
};

TEST_F(VmEndUserAccess, OnlyTheUsersVmAndEveryPathChecked) {
    const std::string own = "\\" + hv.vms[0].guid;
    const std::string other = "\\" + hv.vms[1].guid;
    EXPECT_TRUE(check({own, own + "\\C\\data"}));
    EXPECT_EQ(browseAlerts().size(), 0u);

    EXPECT_FALSE(check({own, other + "\\C"}));  // a later path names a VM he may not browse
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_PERMISSION);
    EXPECT_STREQ(worker->getErrorMessage(), kDeniedText);
    auto alerts = browseAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].whomId, dave);
    EXPECT_EQ(alerts[0].clientId, hv.client);

    EXPECT_FALSE(check({"\\"}));                                      // the root names no VM
    EXPECT_FALSE(check({"\\00000000-1111-2222-3333-444444444444"}));  // not a known VM
    EXPECT_EQ(browseAlerts().size(), 3u);

    // Through the authentication step: refused, and the request fails at intake's checks.
    task.clearPaths(EvRestoreTask::kBrowsePathList);
    task.addPath(EvRestoreTask::kBrowsePathList, other.c_str());
    TRequestAuth auth;
    EXPECT_TRUE(worker->authenticateRequest(&task, auth));
    EXPECT_TRUE(auth.authFailed);
}

TEST_F(VmEndUserAccess, SwitchListsTheUsersOwnVms) {
    EXPECT_FALSE(worker->isVSAEndUserAccessEnabled());
    {
        hubdb::HubDbSeed seed(world.databasePath);
        hubdb::XmlProcsSeed(seed).addClientOwner(hv.vms[0].clientId, dave);
    }
    std::vector<std::string> guids;
    ASSERT_TRUE(ZYPlatformInfo::setNumber("~Hubmaster", "bVSAEnableEndUserAccess", 1));
    EXPECT_TRUE(worker->isVSAEndUserAccessEnabled());
    EXPECT_TRUE(check({"\\" + hv.vms[0].guid}, &guids));
    EXPECT_EQ(guids, std::vector<std::string>{hv.vms[0].guid});
    // An administrator still gets the list (his own: none).
    task.setUserId(world.adminUser);
    EXPECT_TRUE(check({"\\"}, &guids));
    EXPECT_TRUE(guids.empty());
}

}  // namespace
