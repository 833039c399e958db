// Index-backup client management over a seeded world with a media agent in each state: for each
// action the database asks for, the pseudo-clients, subclients, properties and schedule entries after
// the run are exactly the ones meant; a failure midway leaves the database as it was; names are bound,
// never pasted; a whole job run leaves nothing more to do.
#include "service/idxbkpclients.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Db/Proc/IdxGetMAWithoutIndexSubClient.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/familiesb_procs.h"
#include "service/adminthread.h"
#include "tests/service/adminlog.h"
#include "tests/support/idxbackup/indexbackupdb.h"

namespace {

using zydb::DbValue;
// (id, name, flag, storage policy)
using Action = std::tuple<int, std::string, int, int>;

class IndexBackupClients : public hubtest::IndexBackupDb {
protected:
    std::vector<Action> actions(int mediaAgent = 0) {
        IdxGetMAWithoutIndexSubClient p(nullptr);
        p.setIsolationType(4);
        p.setValues(2, mediaAgent);
        std::vector<Action> out;
        while (p.getNextRow(&p, nullptr, -1, 0) == zydb::DB_OK) {
            const auto* r = p.getDataPtr();
            out.emplace_back(r->o_MAClientId, r->o_MAClientName, r->o_subClientStatusFlag,
                             r->o_archGroupIdToAssign);
        }
        return out;
    }
    // Carries out the database's one action for `mediaAgent`, which must have the flag given.
    int act(int mediaAgent, int flag) {
        const auto due = actions(mediaAgent);
        EXPECT_EQ(due.size(), 1u);
        if (due.size() != 1) return -99;
        const auto& [id, name, f, policy] = due[0];
        EXPECT_EQ(f, flag);
        return AdminThreadHM::manageIdxBkpClient(name, id, policy, f);
    }

    // What is left of a client: its rows in every table that names it, its subclients' too.
    std::string clientRows(int client) {
        const DbValue id = DbValue::ofInt(client);
        return rows(
            "SELECT id FROM APP_Client WHERE id = ?1 UNION ALL SELECT id FROM APP_Application WHERE "
            "clientId = ?1 UNION ALL SELECT indexClientId FROM IdxIndexClient WHERE indexClientId = ?1 UNION "
            "ALL SELECT appId FROM TM_TaskEntity WHERE clientId = ?1 UNION ALL SELECT id FROM "
            "APP_InstanceName "
            "WHERE clientId = ?1 UNION ALL SELECT id FROM APP_ClientProp WHERE componentNameId = ?1",
            {id});
    }
    std::string subclientRows(int subclient) {
        return rows(
            "SELECT id FROM APP_Application WHERE id = ?1 UNION ALL SELECT id FROM APP_SubClientProp WHERE "
            "componentNameId = ?1 UNION ALL SELECT appId FROM TM_TaskEntity WHERE appId = ?1",
            {DbValue::ofInt(subclient)});
    }
    bool logged(size_t mark, const std::string& text) {
        for (const std::string& l : adminlog::linesSince(mark, "AdminThreadHM::manageIdxBkpClient"))
            if (l.find(text) != std::string::npos) return true;
        return false;
    }

    const zyent::IndexBackupWorld& w = world;
};

}  // namespace

