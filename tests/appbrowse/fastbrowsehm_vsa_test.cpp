// Live browse over the demo hypervisor: block-level and VM mount descriptions, the switch of a Linux
// media agent to a Windows proxy (or the Hubmaster) with the proxy's version from the release map,
// filled once per process and shared by many threads, and the VM GUID and guest system of a request.
#include "appbrowse/fastbrowsehm_vsa.h"

#include <atomic>
#include <pugixml.hpp>
#include <thread>
#include <vector>

#include "Db/Tbl/archFile.h"
#include "platform/tasks/evrestoretask.h"
#include "tests/appbrowse/vsademo.h"

namespace {

constexpr unsigned int kUnset = 0xdeadbeef;

class VsaLiveBrowse : public VsaDemo {
protected:
    void SetUp() override {
        VsaDemo::SetUp();
        std::string options(1024, '0');
        options[59] = '1';
        liveTask.setextendedOptions(options.c_str());
        ZYPlatformInfo::setNumber("EventManager", "useProxyForLiveBrowse", 1);
    }

    TVSALiveBrowseView view(unsigned long instanceId = 0, unsigned long backupSetId = 0) {
        TVSALiveBrowseView v;
        v.kelmarchId = 2;
        v.clientId = static_cast<unsigned long>(hv.client);
        v.appType = apptype::kVirtualServer;
        v.instanceId = instanceId;
        v.backupSetId = backupSetId;
        v.privateTask = &liveTask;
        v.liveBrowseMediaAgent = "mediaagent1";
        return v;
    }
    std::string mangled(const std::string& client, int port) {
        return client + "*" + client + "*0*" + std::to_string(port);
    }
    // The first data archive file of a subclient.
    static unsigned long firstFileOf(int subclientId) {
        ArchFile f(nullptr);
        f.setTop(1);
        f.setWhere("appId = %d AND fileType = 1", subclientId);
        f.setOrderBy("id");
        return f.getOneRow(&f, false, 0, 0) == 0 ? static_cast<unsigned long>(f.getDataPtr()->id) : 0;
    }
    static pugi::xml_node parsed(pugi::xml_document& doc, const std::string& xml) {
        EXPECT_TRUE(doc.load_string(xml.c_str())) << xml;
        return doc.child("SnapMountXMLParams");
    }

