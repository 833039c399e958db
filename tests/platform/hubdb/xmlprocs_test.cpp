// The XML-answering procedures through SprocWrapper and their families over one seeded database: the
// entity resolver, the wrapper's header and error handling, and each procedure's answer from the
// tables (owned VMs, farm members, indexing version, live-browse details, checkpoints of time ranges,
// backup sets of archive files).
#include "platform/hubdb/xmlprocs.h"

#include <gtest/gtest.h>

#include "Db/Proc/APPGetLaptopClientList.h"
#include "Db/Proc/AppGetBackupSetGUIDFromAFiles.h"
#include "Db/Proc/AppGetIndexCheckpointForGivenTimeRange.h"
#include "Db/Proc/AppGetIndexingV2Enabled.h"
#include "Db/Proc/AppGetMachineBrowseDetails.h"
#include "Db/Proc/AppGetSharePointMemberServers.h"
#include "Db/Proc/EntityNameToIdConverter.h"
#include "platform/db/cursorwrapper.h"
#include "platform/db/dbenv.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/messageproc.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/hubdb/seed_xmlprocs.h"
#include "platform/msg/msg_classes.h"
#include "tests/platform/db/tempdir.h"

using E = ZyEntities::GenericEntity::f;

namespace {

class XmlProcs : public ::testing::Test {
protected:
    void SetUp() override {
        {
            hubdb::HubDbSeed seed(dir.file("hub.db"));
            ASSERT_TRUE(seed.ok()) << seed.error();
            hubdb::FamiliesBSeed more(seed);
            hubdb::RowSeed rows(seed);
            hubdb::XmlProcsSeed xml(seed);
            ASSERT_TRUE(more.ok() && rows.ok() && xml.ok()) << more.error() << rows.error() << xml.error();
            int ma = seed.addMediaAgent({.name = "ma"});
            int sp = seed.addStoragePolicy("sp", ma);
            client = seed.addClient({.name = "alpha", .hostName = "alpha.example.com"});
            other = seed.addClient({.name = "beta"});
            bs = seed.addBackupSet("bs", "BS-GUID-1");
            sc2 = seed.addSubclient({.clientId = other,
                                     .appTypeId = 29,
                                     .backupSetId = seed.addBackupSet("b2", "BS-GUID-2"),
                                     .name = "one",
                                     .storagePolicyId = sp});
            sc = seed.addSubclient({.clientId = client,
                                    .appTypeId = 29,
                                    .backupSetId = bs,
                                    .instanceId = 4,
                                    .name = "one",
                                    .guid = "SC-GUID-1",
                                    .storagePolicyId = sp});

            // Virtual machines of a hypervisor and a laptop; user 7 owns three clients, user 8 one.
            int hv = seed.addBackupSet("hv", "HV-GUID");
            vm1 = rows.addVirtualMachine(
                {.parentBackupSetId = hv, .name = "vm1", .vmGuid = "VM-GUID-1", .storagePolicyId = sp});
            vm2 = rows.addVirtualMachine(
                {.parentBackupSetId = hv, .name = "vm2", .vmGuid = "VM-GUID-2", .storagePolicyId = sp});
            laptop = seed.addClient({.name = "laptop", .guid = "LAPTOP-GUID"});
            const std::pair<int, int> owners[] = {
                {laptop, 7}, {vm2.clientId, 7}, {vm1.clientId, 7}, {vm2.clientId, 8}};
            for (auto [owned, user] : owners) xml.addClientOwner(owned, user);

            // A farm of three members recorded in this order; the second is the primary one, the third's
            // client is gone.
            farm = seed.addClient({.name = "farm"});
            emptyFarm = seed.addClient({.name = "empty farm"});
            xml.addSharePointMember(farm, other);
            xml.addSharePointMember(farm, client, true);
            xml.addSharePointMember(farm, 999);

            // alpha's backup set has an index database, beta's has none.
            more.addIndexDatabase({.dbName = "db1", .backupSetId = bs});

            // Live browse of alpha: through beta for every user, but user 7 logs on by name without a proxy.
            xml.setLiveBrowseConfig({.clientId = client, .proxyRequired = true, .proxyClientId = other});
            xml.setLiveBrowseConfig({.clientId = client, .userId = 7, .userName = "DOMAIN\\seven"});

            // Index checkpoints: sc at T+100 and T+200; at T+300 the checkpoint and at T+400 its archive
            // file are no longer valid; sc2 at T+150.
            auto checkpoint = [&](int appId, int t, bool fileValid, bool cpValid) {
                int f =
                    seed.addArchFile({.appId = appId, .fileType = 2, .cTime = kT + t, .valid = fileValid});
                int cp = more.addCheckpoint(appId == sc ? bs : 0, f);
                if (!cpValid)
                    seed.exec("UPDATE App_IndexCheckpointInfo SET isValid = 0 WHERE id = ?",
                              {zydb::DbValue::ofInt(cp)});
                return f;
            };
            cp100 = checkpoint(sc, 100, true, true);
            cp200 = checkpoint(sc, 200, true, true);
            checkpoint(sc, 300, true, false);
            checkpoint(sc, 400, false, true);
            cpOther = checkpoint(sc2, 150, true, true);

            // Data files of the three kinds of backup set.
            fileSc = seed.addArchFile({.appId = sc, .cTime = kT});
            fileSc2 = seed.addArchFile({.appId = sc2, .cTime = kT});
            fileVm1 = seed.addArchFile({.appId = vm1.subclientId, .cTime = kT});
            ASSERT_TRUE(seed.ok() && more.ok() && rows.ok() && xml.ok())
                << seed.error() << more.error() << xml.error();
        }
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
        SprocWrapper<EntityNameToIdConverter, EntityNameToIdConverter_t> w("EntityNameToIdConverter",
                                                                           nullptr);
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

    // Runs a procedure read whole through SprocWrapper; its answer is unserialised into `answer`.
    template <class X, class Record>
    int viaWrapper(const CNMessageBase& request, CNMessageBase& answer, std::string* error = nullptr) {
        std::string xml, out;
        EXPECT_EQ(request.serialize(xml), 0);
        SprocWrapper<X, Record> w("test", nullptr);
        if constexpr (std::is_same_v<X, APPGetLaptopClientList>)
            w.getCursor()->setValues(xml.c_str(), "");
        else
            w.getCursor()->setValues(xml.c_str());
        int rc = w.getXMLFromCursor(out, error, false, true);
        if (rc == 0) {
            EXPECT_EQ(answer.unserialize(out), 0) << out;
        }
        return rc;
    }
    // Runs a procedure family with getNextRow: every row's text, and the result that ended the fetch.
    template <class X, class Record>
    std::vector<std::string> viaFamily(const std::string& requestXml, char* Record::*column,
                                       int* rc = nullptr) {
        X proc(nullptr);
        proc.setValues(requestXml.c_str());
        std::vector<std::string> rows;
        int r;
        while ((r = getNextRow(&proc, nullptr, -1, 0)) == zydb::DB_OK)
            rows.emplace_back(proc.getDataPtr()->*column ? proc.getDataPtr()->*column : "");
        if (rc) *rc = r;
        return rows;
    }
    template <class X, class Record>
    std::vector<std::string> viaFamily(const CNMessageBase& request, char* Record::*column,
                                       int* rc = nullptr) {
        std::string xml;
        EXPECT_EQ(request.serialize(xml), 0);
        return viaFamily<X, Record>(xml, column, rc);
    }

    static constexpr int kT = 1700000000;
    TempDir dir;
    int client = 0, other = 0, bs = 0, sc = 0, sc2 = 0, laptop = 0, farm = 0, emptyFarm = 0;
    int cp100 = 0, cp200 = 0, cpOther = 0, fileSc = 0, fileSc2 = 0, fileVm1 = 0;
    hubdb::VirtualMachine vm1, vm2;
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
    e = convert([](CNMessageBase& e) { e.setstring(E::subclientGUID, "sc-guid-1"); });
    EXPECT_EQ(e.getint64(E::subclientId), sc);
    EXPECT_EQ(e.getstring(E::clientName), "alpha");
    EXPECT_EQ(e.getstring(E::subclientName), "one");
    e = convert([](CNMessageBase& e) { e.setstring(E::backupsetGUID, "BS-GUID-1"); });
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

// A caller of this process hands the converter its request as a message beside the text: the message
// that comes back is the request the text answer reads as (the same text when written), and a message
// of another kind beside the text leaves the text to decide.
TEST_F(XmlProcs, ConverterHandedTheMessageAnswersAsThroughItsText) {
    databrowse::BrowseRequest req;
    req.setint64(databrowse::BrowseRequest::f::opType, 2);
    CNMessageBase* entity = req.getObjectAccessor(databrowse::BrowseRequest::f::entity, true);
    entity->setstring(E::clientName, "ALPHA.example.com");
    entity->setstring(E::subclientName, "one");
    std::string xml;
    ASSERT_EQ(req.serialize(xml, false), 0);
    auto run = [&](std::unique_ptr<zydb::CProcObject> beside, std::string& text,
                   std::unique_ptr<zydb::CProcObject>& answer) {
        SprocWrapper<EntityNameToIdConverter, EntityNameToIdConverter_t> w("test", nullptr);
        w.getCursor()->setValues(xml.c_str());
        if (beside) w.getCursor()->bindArgObject(std::move(beside));
        return w.getXMLFromCursor(text, nullptr, false, true, answer);
    };
    std::string viaText, viaMessage, other;
    std::unique_ptr<zydb::CProcObject> none, handed, otherAnswer;
    ASSERT_EQ(run(nullptr, viaText, none), 0);
    ASSERT_EQ(run(hubdb::messageObject(req), viaMessage, handed), 0);
    EXPECT_EQ(viaMessage, viaText);
    std::unique_ptr<databrowse::BrowseRequest> back = hubdb::takeMessage<databrowse::BrowseRequest>(handed);
    ASSERT_TRUE(back);
    databrowse::BrowseRequest read;
    ASSERT_EQ(read.unserialize(viaText), 0);
    std::string backText, readText;
    ASSERT_EQ(back->serialize(backText, false), 0);
    ASSERT_EQ(read.serialize(readText, false), 0);
    EXPECT_EQ(backText, readText);
    CNMessageBase* completed = back->getObjectAccessor(databrowse::BrowseRequest::f::entity, false);
    ASSERT_NE(completed, nullptr);
    EXPECT_EQ(completed->getint64(E::clientId), client);
    EXPECT_EQ(completed->getint64(E::subclientId), sc);

    databrowse::BrowseResponse stranger;
    ASSERT_EQ(run(hubdb::messageObject(stranger), other, otherAnswer), 0);
    EXPECT_EQ(other, viaText);
}

// What a request's converter resolved is kept for the requests after it on the thread while the
// database stays as it was; a client renamed meanwhile is seen by the next request.
TEST_F(XmlProcs, ConverterSeesTheDatabaseAsEachRequestFindsIt) {
    auto clientOf = [&](const char* name) {
        zydb::CRequestReads request;
        ZyEntities::GenericEntity e = convert([&](CNMessageBase& x) { x.setstring(E::clientName, name); });
        return e.isSet(E::clientId) ? e.getint64(E::clientId) : 0;
    };
    EXPECT_EQ(clientOf("gamma"), 0);
    const unsigned long long carried = zydb::requestsThatKeptMemos();
    EXPECT_EQ(clientOf("gamma"), 0);
    EXPECT_EQ(clientOf("beta"), other);
    EXPECT_GT(zydb::requestsThatKeptMemos(), carried);
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        seed.exec("UPDATE APP_Client SET name = 'gamma' WHERE id = ?", {zydb::DbValue::ofInt(other)});
        ASSERT_TRUE(seed.ok()) << seed.error();
    }
    EXPECT_EQ(clientOf("gamma"), other);
}

// The GUIDs of the VMs a user owns, in client-id order; without the VM filter his laptop too.
TEST_F(XmlProcs, LaptopClientListNamesTheUsersOwnMachines) {
    auto listOf = [&](int user, int vmOnly) {
        App::LapTopClientListReq req;
        if (user)
            req.getObjectAccessor(App::LapTopClientListReq::f::user, true)
                ->setint64(ZyEntities::UserEntity::f::userId, user);
        req.setint64(App::LapTopClientListReq::f::listType, 2);
        req.getObjectAccessor(App::LapTopClientListReq::f::filter, true)
            ->setint64(App::LapTopClientListFilter::f::virtualMachinesOnly, vmOnly);
        App::LapTopClientLstResp resp;
        std::vector<std::string> guids;
        std::string error;
        if (viaWrapper<APPGetLaptopClientList, APPGetLaptopClientList_t>(req, resp, &error) != 0)
            return std::vector<std::string>{"error: " + error};
        for (CNMessageBase& entry : *resp.getlistobject(App::LapTopClientLstResp::f::clients, true))
            guids.push_back(entry.getObjectAccessor(App::LapTopClientInfo::f::vm, true)
                                ->getstring(ZyEntities::Msg68::f::GUID));
        return guids;
    };
    EXPECT_EQ(listOf(7, 1), (std::vector<std::string>{"VM-GUID-1", "VM-GUID-2"}));
    EXPECT_EQ(listOf(7, 0), (std::vector<std::string>{"VM-GUID-1", "VM-GUID-2", "LAPTOP-GUID"}));
    EXPECT_EQ(listOf(8, 1), (std::vector<std::string>{"VM-GUID-2"}));
    EXPECT_EQ(listOf(9, 1), (std::vector<std::string>{}));
    auto refused = listOf(0, 1);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find("the request names no user"), std::string::npos) << refused[0];

