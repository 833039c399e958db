// The XML-answering procedures through SprocWrapper and their families: the entity resolver over a
// seeded database, the wrapper's header and error handling, and the answers of the procedures whose
// data this database does not record.
#include <gtest/gtest.h>

#include "Db/Proc/APPGetLaptopClientList.h"
#include "Db/Proc/AppGetIndexCheckpointForGivenTimeRange.h"
#include "Db/Proc/AppGetIndexingV2Enabled.h"
#include "Db/Proc/EntityNameToIdConverter.h"
#include "platform/db/cursorwrapper.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/xmlprocs.h"
#include "platform/msg/msg_classes.h"
#include "tests/platform/db/tempdir.h"

using E = ZyEntities::GenericEntity::f;

namespace {

class XmlProcs : public ::testing::Test {
protected:
    void SetUp() override {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        int ma = seed.addMediaAgent({.name = "ma"});
        int sp = seed.addStoragePolicy("sp", ma);
        client = seed.addClient({.name = "alpha", .hostName = "alpha.example.com"});
        other = seed.addClient({.name = "beta"});
        bs = seed.addBackupSet("bs", "BS-GUID-1");
        seed.addSubclient({.clientId = other, .appTypeId = 29, .backupSetId = seed.addBackupSet("b2"), .name = "one",
                           .storagePolicyId = sp});
        sc = seed.addSubclient({.clientId = client, .appTypeId = 29, .backupSetId = bs, .instanceId = 4, .name = "one",
                                .guid = "SC-GUID-1", .storagePolicyId = sp});
        ASSERT_TRUE(seed.ok()) << seed.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), 0);
    }
    void TearDown() override {
        DBtable::b_newDBBase = true;
        zydb::CDbEnv::close();
    }

    // Runs the converter on a request whose entity `fill` sets; the completed entity comes back.
    template <class F>
    ZyEntities::GenericEntity convert(F fill, std::string* rawXml = nullptr) {
        databrowse::BrowseRequest req;
        req.setint64(databrowse::BrowseRequest::f::opType, 2);
        fill(*req.getObjectAccessor(databrowse::BrowseRequest::f::entity, true));
        std::string xml;
        EXPECT_EQ(req.serialize(xml), 0);
        SprocWrapper<EntityNameToIdConverter, EntityNameToIdConverter_t> w("EntityNameToIdConverter", nullptr);
        w.getCursor()->setValues(xml.c_str());
        std::string out, error;
        EXPECT_EQ(w.getXMLFromCursor(out, &error, false, true), 0) << error;
        if (rawXml) *rawXml = out;
        databrowse::BrowseRequest done;
        EXPECT_EQ(done.unserialize(out), 0) << out;
        EXPECT_EQ(done.getint64(databrowse::BrowseRequest::f::opType), 2);  // the rest travels unchanged
        ZyEntities::GenericEntity e;
        if (CNMessageBase* got = done.getObjectAccessor(databrowse::BrowseRequest::f::entity, false))
            static_cast<CNMessageBase&>(e) = *got;
        return e;
    }

    TempDir dir;
    int client = 0, other = 0, bs = 0, sc = 0;
};

}  // namespace

TEST_F(XmlProcs, EntityNamesBecomeIdentifiers) {
    std::string raw;
    auto e = convert(
        [](CNMessageBase& e) {
            e.setstring(E::clientName, "ALPHA");
            e.setstring(E::subclientName, "One");
        },
        &raw);
    EXPECT_EQ(raw.rfind("<?xml version='1.0' encoding='utf-8' ?>", 0), 0u);
    EXPECT_EQ(e.getint64(E::clientId), client);
    EXPECT_EQ(e.getint64(E::subclientId), sc);  // the client's "one", not beta's
    EXPECT_EQ(e.getint64(E::backupsetId), bs);
    EXPECT_EQ(e.getint64(E::instanceId), 4);
    EXPECT_EQ(e.getint64(E::applicationId), 29);

    // By GUIDs, and names filled back from ids.
    e = convert([](CNMessageBase& e) { e.setstring(E::c_489314, "sc-guid-1"); });
    EXPECT_EQ(e.getint64(E::subclientId), sc);
    EXPECT_EQ(e.getstring(E::clientName), "alpha");
    EXPECT_EQ(e.getstring(E::subclientName), "one");
    e = convert([](CNMessageBase& e) { e.setstring(E::c_b035e9, "BS-GUID-1"); });
    EXPECT_EQ(e.getint64(E::backupsetId), bs);
    EXPECT_EQ(e.getint64(E::clientId), client);
    e = convert([](CNMessageBase& e) { e.setstring(E::clientName, "alpha.example.com"); });
    EXPECT_EQ(e.getint64(E::clientId), client);

    // Unknown and hostile names resolve to nothing and change nothing.
    e = convert([](CNMessageBase& e) { e.setstring(E::clientName, "x' OR '1'='1"); });
    EXPECT_EQ(e.getint64(E::clientId), 0);
    EXPECT_EQ(e.getstring(E::clientName), "x' OR '1'='1");
}

