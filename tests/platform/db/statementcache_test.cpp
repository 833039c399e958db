// The connection's kept statements over a real SQLite file: reuse returns the same rows, bindings do
// not survive a release, DDL and schema changes from another connection are seen, the bound holds (per
// connection, and for all connections together), statements outliving their connection only finalize.
#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/dbresult.h"
#include "tests/platform/db/tempdir.h"

using namespace zydb;

namespace {

class StatementCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        conn = connect(true);
        ASSERT_TRUE(conn);
        ASSERT_EQ(conn->exec("CREATE TABLE item (id INTEGER PRIMARY KEY, name TEXT)"), DB_OK);
        for (int i = 1; i <= 5; ++i)
            ASSERT_EQ(execBound(*conn, "INSERT INTO item (id, name) VALUES (?, ?)",
                                {DbValue::ofInt(i), DbValue::ofText("n" + std::to_string(i))}),
                      DB_OK);
    }

    std::unique_ptr<IDbConnection> connect(bool create) {
        DbOpenOptions o;
        o.create = create;
        std::unique_ptr<IDbConnection> c;
        std::string err;
        EXPECT_EQ(sqliteBackend().connect(dir.file("cache.db"), o, c, err), DB_OK) << err;
        return c;
    }

    // Every row of `sql` with `params`, columns joined by '|'.
    std::vector<std::string> rows(const std::string& sql, const std::vector<DbValue>& params = {}) {
        std::vector<std::string> out;
        std::unique_ptr<IDbStatement> st;
        EXPECT_EQ(prepareBound(*conn, sql, params, st), DB_OK) << sql;
        if (!st) return out;
        int rc;
        while ((rc = st->step()) == DB_OK) {
            std::string r;
            for (int c = 0; c < st->columnCount(); ++c)
                r += (c ? "|" : "") +
                     (st->columnIsNull(c) ? std::string("NULL") : st->columnValue(c).asText());
            out.push_back(r);
        }
        EXPECT_EQ(rc, DB_NO_DATA);
        return out;
    }

    TempDir dir;
    std::unique_ptr<IDbConnection> conn;
};

TEST_F(StatementCacheTest, ReuseGivesTheSameRowsAndNoBindingsSurvive) {
    const std::string sql = "SELECT id, name FROM item WHERE id >= ? ORDER BY id";
    EXPECT_EQ(rows(sql, {DbValue::ofInt(4)}), (std::vector<std::string>{"4|n4", "5|n5"}));
    size_t kept = conn->cachedStatements();
    EXPECT_GE(kept, 1u);
    EXPECT_EQ(rows(sql, {DbValue::ofInt(4)}), (std::vector<std::string>{"4|n4", "5|n5"}));
    EXPECT_EQ(rows(sql, {DbValue::ofInt(2)}), (std::vector<std::string>{"2|n2", "3|n3", "4|n4", "5|n5"}));
    EXPECT_EQ(conn->cachedStatements(), kept);  // reused, not compiled again

    // A statement abandoned mid-result comes back reset: the next use starts at the first row.
    {
        std::unique_ptr<IDbStatement> st;
        ASSERT_EQ(prepareBound(*conn, sql, {DbValue::ofInt(1)}, st), DB_OK);
        ASSERT_EQ(st->step(), DB_OK);
    }
    EXPECT_EQ(rows(sql, {DbValue::ofInt(5)}), (std::vector<std::string>{"5|n5"}));

    // Text bound in one use is gone in the next: the parameter is NULL again.
    const std::string echo = "SELECT ?1 IS NULL, ?1";
    EXPECT_EQ(rows(echo, {DbValue::ofText("secret")}), (std::vector<std::string>{"0|secret"}));
    EXPECT_EQ(rows(echo), (std::vector<std::string>{"1|NULL"}));

    // Text with a NUL is still refused on a reused statement, and the refusal leaves nothing bound.
    std::unique_ptr<IDbStatement> st;
    EXPECT_EQ(prepareBound(*conn, echo, {DbValue::ofText(std::string("a\0b", 3))}, st), DB_ERR_ARGUMENT);
    EXPECT_FALSE(st);
    EXPECT_EQ(rows(echo), (std::vector<std::string>{"1|NULL"}));

    // Two cursors over the same text at once are two statements.
    std::unique_ptr<IDbStatement> a, b;
    ASSERT_EQ(prepareBound(*conn, sql, {DbValue::ofInt(1)}, a), DB_OK);
    ASSERT_EQ(prepareBound(*conn, sql, {DbValue::ofInt(3)}, b), DB_OK);
    ASSERT_EQ(a->step(), DB_OK);
    ASSERT_EQ(b->step(), DB_OK);
    EXPECT_EQ(a->columnInt64(0), 1);
    EXPECT_EQ(b->columnInt64(0), 3);
    ASSERT_EQ(a->step(), DB_OK);
    EXPECT_EQ(a->columnInt64(0), 2);
}