    // The old path prints the second argument even when it is empty.
    DBtable::b_newDBBase = false;
    APPGetLaptopClientList printed(nullptr);
    printed.setValues("<a/>", "");
    EXPECT_EQ(printed.getValuesClause(), "'<a/>',N''");
}

// The farm's members, the primary one first; a member whose client is gone keeps its id only.
TEST_F(XmlProcs, SharePointMembersOfAFarm) {
    using M = std::vector<std::pair<long long, std::string>>;
    auto membersOf = [&](int farmId, std::string* error = nullptr) {
        App::GetSPMemberServersRequest req;
        req.setint64(App::GetSPMemberServersRequest::f::at2_2, 1);
        CNMessageBase* e = req.getObjectAccessor(App::GetSPMemberServersRequest::f::entity, true);
        e->setint64(E::_type_, 3);
        if (farmId) e->setint64(E::clientId, farmId);
        App::GetSPMemberServersResponse resp;
        M members;
        if (viaWrapper<AppGetSharePointMemberServers, AppGetSharePointMemberServers_t>(req, resp, error) != 0)
            return members;
        // The caller reads the members only when the block and its list are there.
        CNMessageBase* block =
            resp.getObjectAccessor(App::GetSPMemberServersResponse::f::memberServers, false);
        if (!block) return M{{-1, "no member block"}};
        auto* list = block->getlistobject(App::Msg255::f::memberServers, true);
        for (CNMessageBase& m : *list) {
            CNMessageBase* ent = m.getObjectAccessor(App::MemberServer::f::entity, true);
            members.emplace_back(ent->getint64(E::clientId), ent->getstring(E::clientName));
        }
        return members;
    };
    EXPECT_EQ(membersOf(farm), (M{{client, "alpha"}, {other, "beta"}, {999, ""}}));
    EXPECT_EQ(membersOf(emptyFarm), M{});
    std::string error;
    EXPECT_EQ(membersOf(0, &error), M{});
    EXPECT_NE(error.find("the request names no farm client"), std::string::npos) << error;
}

// Indexing v2 where a backup set of the client has an index database; the answer always says which.
TEST_F(XmlProcs, IndexingV2FollowsTheClientsIndexDatabases) {
    auto enabled = [&](int clientId) -> long long {
        App::GetIndexingV2EnabledReq req;
        req.setint64(App::GetIndexingV2EnabledReq::f::clientId, clientId);
        req.setint64(App::GetIndexingV2EnabledReq::f::idxAppType, 200118);
        App::GetIndexingV2EnabledResp resp;
        if (viaWrapper<AppGetIndexingV2Enabled, AppGetIndexingV2Enabled_t>(req, resp) != 0) return -1;
        EXPECT_TRUE(resp.isSet(App::GetIndexingV2EnabledResp::f::indexingV2Enabled));
        return resp.getint64(App::GetIndexingV2EnabledResp::f::indexingV2Enabled);
    };
    EXPECT_EQ(enabled(client), 1);
    EXPECT_EQ(enabled(other), 0);
    EXPECT_EQ(enabled(laptop), 0);
    EXPECT_EQ(enabled(0), -1);
}

// A user's own live-browse row before the row for every user; an unconfigured machine gives no row.
TEST_F(XmlProcs, MachineBrowseDetailsOfAClient) {
    using A = App::ClientLiveBrowseDetails::f;
    auto detailsFor = [&](int clientId, int user, int* rc = nullptr) {
        App::ClientLiveBrowseDetailsReq req;
        req.setint64(App::ClientLiveBrowseDetailsReq::f::clientId, clientId);
        req.setint64(App::ClientLiveBrowseDetailsReq::f::userId, user);
        return viaFamily<AppGetMachineBrowseDetails, AppGetMachineBrowseDetails_t>(
            req, &AppGetMachineBrowseDetails_t::o_xmlstring, rc);
    };
    auto rows = detailsFor(client, 8);
    ASSERT_EQ(rows.size(), 1u);
    App::ClientLiveBrowseDetails d;
    ASSERT_EQ(d.unserialize(rows[0]), 0) << rows[0];
    EXPECT_EQ(d.getint64(A::proxyRequired), 1);
    EXPECT_EQ(d.getstring(A::proxyMachineName), "beta");
    EXPECT_FALSE(d.isSet(A::userName));

    rows = detailsFor(client, 7);
    ASSERT_EQ(rows.size(), 1u);
    App::ClientLiveBrowseDetails own;
    ASSERT_EQ(own.unserialize(rows[0]), 0) << rows[0];
    EXPECT_EQ(own.getint64(A::proxyRequired), 0);
    EXPECT_FALSE(own.isSet(A::proxyMachineName));
    EXPECT_EQ(own.getstring(A::userName), "DOMAIN\\seven");

    int rc = 0;
    EXPECT_TRUE(detailsFor(other, 7, &rc).empty());
    EXPECT_EQ(rc, zydb::DB_NO_DATA);
    EXPECT_TRUE(detailsFor(0, 7, &rc).empty());
    EXPECT_EQ(rc, zydb::DB_ERR_ARGUMENT);
}

// Per range the newest valid checkpoint made within it; subclients in first-seen order.
TEST_F(XmlProcs, CheckpointsOfCrossCycleRanges) {
    using T = databrowse::TimeRangeForEachCycle::f;
    using C = databrowse::CheckPointInfoPerCycle::f;
    using S = databrowse::SubclientInfo::f;
    databrowse::TimeRangeForEachCycleList ranges;
    auto* list = ranges.getlistobject(databrowse::TimeRangeForEachCycleList::f::cycles, true);
    const std::tuple<int, int, int, int> asked[] = {
        {sc, 0, 250, 3}, {sc, 250, 500, 4}, {sc2, 0, 500, 1}, {sc, 50, 150, 2}};
    for (auto [appId, from, to, cycle] : asked) {
        databrowse::TimeRangeForEachCycle r;
        r.setint64(T::appId, appId);
        r.setint64(T::kelmarchId, hubdb::kDefaultKelmarchId);
        r.setint64(T::fromTime, kT + from);
        r.setint64(T::toTime, kT + to);
        r.setint64(T::fullCycleNum, cycle);
        list->push_back(r);
    }
    std::string xml;
    ASSERT_EQ(ranges.serialize(xml), 0);
    AppGetIndexCheckpointForGivenTimeRange cp(nullptr);
    cp.setValues(xml.c_str());
    ASSERT_EQ(getOneRow(&cp, false, -1, 0), 0);
    databrowse::IndexDBInfo info;
    ASSERT_EQ(info.unserialize(cp.getDataPtr()->outXML), 0);

    // (subclient, [(archive file, full cycle, checkpoint time)])
    std::vector<std::pair<long long, std::vector<std::tuple<long long, long long, long long>>>> got;
    for (CNMessageBase& s : *info.getlistobject(databrowse::IndexDBInfo::f::subclients, true)) {
        got.push_back({s.getint64(S::appId), {}});
        for (CNMessageBase& c : *s.getlistobject(S::checkpoints, true)) {
            got.back().second.emplace_back(c.getint64(C::archFileId), c.getint64(C::fullCycleNum),
                                           c.getint64(C::checkpointTime));
            EXPECT_EQ(c.getint64(C::kelmarchId), hubdb::kDefaultKelmarchId);
        }
    }
    using Got = decltype(got);
    EXPECT_EQ(got,
              (Got{{sc, {{cp200, 3, kT + 200}, {cp100, 2, kT + 100}}}, {sc2, {{cpOther, 1, kT + 150}}}}));

    // No ranges: an empty answer; a range without a subclient, or no request at all, is refused.
    databrowse::TimeRangeForEachCycleList none;
    ASSERT_EQ(none.serialize(xml), 0);
    cp.setValues(xml.c_str());
    ASSERT_EQ(getOneRow(&cp, false, -1, 0), 0);
    ASSERT_EQ(info.unserialize(cp.getDataPtr()->outXML), 0);
    EXPECT_TRUE(info.getlistobject(databrowse::IndexDBInfo::f::subclients, true)->empty());
    list->front().clearField(databrowse::TimeRangeForEachCycle::TAG, T::appId.code);
    ASSERT_EQ(ranges.serialize(xml), 0);
    cp.setValues(xml.c_str());
    int rc = getOneRow(&cp, false, -1, 0);
    EXPECT_EQ(rc, zydb::DB_ERR_ARGUMENT);
    EXPECT_NE(std::string(cp.getErrorStr(rc)).find("a time range names no subclient"), std::string::npos);
    cp.setValues("<databrowse_Nonsense");
    EXPECT_EQ(getOneRow(&cp, false, -1, 0), zydb::DB_ERR_ARGUMENT);
}

// The owning backup sets' GUIDs, once each, in the order of the files; unknown files add nothing.
TEST_F(XmlProcs, BackupSetGuidsOfArchiveFiles) {
    Indexing::ArchGetBackupsetGUID req;
    req.setint64(Indexing::ArchGetBackupsetGUID::f::fromIndexList, 0);
    auto* files = req.getlistobject(Indexing::ArchGetBackupsetGUID::f::afiles, true);
    for (int id : {fileVm1, fileSc, 99999, fileSc2, fileSc, cp100}) {
        Indexing::IdxAfile f;
        f.setint64(Indexing::IdxAfile::f::archFileId, id);
        f.setint64(Indexing::IdxAfile::f::kelmarchId, hubdb::kDefaultKelmarchId);
        files->push_back(f);
    }
    int rc = 0;
    auto rows = viaFamily<AppGetBackupSetGUIDFromAFiles, AppGetBackupSetGUIDFromAFiles_t>(
        req, &AppGetBackupSetGUIDFromAFiles_t::outResp, &rc);
    EXPECT_EQ(rc, zydb::DB_NO_DATA);
    ASSERT_EQ(rows.size(), 1u);
    Indexing::ArchGetBackupsetGUIDResp resp;
    ASSERT_EQ(resp.unserialize(rows[0]), 0) << rows[0];
    auto* guids = resp.getliststring(Indexing::ArchGetBackupsetGUIDResp::f::backupsetGUIDs, true);
    std::string vmSetGuid;
    {
        int r = 0;
        auto conn = zydb::CDbEnv::threadConnection(&r);
        std::vector<zydb::DbValue> row;
        std::unique_ptr<zydb::IDbStatement> st;
        ASSERT_EQ(zydb::prepareBound(*conn, "SELECT GUID FROM APP_BackupSetName WHERE id = ?",
                                     {zydb::DbValue::ofInt(vm1.childBackupSetId)}, st),
                  0);
        ASSERT_EQ(st->step(), 0);
        vmSetGuid = std::string(st->columnText(0));
    }
    EXPECT_EQ(*guids, (std::vector<std::string>{vmSetGuid, "BS-GUID-1", "BS-GUID-2"}));

    // A file of another Kelmarch is another file.
    files->clear();
    Indexing::IdxAfile f;
    f.setint64(Indexing::IdxAfile::f::archFileId, fileSc);
    f.setint64(Indexing::IdxAfile::f::kelmarchId, 77);
    files->push_back(f);
    rows = viaFamily<AppGetBackupSetGUIDFromAFiles, AppGetBackupSetGUIDFromAFiles_t>(
        req, &AppGetBackupSetGUIDFromAFiles_t::outResp);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(resp.unserialize(rows[0]), 0);
    auto* none = resp.getliststring(Indexing::ArchGetBackupsetGUIDResp::f::backupsetGUIDs, false);
    EXPECT_TRUE(none == nullptr || none->empty());
}
