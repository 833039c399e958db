// The VM entity rules over the demo hypervisor: whether a browse may switch between the hypervisor's
// index (V1) and the VM's own (V2), the switch by the jobs of a time range or a named job, the VM GUIDs
// of paths, and a VM path turned into the VM's own entity.
#include "appbrowse/fbhmvsautils.h"

#include <algorithm>

#include "platform/tasks/evrestoretask.h"
#include "tests/appbrowse/vsademo.h"

namespace {

using E = ZyEntities::GenericEntity::f;

class VsaUtils : public VsaDemo {
protected:
    // A browse of VM `v` (its own client, backup set and instance) over [from, to].
    databrowse::BrowseRequest vmRequest(size_t v, long long from, long long to) {
        databrowse::BrowseRequest request;
        CNMessageBase* e = request.getObjectAccessor(databrowse::BrowseRequest::f::entity, true);
        e->setint64(E::clientId, hv.vms[v].clientId);
        e->setint64(E::backupsetId, hv.vms[v].childBackupSetId);
        e->setint64(E::instanceId, hv.vmInstances[v]);
        e->setint64(E::subclientId, hv.vms[v].subclientId);
        CNMessageBase* range = request.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, true);
        range->setint64(databrowse::BrowseTimeRange::f::fromTime, from);
        range->setint64(databrowse::BrowseTimeRange::f::toTime, to);
        return request;
    }
    static CNMessageBase* settings(databrowse::BrowseRequest& request) {
        return request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
            ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true);
    }
    static long long entityValue(databrowse::BrowseRequest& request, const MsgFieldRef& f) {
        return request.getObjectAccessor(databrowse::BrowseRequest::f::entity, false)->getint64(f);
    }
};

TEST_F(VsaUtils, SwitchIsAllowedUnlessV2IsForcedOrAutodetectIsOff) {
    databrowse::BrowseRequest request = vmRequest(0, 0, 0);
    EXPECT_TRUE(CBrowseVSAUtils::IsV1V2SwitchSupported(request));
    settings(request)->setint64(databrowse::BrowseAdvancedConfig::f::forceProtocol, 2);
    EXPECT_FALSE(CBrowseVSAUtils::IsV1V2SwitchSupported(request));  // even with the parameter at 1
    settings(request)->setint64(databrowse::BrowseAdvancedConfig::f::forceProtocol, 1);
    EXPECT_TRUE(CBrowseVSAUtils::IsV1V2SwitchSupported(request));
    exec(
        "INSERT INTO NBGlobalParam (id, name, value, created, modified) VALUES (9001, "
        "'AutoDetectVSAIndexingVersion', "
        "'0', 0, 0)");
    EXPECT_FALSE(CBrowseVSAUtils::IsV1V2SwitchSupported(request));
}

TEST_F(VsaUtils, SwitchFollowsTheEntityThatIndexedTheNewestJobOfTheRange) {
    // Backups before the switch to V2 were indexed under the hypervisor: the VM's browse moves there.
    EvMultiEntityRestoreTask task;
    databrowse::BrowseRequest v1 = vmRequest(1, hv.backupTimes[0] - 10, hv.backupTimes[1] + 10);
    ASSERT_TRUE(CBrowseVSAUtils::SwitchEntity(&task, v1));
    EXPECT_EQ(entityValue(v1, E::clientId), hv.client);
    EXPECT_EQ(entityValue(v1, E::backupsetId), hv.backupSet);
    EXPECT_EQ(entityValue(v1, E::instanceId), hv.instance);
    EXPECT_EQ(entityValue(v1, E::subclientId), hv.subclient);
    EXPECT_EQ(task.getClientId(), hv.client);
    EXPECT_EQ(task.getBackupSetId(), hv.backupSet);
    EXPECT_EQ(task.getInstanceId(), hv.instance);
    EXPECT_EQ(task.getSubClientId(), hv.subclient);

    // The hypervisor's index holds the VM below its GUID: the browse keeps to the VM there.
    EvMultiEntityRestoreTask pathTask;
    pathTask.addPath(EvRestoreTask::kBrowsePathList, "\\d00");
    databrowse::BrowseRequest withPath = vmRequest(1, hv.backupTimes[0] - 10, hv.backupTimes[1] + 10);
    withPath.getlistobject(databrowse::BrowseRequest::f::paths, true)->emplace_back(databrowse::BrowsePath());
    withPath.getlistobject(databrowse::BrowseRequest::f::paths, false)
        ->front()
        .setstring(databrowse::BrowsePath::f::path, "\\");
    ASSERT_TRUE(CBrowseVSAUtils::SwitchEntity(&pathTask, withPath));
    EXPECT_EQ(withPath.getlistobject(databrowse::BrowseRequest::f::paths, false)
                  ->front()
                  .getstring(databrowse::BrowsePath::f::path),
              "\\" + hv.vms[1].guid);
    EXPECT_EQ(std::string(pathTask.getFirstPath()), "\\" + hv.vms[1].guid + "\\d00");

    // A range whose newest backup the VM indexed itself stays with the VM, whatever came before it.
    EvMultiEntityRestoreTask whole;
    databrowse::BrowseRequest all = vmRequest(1, 0, 0);
    ASSERT_TRUE(CBrowseVSAUtils::SwitchEntity(&whole, all));
    EXPECT_EQ(entityValue(all, E::clientId), hv.vms[1].clientId);

    // Later backups were indexed by the VM itself: the request stays as it is.
    EvMultiEntityRestoreTask untouched;
    databrowse::BrowseRequest v2 = vmRequest(1, hv.indexingV2Since, 0);
    const std::string before = v2.AsString();
    ASSERT_TRUE(CBrowseVSAUtils::SwitchEntity(&untouched, v2));
    EXPECT_EQ(entityValue(v2, E::clientId), hv.vms[1].clientId);
    EXPECT_EQ(untouched.getClientId(), 0);

    // A range without jobs cannot be decided.
    databrowse::BrowseRequest none = vmRequest(1, 1000, 2000);
    EXPECT_FALSE(CBrowseVSAUtils::SwitchEntity(&task, none));
}

