// Test support: a Hubmaster database in a temporary folder seeded with the index-backup world (a media
// agent in each state the administration thread acts on), opened as the process's database, with
// readers of its rows as text. Header-only; a fixture of one test thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/entities/idxbackupseed.h"
#include "platform/hubdb/hubdb.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/log/processlogdir.h"

namespace hubtest {

class IndexBackupDb : public ::testing::Test {
protected:
    void SetUp() override {
        processLogDir();
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        zyent::IndexBackupSeed index(seed);
        ASSERT_EQ(index.addIndexBackupWorld(world), 0) << index.error();
        seedMore(seed);
        ASSERT_TRUE(seed.ok()) << seed.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), zydb::DB_OK);
    }
    void TearDown() override { zydb::CDbEnv::close(); }
    // A fixture's own rows, added before the database opens.
    virtual void seedMore(hubdb::HubDbSeed&) {}

    // The rows of a query on the thread's own connection (the committed state): "a|b|;c|d|;".
    std::string rows(const std::string& sql, const std::vector<zydb::DbValue>& params = {}) {
        int rc = 0;
        auto conn = zydb::CDbEnv::threadConnection(&rc);
        std::unique_ptr<zydb::IDbStatement> st;
        EXPECT_EQ(zydb::prepareBound(*conn, sql, params, st), zydb::DB_OK) << sql;
        std::string out;
        while (st && st->step() == zydb::DB_OK) {
            for (int c = 0; c < st->columnCount(); ++c) out += std::string(st->columnText(c)) + "|";
            out += ";";
        }
        return out;
    }
    void exec(const std::string& sql) {
        int rc = 0;
        ASSERT_EQ(zydb::CDbEnv::threadConnection(&rc)->exec(sql), zydb::DB_OK) << sql;
    }
    // Every row that index-backup client management may touch.
    std::string snapshot() {
        std::string out;
        for (const char* table : {"APP_Client", "APP_Application", "APP_InstanceName", "APP_BackupSetName",
                                  "APP_ClientProp", "APP_SubClientProp", "IdxIndexClient", "TM_TaskEntity"})
            out += std::string(table) + ":" + rows(std::string("SELECT * FROM ") + table + " ORDER BY 1, 2") +
                   "\n";
        return out;
    }

    TempDir dir;
    zyent::IndexBackupWorld world;
};

}  // namespace hubtest