TEST_F(XmlProcs, WrapperHeadersErrorsAndEmptyAnswers) {
    databrowse::BrowseRequest req;
    req.getObjectAccessor(databrowse::BrowseRequest::f::entity, true)->setint64(E::clientId, client);
    std::string xml;
    ASSERT_EQ(req.serialize(xml), 0);
    {
        SprocWrapper<EntityNameToIdConverter, EntityNameToIdConverter_t> w("test", nullptr);
        EXPECT_STREQ(w.getKind(), "SProcedure");
        w.getCursor()->setValues(xml.c_str());
        std::string out;
        ASSERT_EQ(w.getXMLFromCursor(out, nullptr, true, true), 0);
        EXPECT_EQ(out.rfind("<?xml version='1.1' encoding='utf-8' ?><", 0), 0u);
        ASSERT_EQ(w.getXMLFromCursor(out, nullptr, false, false), 0);
        EXPECT_EQ(out.rfind("<databrowse_BrowseRequest", 0) == 0 || out[0] == '<', true);
        EXPECT_NE(out.find("alpha"), std::string::npos);
        EXPECT_FALSE(w.isOpen());
    }
    {
        // A request that is not one: -1, the text kept in the wrapper even without an error string.
        SprocWrapper<EntityNameToIdConverter, EntityNameToIdConverter_t> w("test", nullptr);
        w.getCursor()->setValues("<notARequest/>");
        std::string out = "untouched";
        EXPECT_EQ(w.getXMLFromCursor(out, nullptr, false, true), -1);
        EXPECT_EQ(out, "untouched");
        EXPECT_NE(w.getErrorText().find("databrowse::BrowseRequest"), std::string::npos) << w.getErrorText();
        std::string error;
        EXPECT_EQ(w.getXMLFromCursor(out, &error, false, true), -1);
        EXPECT_EQ(error, w.getErrorText());
        EXPECT_EQ(w.closeCursor(&error), 0);  // never marked open: nothing to close
    }
    {
        // An answer of no rows is success and leaves the text as it was.
        zydb::CProcRegistry::add("AppGetIndexingV2Enabled", [](zydb::CProcCall&) { return 0; });
        SprocWrapper<AppGetIndexingV2Enabled, AppGetIndexingV2Enabled_t> w("handleOneDriveRequest", nullptr);
        w.getCursor()->setValues("<x/>");
        std::string out = "before";
        EXPECT_EQ(w.getXMLFromCursor(out, nullptr, false, true), 0);
        EXPECT_EQ(out, "before");
        hubdb::registerHubProcedures();
    }
}

TEST_F(XmlProcs, ProceduresWithNothingRecordedAnswerEmptyMessages) {
    App::LapTopClientListReq req;
    std::string xml;
    ASSERT_EQ(req.serialize(xml), 0);
    SprocWrapper<APPGetLaptopClientList, APPGetLaptopClientList_t> w("handleVSARequest", nullptr);
    w.getCursor()->setValues(xml.c_str(), "");
    std::string out;
    ASSERT_EQ(w.getXMLFromCursor(out, nullptr, false, true), 0);
    App::LapTopClientLstResp resp;
    ASSERT_EQ(resp.unserialize(out), 0) << out;
    auto* clients = resp.getlistobject(App::LapTopClientLstResp::f::clients, false);
    EXPECT_TRUE(clients == nullptr || clients->empty());

    DBtable::b_newDBBase = false;
    APPGetLaptopClientList printed(nullptr);
    printed.setValues("<a/>", "");
    EXPECT_EQ(printed.getValuesClause(), "'<a/>',N''");
    DBtable::b_newDBBase = true;

    databrowse::TimeRangeForEachCycleList ranges;
    ASSERT_EQ(ranges.serialize(xml), 0);
    AppGetIndexCheckpointForGivenTimeRange cp(nullptr);
    cp.setValues(xml.c_str());
    ASSERT_EQ(getOneRow(&cp, false, -1, 0), 0);
    ASSERT_NE(cp.getDataPtr()->outXML, nullptr);
    databrowse::IndexDBInfo info;
    EXPECT_EQ(info.unserialize(cp.getDataPtr()->outXML), 0);
    cp.setValues("<databrowse_Nonsense");
    int rc = getOneRow(&cp, false, -1, 0);
    EXPECT_EQ(rc, zydb::DB_ERR_ARGUMENT) << cp.getErrorStr(rc);
}