TEST_F(VsaUtils, SwitchByNamedJobAndItsLimits) {
    // The hypervisor's first job, named in the job block: the VM's own child of it was indexed (V1)
    // under the hypervisor, whatever the time range says.
    EvMultiEntityRestoreTask task;
    databrowse::BrowseRequest byJob = vmRequest(2, hv.indexingV2Since, 0);
    CNMessageBase* job =
        settings(byJob)->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, true);
    job->setint64(databrowse::Msg11::f::jobId, hv.jobs[0][0]);
    job->setint64(databrowse::Msg11::f::kelmarchId, 2);
    ASSERT_TRUE(CBrowseVSAUtils::SwitchEntity(&task, byJob));
    EXPECT_EQ(entityValue(byJob, E::clientId), hv.client);

    // A job of the V2 period: no switch.
    databrowse::BrowseRequest v2Job = vmRequest(2, 0, 0);
    settings(v2Job)
        ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, true)
        ->setint64(databrowse::Msg11::f::jobId, hv.jobs[3][3]);
    ASSERT_TRUE(CBrowseVSAUtils::SwitchEntity(&task, v2Job));
    EXPECT_EQ(entityValue(v2Job, E::clientId), hv.vms[2].clientId);

    // The hypervisor's own instance is not a VM-level one: nothing to switch.
    databrowse::BrowseRequest hypervisor;
    CNMessageBase* e = hypervisor.getObjectAccessor(databrowse::BrowseRequest::f::entity, true);
    e->setint64(E::clientId, hv.client);
    e->setint64(E::backupsetId, hv.backupSet);
    EXPECT_TRUE(CBrowseVSAUtils::SwitchEntity(&task, hypervisor));
    EXPECT_EQ(e->getint64(E::clientId), hv.client);

    // Without a backup set there is no instance to ask about.
    databrowse::BrowseRequest noBackupSet;
    noBackupSet.getObjectAccessor(databrowse::BrowseRequest::f::entity, true)
        ->setint64(E::clientId, hv.client);
    EXPECT_FALSE(CBrowseVSAUtils::SwitchEntity(&task, noBackupSet));
    int instance = -1;
    EXPECT_TRUE(CBrowseVSAUtils::GetInstanceIdFromBackupSet(0, instance).IsError());
    EXPECT_TRUE(CBrowseVSAUtils::GetInstanceIdFromBackupSet(987654, instance).IsError());
    ASSERT_FALSE(CBrowseVSAUtils::GetInstanceIdFromBackupSet(hv.backupSet, instance).IsError());
    EXPECT_EQ(instance, hv.instance);
}

