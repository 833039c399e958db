// A seeded Hubmaster database for the property, backup-set, mailbox, user and job families: one file
// per test in a temporary folder, opened as the process's database with the job procedures
// registered. Each test uses it on its own thread.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/procregistry.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/proc_jobs.h"
#include "platform/hubdb/seed_families_a.h"
#include "tests/platform/db/tempdir.h"

class FamiliesADb : public ::testing::Test {
protected:
    // Build the rows with `seed`/`rows`, then call open().
    void SetUp() override {
        seed = std::make_unique<hubdb::HubDbSeed>(dir.file("hub.db"));
        ASSERT_TRUE(seed->ok()) << seed->error();
        rows = std::make_unique<hubdb::RowSeed>(*seed);
        ASSERT_TRUE(rows->ok()) << rows->error();
        int ma = seed->addMediaAgent({.name = "ma1"});
        sp = seed->addStoragePolicy("sp1", ma);
    }
    void TearDown() override { zydb::CDbEnv::close(); }

    void open() {
        ASSERT_TRUE(rows->ok()) << rows->error();
        rows.reset();
        seed.reset();
        std::string err;
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db"), &err), zydb::DB_OK) << err;
    }

    // Runs a statement on the open database, outside the families (to break it on purpose).
    void execOnOpen(const std::string& sql) {
        auto conn = zydb::CDbEnv::threadConnection(nullptr);
        ASSERT_TRUE(conn);
        ASSERT_EQ(conn->exec(sql), zydb::DB_OK) << conn->lastError();
    }

    TempDir dir;
    std::unique_ptr<hubdb::HubDbSeed> seed;
    std::unique_ptr<hubdb::RowSeed> rows;
    int sp = 0;
};
