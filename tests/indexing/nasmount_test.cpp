// NAS live browse of an indexing-V2 request with the test plug-in loaded: every subclient with a
// snapshot archive file gets its mount parameters; a subclient without one, or a plug-in that fails,
// costs only that subclient's entry. Its own program, since the plug-in is loaded once per process.
#include <cstdlib>

#include "tests/indexing/indexingworld.h"

namespace {

using indexingtest::IndexingWorld;

class NasMounts : public IndexingWorld {
protected:
    void TearDown() override {
        unsetenv("HUB_TEST_NAS_RESULT");
        IndexingWorld::TearDown();
    }
    // The subclients whose mount parameters the request carries.
    std::vector<int64_t> mounted() {
        std::vector<int64_t> ids;
        CNMessageBase* advanced =
            worker->getBrowseReqV2()->getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true);
        CNMessageBase* client = advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
                                    ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::at5_5, true)
                                    ->getObjectAccessor(databrowse::Msg38::f::at3_3, true);
        CNMessageBase* mount = client->getObjectAccessor(databrowse::Msg35::f::nasMount, false);
        auto* list = mount ? mount->getlistobject(databrowse::NASMountXml::f::at5_5, false) : nullptr;
        for (const CNMessageBase& m : list ? *list : std::vector<CNMessageBase>{}) {
            ids.push_back(m.getint64(databrowse::NASMountXmlForSubclient::f::appId));
            EXPECT_NE(m.getstring(databrowse::NASMountXmlForSubclient::f::mountXml).find("mode=\"2\""),
                      std::string::npos);
        }
        return ids;
    }
    void nasWorker() {
        makeWorker();
        worker->getInputData()->appType = 13;
        worker->getInputData()->optionBits = 0x200;
    }
};

TEST_F(NasMounts, OnlySubclientsWithASnapshotAndAWorkingPluginGetMountParameters) {
    backupSetIndex("idxA");
    seed->addBackup(subclients[0], 1, indexingtest::kT0, 2);
    seed->addBackup(subclients[1], 1, indexingtest::kT0, 2);
    open();

    nasWorker();
    ASSERT_EQ(worker->populateIndexingInfo(false, true), 0) << worker->getErrorMessage();
    EXPECT_EQ(subclientIds().size(), 3u);
    EXPECT_EQ(mounted(), (std::vector<int64_t>{subclients[0], subclients[1]}));
    EXPECT_NE(worker->getBrowseTask()->getDataPtr()->snapAfileId, 0u);

    // Archive files whose ids do not fit 32 bits are refused (the browse fails), never cut to another
    // file's id and mounted.
    seed->addBackup(subclients[2], 1, indexingtest::kT0, 1);
    const zydb::DbValue wide = zydb::DbValue::ofInt(1LL << 32), third = zydb::DbValue::ofInt(subclients[2]);
    ASSERT_EQ(seed->exec("UPDATE archFileCopy SET archFileId = archFileId + ? WHERE archFileId IN (SELECT id "
                         "FROM archFile WHERE appId = ?)",
                         {wide, third}),
              0);
    ASSERT_EQ(seed->exec("UPDATE archFile SET id = id + ? WHERE appId = ?", {wide, third}), 0);
    nasWorker();
    EXPECT_EQ(worker->populateIndexingInfo(false, true), -1);
    EXPECT_EQ(mounted(), (std::vector<int64_t>{}));
    ASSERT_EQ(seed->exec("DELETE FROM archFile WHERE appId = ?", {third}), 0);

    setenv("HUB_TEST_NAS_RESULT", "1", 1);
    nasWorker();
    ASSERT_EQ(worker->populateIndexingInfo(false, true), 0) << worker->getErrorMessage();
    EXPECT_EQ(subclientIds().size(), 3u);
    EXPECT_TRUE(mounted().empty());
}

// A classic NAS browse of a subclient without a snapshot: the failed look-up ends it with the no-snapshot
// message, never an archive file 0xFFFFFFFF handed to the plug-in and kept for the media agent.
TEST_F(NasMounts, ClassicBrowseWithoutASnapshotStops) {
    backupSetIndex("idxA");
    open();
    nasWorker();
    worker->getInputData()->subclientId = static_cast<uint32_t>(subclients[0]);
    bool databaseAnswer = true;
    const CStepResult result = worker->runNasLiveBrowsePlugin(false, databaseAnswer);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(worker->getBrowseTask()->getDataPtr()->snapAfileId, 0u);
    EXPECT_FALSE(result.text().empty());
}

}  // namespace