    EvRestoreTask liveTask;
};

TEST_F(VsaLiveBrowse, BlockLevelMountXmlOnlyForBlockLevelFiles) {
    std::string xml = CVSALiveBrowse::getBlockLevelMountXml(false, hv.blockSubclient, hv.blockLevelFile,
                                                            apptype::kIndexBackup, 100, 200, 3, true);
    pugi::xml_document doc;
    pugi::xml_node mount = parsed(doc, xml);
    EXPECT_STREQ(mount.attribute("mountType").value(), "BlockLevel");
    EXPECT_EQ(mount.attribute("archFileId").as_int(), hv.blockLevelFile);
    EXPECT_EQ(mount.attribute("appId").as_int(), hv.blockSubclient);
    EXPECT_STREQ(mount.attribute("clientName").value(), "blockclient1");
    EXPECT_EQ(mount.attribute("fromTime").as_int(), 100);
    EXPECT_EQ(mount.attribute("copyPrecedence").as_int(), 3);
    EXPECT_EQ(mount.attribute("option").as_int(), 1);

    EXPECT_EQ(CVSALiveBrowse::getBlockLevelMountXml(false, hv.blockSubclient, hv.regularFile,
                                                    apptype::kIndexBackup, 0, 0, 0, false),
              "");
    EXPECT_EQ(CVSALiveBrowse::getBlockLevelMountXml(false, hv.blockSubclient, hv.blockLevelFile,
                                                    apptype::kVirtualServer, 0, 0, 0, false),
              "");
    EXPECT_EQ(CVSALiveBrowse::getBlockLevelMountXml(false, hv.blockSubclient, 987654, apptype::kIndexBackup,
                                                    0, 0, 0, false),
              "");
    // A file of another subclient is refused by the application manager.
    EXPECT_EQ(CVSALiveBrowse::getBlockLevelMountXml(false, hv.subclient, hv.blockLevelFile,
                                                    apptype::kIndexBackup, 0, 0, 0, false),
              "");
}

TEST_F(VsaLiveBrowse, VmMountXmlForCandidates) {
    // The hypervisor's instance has a type: a candidate; the override media agent is named.
    const unsigned long hvFile = firstFileOf(hv.subclient);
    pugi::xml_document doc;
    pugi::xml_node mount =
        parsed(doc, CVSALiveBrowse(view(hv.instance)).getVsaMountXml(false, hv.subclient, hvFile, "x"));
    EXPECT_STREQ(mount.attribute("mountType").value(), "VirtualServer");
    EXPECT_EQ(mount.attribute("archFileId").as_ullong(), hvFile);
    EXPECT_STREQ(mount.attribute("mediaAgent").value(), "mediaagent1");

    // A VM indexed on its own (V2): its instance has no type, its parent's has.
    const unsigned long vmFile = firstFileOf(hv.vms[2].subclientId);
    pugi::xml_document vmDoc;
    pugi::xml_node vmMount = parsed(vmDoc, CVSALiveBrowse(view(hv.vmInstances[2], hv.vms[2].childBackupSetId))
                                               .getVsaMountXml(false, hv.vms[2].subclientId, vmFile, ""));
    EXPECT_EQ(vmMount.attribute("appId").as_int(), hv.vms[2].subclientId);
    EXPECT_EQ(std::string(vmMount.attribute("vmGuid").value()), hv.vms[2].guid);

    // Only from the backup set: its first subclient is the hypervisor's.
    EXPECT_NE(CVSALiveBrowse(view(0, hv.backupSet)).getVsaMountXml(false, 0, hvFile, ""), "");
    // No live-browse option, another application type, or nothing to find the instance by.
    liveTask.setextendedOptions(std::string(1024, '0').c_str());
    EXPECT_EQ(CVSALiveBrowse(view(hv.instance)).getVsaMountXml(false, hv.subclient, hvFile, ""), "");
    std::string option61(1024, '0');
    option61[61] = '1';
    liveTask.setextendedOptions(option61.c_str());
    EXPECT_NE(CVSALiveBrowse(view(hv.instance)).getVsaMountXml(false, hv.subclient, hvFile, ""), "");
    TVSALiveBrowseView fileSystem = view(hv.instance);
    fileSystem.appType = apptype::kFileSystem;
    EXPECT_EQ(CVSALiveBrowse(fileSystem).getVsaMountXml(false, hv.subclient, hvFile, ""), "");
    EXPECT_EQ(CVSALiveBrowse(view()).getVsaMountXml(false, 0, hvFile, ""), "");

    EXPECT_TRUE(CVSALiveBrowse::IsVMInstance(hv.vmInstances[0]));
    EXPECT_FALSE(CVSALiveBrowse::IsVMInstance(hv.instance));
}

TEST_F(VsaLiveBrowse, LinuxMediaAgentSwitchesToTheFirstWindowsProxy) {
    std::string ma = mangled("mediaagent1", 8400);
    unsigned int version = kUnset;
    ASSERT_TRUE(CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, ma, &version));
    EXPECT_EQ(ma, mangled("winproxy1", 8431));  // Linux, Windows, Windows: the first Windows one
    EXPECT_EQ(version, static_cast<unsigned int>(hv.newReleaseVersion));
    // By instance alone, and without asking for the version.
    ma = "mediaagent1";
    ASSERT_TRUE(CVSALiveBrowse(view()).switchToVSProxyServer(2, 0, hv.instance, ma, nullptr));
    EXPECT_EQ(ma, mangled("winproxy1", 8431));

    // A Windows media agent stays, and so does any when live browse or the registry value is off.
    std::string windowsMa = mangled("winproxy2", 8432);
    EXPECT_FALSE(
        CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, windowsMa, &version));
    EXPECT_EQ(windowsMa, mangled("winproxy2", 8432));
    ma = "mediaagent1";
    ZYPlatformInfo::setNumber("EventManager", "useProxyForLiveBrowse", 0);
    EXPECT_FALSE(CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, ma, &version));
    ZYPlatformInfo::setNumber("EventManager", "useProxyForLiveBrowse", 1);
    liveTask.setextendedOptions(std::string(1024, '0').c_str());
    EXPECT_FALSE(CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, ma, &version));
    EXPECT_EQ(ma, "mediaagent1");
}

TEST_F(VsaLiveBrowse, HubmasterServesOnlyWithTheVirtualizationPackage) {
    exec("DELETE FROM APP_VSMemberServer WHERE memberClientId <> ?", {zydb::DbValue::ofInt(hv.linuxProxy)});
    std::string ma = "mediaagent1";
    unsigned int version = kUnset;
    EXPECT_FALSE(CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, ma, &version));
    ZYPlatformInfo::setNumber("VirtualServer", "bEnableHMForVSALiveBrowse", 1);
    EXPECT_FALSE(
        CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, ma, &version));  // no list
    ZYPlatformInfo::setString("InstalledPackages", "sPackageList", "1002, 51");
    EXPECT_FALSE(CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, ma, &version));
    EXPECT_EQ(ma, "mediaagent1");
    EXPECT_EQ(version, kUnset);
    ZYPlatformInfo::setString("InstalledPackages", "sPackageList", "1002,713,51");
    ASSERT_TRUE(CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, ma, &version));
    EXPECT_EQ(ma, mangled("hubmaster", 8390));
    EXPECT_EQ(version, static_cast<unsigned int>(hv.newReleaseVersion));
}