TEST_F(IndexBackupClients, CreationMakesTheWholePseudoClientInOneTransaction) {
    const size_t mark = adminlog::size();
    ASSERT_EQ(act(w.newMa, IDXBKP_CREATE_CLIENT), 0);
    const std::string name = hubdb::indexClientName("ma-new");
    const std::string found =
        rows("SELECT id FROM APP_Client WHERE name = ? AND net_hostname = ? AND displayName = ?",
             {DbValue::ofText(name), DbValue::ofText(name), DbValue::ofText(name)});
    ASSERT_FALSE(found.empty());
    const std::string client = found.substr(0, found.find('|'));
    const std::string sp = std::to_string(w.storagePolicy);
    EXPECT_EQ(rows("SELECT maClientId FROM IdxIndexClient WHERE indexClientId = " + client),
              std::to_string(w.newMa) + "|;");
    // One subclient: the default one of application type 64, on the media agent's policy, marked and
    // described, in the default schedule.
    const std::string subclients = rows(
        "SELECT id, appTypeId, subclientName, dataArchGrpID FROM APP_Application "
        "WHERE clientId = " +
        client);
    const std::string subclient = subclients.substr(0, subclients.find('|'));
    EXPECT_EQ(subclients, subclient + "|64|default|" + sp + "|;");
    EXPECT_EQ(
        rows("SELECT attrName, attrVal FROM APP_SubClientProp WHERE modified = 0 AND componentNameId = " +
             subclient + " ORDER BY attrName"),
        "Index SubClient|1|;User Description|System created IndexBackup subclient|;");
    EXPECT_EQ(rows("SELECT attrName, attrVal FROM APP_ClientProp WHERE modified = 0 AND componentNameId = " +
                   client + " ORDER BY attrName"),
              "Index Server Storage Policy|" + sp + "|;Pseudo Client Type|29|;");
    EXPECT_EQ(rows("SELECT taskId, clientId, flags FROM TM_TaskEntity WHERE appId = " + subclient),
              std::to_string(w.defaultSchedule) + "|" + client + "|128|;");
    EXPECT_TRUE(actions(w.newMa).empty());  // nothing left to do for it
    EXPECT_TRUE(logged(mark, "Creating Indexing client [" + name + "] for archgroup [" + sp + "]"));
    EXPECT_TRUE(logged(mark, "Assigning archgroup [" + sp + "] to client [" + name + "]"));
    EXPECT_TRUE(logged(mark, "created Indexing client [" + name + "] for archgroup [" + sp +
                                 "] with clientId [" + client + "]"));
}