TEST_F(StatementCacheTest, SchemaChangesAndDdlAreSeen) {
    const std::string all = "SELECT * FROM item WHERE id = 1";
    EXPECT_EQ(rows(all), (std::vector<std::string>{"1|n1"}));
    ASSERT_GE(conn->cachedStatements(), 1u);

    // DDL through exec drops what is kept; the next query sees the new column.
    ASSERT_EQ(conn->exec("ALTER TABLE item ADD COLUMN size INTEGER DEFAULT 7"), DB_OK);
    EXPECT_EQ(conn->cachedStatements(), 0u);
    EXPECT_EQ(rows(all), (std::vector<std::string>{"1|n1|7"}));

    // DDL through a prepared statement drops it too.
    ASSERT_GE(conn->cachedStatements(), 1u);
    ASSERT_EQ(execBound(*conn, "ALTER TABLE item ADD COLUMN tag TEXT DEFAULT 'x'", {}), DB_OK);
    EXPECT_EQ(conn->cachedStatements(), 0u);
    EXPECT_EQ(rows(all), (std::vector<std::string>{"1|n1|7|x"}));

    // A schema change by another connection: the kept statement is compiled again by itself.
    auto other = connect(false);
    ASSERT_TRUE(other);
    ASSERT_EQ(other->exec("ALTER TABLE item ADD COLUMN extra INTEGER DEFAULT 9"), DB_OK);
    EXPECT_EQ(rows(all), (std::vector<std::string>{"1|n1|7|x|9"}));

    // A dropped table: the kept statement now fails with the mapped code, not a crash.
    ASSERT_EQ(other->exec("DROP TABLE item"), DB_OK);
    std::unique_ptr<IDbStatement> st;
    int rc = prepareBound(*conn, all, {}, st);
    if (rc == DB_OK) rc = st->step();
    EXPECT_EQ(rc, DB_ERR_SQL);
    EXPECT_NE(conn->lastError().find("item"), std::string::npos) << conn->lastError();

    // An invalid statement is refused as before and nothing is kept for it.
    size_t kept = conn->cachedStatements();
    st.reset();
    EXPECT_EQ(conn->prepare("SELECT FROM nowhere", st), DB_ERR_SQL);
    EXPECT_FALSE(st);
    EXPECT_LE(conn->cachedStatements(), kept + 1);
}

TEST_F(StatementCacheTest, TheBoundHoldsAndStatementsMayOutliveTheConnection) {
    for (int i = 0; i < 300; ++i) {
        std::vector<std::string> r = rows("SELECT name FROM item WHERE id = " + std::to_string(i % 5 + 1) +
                                          " AND " + std::to_string(i) + " = " + std::to_string(i));
        ASSERT_EQ(r, (std::vector<std::string>{"n" + std::to_string(i % 5 + 1)}));
    }
    EXPECT_GT(conn->cachedStatements(), 32u);
    EXPECT_LE(conn->cachedStatements(), 64u);
    // The most recent ones are the kept ones: reusing one does not grow the cache.
    size_t kept = conn->cachedStatements();
    rows("SELECT name FROM item WHERE id = 5 AND 299 = 299");
    EXPECT_EQ(conn->cachedStatements(), kept);

    // Transaction control keeps the statements.
    ASSERT_EQ(conn->exec("BEGIN"), DB_OK);
    ASSERT_EQ(conn->exec("COMMIT"), DB_OK);
    EXPECT_EQ(conn->cachedStatements(), kept);

    std::unique_ptr<IDbStatement> open;
    ASSERT_EQ(prepareBound(*conn, "SELECT id FROM item ORDER BY id", {}, open), DB_OK);
    ASSERT_EQ(open->step(), DB_OK);
    conn.reset();
    // The rows stay readable until the statement goes; releasing it then only finalizes.
    ASSERT_EQ(open->step(), DB_OK);
    EXPECT_EQ(open->columnInt64(0), 2);
    open.reset();
}

TEST_F(StatementCacheTest, AllConnectionsTogetherKeepNoMoreThanTheProcessBudget) {
    // Many connections, each keeping as many large statements as it may: what they hold together stays
    // within the budget, and the newest connection still keeps some.
    std::string columns;
    for (int c = 0; c < 20; ++c)
        columns += (c ? ", " : "") + std::string("upper(name || '") + std::to_string(c) + "')";
    std::vector<std::unique_ptr<IDbConnection>> connections;
    for (int n = 0; n < 128; ++n) connections.push_back(connect(false));
    const long long before = static_cast<long long>(mallinfo2().uordblks);
    for (std::unique_ptr<IDbConnection>& c : connections) {
        std::swap(conn, c);
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(rows("SELECT " + columns + " FROM item WHERE id = " + std::to_string(i % 5 + 1) +
                           " AND " + std::to_string(i) + " = " + std::to_string(i))
                          .size(),
                      1u);
        std::swap(conn, c);
    }
    // At most twice the budget by SQLite's count of a statement's bytes, which leaves out the
    // allocator's own overhead; on their own the connections keep four times as much here.
    EXPECT_LT(static_cast<long long>(mallinfo2().uordblks) - before,
              4 * static_cast<long long>(kKeptStatementBytes));
    EXPECT_GT(connections.back()->cachedStatements(), 1u);
}

}  // namespace