TEST_F(VsaUtils, GuidsOfPaths) {
    const std::string guid = hv.vms[0].guid;
    // The first component, one leading separator dropped, either separator: whatever text it holds.
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID("\\" + guid + "\\Users\\alice"), guid);
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID(guid), guid);
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID(guid + "\\C"), guid);
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID("/" + guid + "/etc"), guid);
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID("/" + guid + "\\C/Users"), guid);
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID("\\{" + guid + "}"), "{" + guid + "}");
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID("\\{" + guid + "}\\C"), "{" + guid + "}");
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID(""), "");
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID("\\"), "");
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID("\\\\" + guid + "\\C"), "");  // only one separator goes
    EXPECT_EQ(CBrowseVSAUtils::ExtractVMGUID("\\vmalpha\\C"), "vmalpha");
    EXPECT_FALSE(CBrowseVSAUtils::IsVMGUID(CBrowseVSAUtils::ExtractVMGUID("\\vmalpha\\C")));
    EXPECT_FALSE(CBrowseVSAUtils::IsVMGUID(CBrowseVSAUtils::ExtractVMGUID("\\{" + guid + "\\C")));

    // Every path of the task joins what the set held, duplicates once, in GUID order (not the order the
    // VMs were made); a component that is no GUID is there too, for its conversion to refuse.
    EvMultiEntityRestoreTask task;
    std::vector<std::string> made;
    for (const hubdb::VirtualMachine& vm : hv.vms) {
        made.push_back(vm.guid);
        task.addPath(EvRestoreTask::kBrowsePathList, ("\\" + vm.guid + "\\C").c_str());
    }
    task.addPath(EvRestoreTask::kBrowsePathList, ("/" + hv.vms[1].guid).c_str());
    task.addPath(EvRestoreTask::kBrowsePathList, "\\not-a-vm\\C");
    std::set<std::string> guids{"held"};
    CBrowseVSAUtils::ExtractVMGUIDListFromPath(&task, guids);
    std::vector<std::string> expected = made;
    expected.insert(expected.end(), {"held", "not-a-vm"});
    std::sort(expected.begin(), expected.end());
    EXPECT_FALSE(std::is_sorted(made.begin(), made.end()));
    EXPECT_EQ(std::vector<std::string>(guids.begin(), guids.end()), expected);
}

TEST_F(VsaUtils, VmPathBecomesTheVmsOwnEntity) {
    ZyEntities::GenericEntity entity;
    entity.setstring(E::clientName, "kept");
    std::vector<databrowse::BrowsePath> paths(1);
    paths[0].setstring(databrowse::BrowsePath::f::path, "\\" + hv.vms[3].guid + "\\var\\log");
    ASSERT_FALSE(CBrowseVSAUtils::ConvertParentVSAEntityToChild(hv.backupSet, &paths, entity).IsError());
    EXPECT_EQ(entity.getint64(E::clientId), hv.vms[3].clientId);
    EXPECT_EQ(entity.getint64(E::backupsetId), hv.vms[3].childBackupSetId);
    EXPECT_EQ(entity.getint64(E::subclientId), hv.vms[3].subclientId);
    EXPECT_EQ(entity.getint64(E::instanceId), hv.vmInstances[3]);
    EXPECT_EQ(entity.getstring(E::clientName), "kept");

    auto failsWith = [&](CUxError err, const std::string& text) {
        EXPECT_TRUE(err.IsError());
        EXPECT_NE(err.AsString().find(text), std::string::npos) << err.AsString();
    };
    ZyEntities::GenericEntity untouched;
    failsWith(CBrowseVSAUtils::ConvertParentVSAEntityToChild(hv.backupSet, nullptr, untouched),
              "No paths specified in browse request");
    std::vector<databrowse::BrowsePath> none;
    failsWith(CBrowseVSAUtils::ConvertParentVSAEntityToChild(hv.backupSet, &none, untouched),
              "No paths specified in browse request");
    paths.push_back(paths[0]);
    failsWith(CBrowseVSAUtils::ConvertParentVSAEntityToChild(hv.backupSet, &paths, untouched),
              "More than one path specified in browse request");
    // A VM of another backup set, an unknown GUID and text that is no GUID (never sent to the database).
    failsWith(
        CBrowseVSAUtils::ConvertParentVSAEntityToChild(world.vmBackupSet, "\\" + hv.vms[0].guid, untouched),
        "AppGetVMBrowseDetails returned DB error code [100]");
    failsWith(CBrowseVSAUtils::ConvertParentVSAEntityToChild(
                  hv.backupSet, "\\00000000-0000-4000-8000-000000000000\\C", untouched),
              "AppGetVMBrowseDetails returned DB error code [100]");
    failsWith(CBrowseVSAUtils::ConvertParentVSAEntityToChild(hv.backupSet, "\\x' OR '1'='1\\C", untouched),
              "AppGetVMBrowseDetails returned DB error code [100]");
    EXPECT_EQ(untouched.fieldCount(), 0u);
}

}  // namespace
