// A seeded Hubmaster database for the tests of the storage-policy, VM, index, global-parameter,
// release, erase and sharing families: the fixture opens it as the process's database with every
// procedure registered. Helpers run a family and collect its rows. One test thread.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/seed_familiesb.h"
#include "tests/platform/db/tempdir.h"

constexpr int kDay = 86400;
constexpr int kT0 = 1700000000;

class FamiliesBWorld : public ::testing::Test {
protected:
    // Seeds through `fill`, then opens the file for the families.
    template <class Fill>
    void build(Fill fill) {
        {
            hubdb::HubDbSeed seed(dir.file("hub.db"));
            ASSERT_TRUE(seed.ok()) << seed.error();
            hubdb::FamiliesBSeed more(seed);
            ASSERT_TRUE(more.ok()) << more.error();
            fill(seed, more);
            ASSERT_TRUE(seed.ok()) << seed.error();
            ASSERT_TRUE(more.ok()) << more.error();
        }
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), zydb::DB_OK);
    }
    void TearDown() override {
        DBtable::b_newDBBase = true;
        zydb::CDbEnv::close();
    }

    // Every row of an access object already given its arguments or where clause; `rc` gets the
    // result that ended the fetch.
    template <class X>
    static std::vector<typename X::Record> rowsOf(X& x, int* rc = nullptr) {
        std::vector<typename X::Record> out;
        int r;
        int count = 0;
        while ((r = getNextRow(&x, &count, -1, 0)) == zydb::DB_OK) out.push_back(*x.getDataPtr());
        if (rc)
            *rc = r;
        else
            EXPECT_EQ(r, zydb::DB_NO_DATA) << x.getErrorStr(r);
        return out;
    }

    // Runs a statement on the test's own connection (to look at or break the database).
    int sql(const std::string& text) {
        int rc = 0;
        auto conn = zydb::CDbEnv::threadConnection(&rc);
        return conn ? conn->exec(text) : rc;
    }
    long long count(const std::string& query) {
        int rc = 0;
        auto conn = zydb::CDbEnv::threadConnection(&rc);
        std::unique_ptr<zydb::IDbStatement> st;
        if (!conn || conn->prepare(query, st) != zydb::DB_OK || st->step() != zydb::DB_OK) return -1;
        return st->columnInt64(0);
    }

    static bool isError(int rc) { return rc != zydb::DB_OK && rc != zydb::DB_NO_DATA; }

    TempDir dir;
};