TEST_F(VsaLiveBrowse, ReleaseMapIsSharedAndFilledOnce) {
    constexpr int kThreads = 16;
    std::atomic<int> switched{0}, rightVersion{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                std::string ma = "mediaagent1";
                unsigned int version = kUnset;
                if (CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, ma,
                                                                 &version) &&
                    ma == mangled("winproxy1", 8431))
                    ++switched;
                if (version == static_cast<unsigned int>(hv.newReleaseVersion)) ++rightVersion;
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(switched.load(), kThreads * 10);
    EXPECT_EQ(rightVersion.load(), kThreads * 10);

    // A release added later is not in the map: the proxy is used, its version stays unknown.
    exec("INSERT INTO simAllNimbraRel (id, release, buildNum) VALUES (77, '13.0', 1)");
    exec("UPDATE APP_Client SET releaseId = 77 WHERE id = ?", {zydb::DbValue::ofInt(hv.windowsProxy)});
    std::string ma = "mediaagent1";
    unsigned int version = kUnset;
    ASSERT_TRUE(CVSALiveBrowse(view()).switchToVSProxyServer(2, hv.subclient, hv.instance, ma, &version));
    EXPECT_EQ(version, kUnset);
}

TEST_F(VsaLiveBrowse, GuidAndGuestSystemOfTheRequest) {
    const std::string guid = hv.vms[0].guid;
    auto guidOf = [&](std::vector<std::string> paths, std::string& out) {
        databrowse::BrowseRequest request;
        auto* list = request.getlistobject(databrowse::BrowseRequest::f::paths, true);
        for (const std::string& p : paths) {
            databrowse::BrowsePath path;
            path.setstring(databrowse::BrowsePath::f::path, p);
            list->push_back(path);
        }
        TVSALiveBrowseView v = view();
        v.request = &request;
        return CVSALiveBrowse(v).fetchVMGuidFromBrowseReq(out);
    };
    std::string out = "stale";
    EXPECT_TRUE(guidOf({"\\" + guid + "\\C\\Users"}, out));
    EXPECT_EQ(out, guid);
    EXPECT_TRUE(guidOf({"\\\\" + guid + "\\C"}, out));  // a doubled separator
    EXPECT_EQ(out, guid);
    EXPECT_TRUE(guidOf({"/" + guid}, out));
    EXPECT_EQ(out, guid);
    EXPECT_FALSE(guidOf({""}, out));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(guidOf({"\\a", "\\b"}, out));
    EXPECT_FALSE(guidOf({}, out));

    int os = 200;
    EXPECT_TRUE(CVSALiveBrowse::isWindowsVM(out, os));
    os = 1;
    EXPECT_FALSE(CVSALiveBrowse::isWindowsVM(out, os));
    for (size_t v = 0; v < hv.vms.size(); ++v) {
        std::string vmGuid = hv.vms[v].guid;
        os = 0;
        EXPECT_EQ(CVSALiveBrowse::isWindowsVM(vmGuid, os), v == 0 || v == 2) << v;
        EXPECT_EQ(os, hv.vmOsIds[v]);
    }
    // The Hyper-V check: only a Windows guest of a Hyper-V instance from a media agent that is not Windows.
    auto hyperV = [&](size_t vm, bool windowsMa) {
        databrowse::BrowseRequest request;
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "\\" + hv.vms[vm].guid + "\\C");
        request.getlistobject(databrowse::BrowseRequest::f::paths, true)->push_back(path);
        TVSALiveBrowseView v = view();
        v.request = &request;
        unsigned int message = 0;
        bool supported = CVSALiveBrowse(v).isLivebrowseSupportedForHypervVM(hv.instance, windowsMa, message);
        EXPECT_EQ(message, supported ? 0u : 0xe000138u);
        return supported;
    };
    EXPECT_TRUE(hyperV(0, false));  // a VMware instance
    exec(
        "UPDATE APP_InstanceProp SET attrVal = '102' WHERE componentNameId = ? AND attrName = "
        "'Virtual Server Instance Type'",
        {zydb::DbValue::ofInt(hv.instance)});
    EXPECT_FALSE(hyperV(0, false));
    EXPECT_TRUE(hyperV(0, true));
    EXPECT_TRUE(hyperV(1, false));  // a Linux guest

    std::string unknown = "00000000-0000-4000-8000-000000000000";
    os = 0;
    EXPECT_FALSE(CVSALiveBrowse::isWindowsVM(unknown, os));
    EXPECT_EQ(os, 0);
}

}  // namespace