TEST_F(IndexBackupClients, EveryOtherActionChangesExactlyItsRows) {
    const std::string sp = std::to_string(w.storagePolicy);
    const std::string twoBefore = clientRows(w.twoClient);

    EXPECT_EQ(act(w.goneMa, IDXBKP_DELETE_CLIENT), 0);
    EXPECT_EQ(clientRows(w.goneClient), "");
    EXPECT_EQ(subclientRows(w.goneSubclient), "");  // its IndexBackup subclient went with it

    EXPECT_EQ(act(w.twoMa, IDXBKP_DELETE_OLD_SUBCLIENT), 0);
    EXPECT_EQ(subclientRows(w.oldSubclient), "");
    EXPECT_NE(subclientRows(w.currentSubclient), "");
    EXPECT_NE(clientRows(w.twoClient), twoBefore);
    EXPECT_EQ(rows("SELECT id FROM APP_Client WHERE id = ?", {DbValue::ofInt(w.twoClient)}),
              std::to_string(w.twoClient) + "|;");

    EXPECT_EQ(act(w.disabledMa, IDXBKP_DISABLE_BACKUP), 0);
    EXPECT_EQ(rows("SELECT attrVal FROM APP_SubClientProp WHERE attrName = 'Disable Activity 4' AND modified "
                   "= 0 AND "
                   "componentNameId = ?",
                   {DbValue::ofInt(w.disabledSubclient)}),
              "1|;");

    EXPECT_EQ(act(w.renamedMa, IDXBKP_RENAME_CLIENT), 0);
    EXPECT_EQ(rows("SELECT name, net_hostname, displayName FROM APP_Client WHERE id = ?",
                   {DbValue::ofInt(w.renamedClient)}),
              "ma-renamed_IndexBackup|ma-renamed_IndexBackup|ma-renamed_IndexBackup|;");

    EXPECT_EQ(act(w.brokenMa, IDXBKP_DELETE_BROKEN_CLIENT), 0);
    EXPECT_EQ(clientRows(w.brokenClient), "");
    EXPECT_EQ(actions(w.brokenMa),
              (std::vector<Action>{{w.brokenMa, "ma-broken_IndexBackup", 0, w.storagePolicy}}));

    EXPECT_EQ(act(w.movedMa, IDXBKP_REASSIGN_ARCHGROUP), 0);
    EXPECT_EQ(
        rows("SELECT dataArchGrpID FROM APP_Application WHERE id = ?", {DbValue::ofInt(w.movedSubclient)}),
        std::to_string(w.otherPolicy) + "|;");

    // Flags outside 0 to 6 do nothing and succeed.
    const std::string before = snapshot();
    EXPECT_EQ(AdminThreadHM::manageIdxBkpClient("ma-new_IndexBackup", w.newMa, w.storagePolicy, 7), 0);
    EXPECT_EQ(AdminThreadHM::manageIdxBkpClient("ma-new_IndexBackup", w.newMa, w.storagePolicy, -1), 0);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(IndexBackupClients, NamesAreBoundNeverPasted) {
    const std::string name = "o'brien'); DELETE FROM APP_Client; --";
    const size_t mark = adminlog::size();
    EXPECT_EQ(AdminThreadHM::manageIdxBkpClient(name, w.renamedClient, w.storagePolicy, IDXBKP_RENAME_CLIENT),
              0);
    EXPECT_EQ(
        rows("SELECT name, displayName FROM APP_Client WHERE id = ?", {DbValue::ofInt(w.renamedClient)}),
        name + "|" + name + "|;");
    EXPECT_TRUE(logged(mark, "Renamed Indexing client [" + name + "]"));
    // A rename of a client that is gone fails, is logged as such, and still returns 0.
    EXPECT_EQ(AdminThreadHM::manageIdxBkpClient("x", 424242, w.storagePolicy, IDXBKP_RENAME_CLIENT), 0);
    EXPECT_TRUE(logged(mark, "Unable to update client name x. err [100] "));
    EXPECT_FALSE(logged(mark, "Renamed Indexing client [x]"));
}

TEST_F(IndexBackupClients, AFailureMidwayLeavesTheDatabaseAsBefore) {
    const std::string name = hubdb::indexClientName("ma-new");
    const std::string before = snapshot();
    size_t mark = adminlog::size();

    // No default schedule: the last step fails after everything else was done in the transaction.
    exec("UPDATE TM_Task SET isDefault = 0");
    EXPECT_EQ(AdminThreadHM::manageIdxBkpClient(name, w.newMa, w.storagePolicy, IDXBKP_CREATE_CLIENT), -1);
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(logged(mark, "Failed to associate subclient["));
    EXPECT_FALSE(logged(mark, "created Indexing client"));
    exec("UPDATE TM_Task SET isDefault = 1");

    // An unknown storage policy: the client is made, then assigning the policy fails.
    mark = adminlog::size();
    EXPECT_EQ(AdminThreadHM::manageIdxBkpClient(name, w.newMa, 424242, IDXBKP_CREATE_CLIENT),
              zydb::DB_NO_DATA);
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(
        logged(mark, "Unable to assign the storage policy of Indexing client [" + name + "]. err [100]"));
    EXPECT_FALSE(logged(mark, "Assigning archgroup"));

    // The pseudo-client cannot be made (a client of that name exists).
    mark = adminlog::size();
    EXPECT_NE(AdminThreadHM::manageIdxBkpClient("ma-two_IndexBackup", w.newMa, w.storagePolicy,
                                                IDXBKP_CREATE_CLIENT),
              0);
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(logged(mark, "Error to commit transaction [3003] "));

    // Deletions and reassignments that fail change nothing either.
    EXPECT_NE(AdminThreadHM::manageIdxBkpClient("another name", w.goneClient, 0, IDXBKP_DELETE_CLIENT), 0);
    EXPECT_NE(AdminThreadHM::manageIdxBkpClient("", 424242, 0, IDXBKP_DELETE_OLD_SUBCLIENT), 0);
    EXPECT_NE(AdminThreadHM::manageIdxBkpClient("ma-moved_IndexBackup", w.movedSubclient, 424242,
                                                IDXBKP_REASSIGN_ARCHGROUP),
              0);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(IndexBackupClients, TheJobCarriesOutEveryActionUntilNoneIsLeft) {
    AdminThreadHM::checkIdxBkpClients();
    // The broken client was deleted to be made anew: that is the one action left.
    EXPECT_EQ(actions(), (std::vector<Action>{{w.brokenMa, "ma-broken_IndexBackup", 0, w.storagePolicy}}));
    AdminThreadHM::checkIdxBkpClients();
    EXPECT_TRUE(actions().empty());
    EXPECT_EQ(rows("SELECT COUNT(*) FROM IdxIndexClient x JOIN APP_Client c ON c.id = x.indexClientId"),
              "6|;");
    // Nothing to do: the job ends without a line.
    const size_t mark = adminlog::size();
    AdminThreadHM::checkIdxBkpClients();
    EXPECT_TRUE(adminlog::linesSince(mark, "AdminThreadHM::").empty());
}
