// DBtable over a real SQLite file: the fetch protocol, text truncation and ownership, order and top,
// updates with hostile text, transactions, procedures on both argument paths, connections per thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/db/dbenv.h"
#include "tests/platform/db/gadget.h"
#include "tests/platform/db/tempdir.h"

using namespace zydb;

namespace {

class DbTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        DbOpenOptions o;
        o.create = true;
        o.busyTimeoutMs = 100;
        std::string err;
        ASSERT_EQ(CDbEnv::open(dir.file("hub.db"), o, &err), DB_OK) << err;
        auto conn = CDbEnv::threadConnection(nullptr);
        ASSERT_TRUE(conn);
        for (const std::string& sql : createTableSql(tableSpecOf<Gadget>()))
            ASSERT_EQ(conn->exec(sql), DB_OK) << sql;
        CProcRegistry::add("GadgetEcho", gadgetEchoHandler);
        CProcRegistry::add("GadgetStatus", gadgetStatusHandler);
    }
    void TearDown() override {
        DBtable::b_newDBBase = true;
        CDbEnv::close();
    }

    void insert(int id, const char* label, const char* note, long long stamp = 0, const char* wide = "") {
        auto conn = CDbEnv::threadConnection(nullptr);
        ASSERT_EQ(
            execBound(*conn,
                      "INSERT INTO gadget (id, label, note, stamp, size, wide) VALUES (?, ?, ?, ?, ?, ?)",
                      {DbValue::ofInt(id), DbValue::ofText(label), note ? DbValue::ofText(note) : DbValue{},
                       DbValue::ofInt(stamp), DbValue::ofInt(stamp * 2), DbValue::ofText(wide)}),
            DB_OK);
    }

    std::vector<int> ids(Gadget& g) {
        std::vector<int> out;
        int rows = 0, rc;
        while ((rc = getNextRow(&g, &rows, -1, 0)) == 0) out.push_back(g.getDataPtr()->id);
        EXPECT_EQ(rc, DB_NO_DATA);
        EXPECT_EQ(rows, static_cast<int>(out.size()));
        return out;
    }

    TempDir dir;
};

}  // namespace

TEST_F(DbTableTest, FetchProtocolRowsEndAndErrors) {
    {
        Gadget g(nullptr);
        int rows = 0;
        EXPECT_EQ(getNextRow(&g, &rows, -1, 0), DB_NO_DATA);
        EXPECT_EQ(getOneRow(&g, false, -1, 0), DB_NO_DATA);
        EXPECT_EQ(rows, 0);
    }
    insert(1, "one", "n1", 1LL << 40);
    insert(2, "two", nullptr);
    Gadget g(nullptr);
    int rows = 0;
    ASSERT_EQ(g.getNextRow(&g, &rows, -1, 0), DB_OK);
    EXPECT_EQ(g.getDataPtr()->stamp, 1LL << 40);
    EXPECT_EQ(g.getDataPtr()->size, 1LL << 41);
    ASSERT_EQ(getNextRow(&g, &rows, -1, 0), DB_OK);
    EXPECT_EQ(getNextRow(&g, &rows, -1, 0), DB_NO_DATA);
    EXPECT_EQ(getNextRow(&g, &rows, -1, 0), DB_NO_DATA);  // stays at the end
    EXPECT_EQ(rows, 2);

    // A where clause that does not compile is an error, never the end of the rows, and stays one.
    g.setWhere("nosuchcolumn = %d", 3);
    int rc = getNextRow(&g, &rows, -1, 0);
    EXPECT_EQ(rc, DB_ERR_SQL);
    EXPECT_NE(std::strstr(g.getErrorStr(rc), "nosuchcolumn"), nullptr) << g.getErrorStr(rc);
    EXPECT_EQ(getNextRow(&g, &rows, -1, 0), DB_ERR_SQL);
    EXPECT_TRUE(g.getState() & DBtable::kStateError);

    // A refused format is reported at the fetch.
    g.setWhere("id = %d and id = %d", 1);
    EXPECT_EQ(getOneRow(&g, false, -1, 0), DB_ERR_ARGUMENT);

    // A fresh where clause runs a fresh query.
    g.setWhere("label = '%s'", "TWO");  // names compare without regard to case
    ASSERT_EQ(getOneRow(&g, false, -1, 0), DB_OK);
    EXPECT_EQ(g.getDataPtr()->id, 2);
}

// A 32-bit column takes a value of 32 bits, signed or unsigned, as it is stored; a wider one is refused,
// never cut.
TEST_F(DbTableTest, WiderValueOfA32BitColumnIsRefused) {
    auto conn = CDbEnv::threadConnection(nullptr);
    for (long long id : {0xFFFFFFFFLL, (1LL << 32) + 7})
        ASSERT_EQ(execBound(*conn, "INSERT INTO gadget (id, label, stamp) VALUES (?, 'x', ?)",
                            {DbValue::ofInt(id), DbValue::ofInt(id & 0xFF)}),
                  DB_OK);
    Gadget g(nullptr);
    g.setWhere("stamp = %d", 0xFF);
    ASSERT_EQ(getOneRow(&g, false, -1, 0), DB_OK);
    EXPECT_EQ(static_cast<uint32_t>(g.getDataPtr()->id), 0xFFFFFFFFu);
    g.setWhere("stamp = %d", 7);
    const int rc = getOneRow(&g, false, -1, 0);
    EXPECT_EQ(rc, DB_ERR_SCHEMA);
    EXPECT_NE(std::strstr(g.getErrorStr(rc), "does not fit 32 bits"), nullptr) << g.getErrorStr(rc);
}

TEST_F(DbTableTest, FixedTextIsTruncatedAndOwnedTextFreedOnce) {
    insert(1, "abcdefghij", "first note", 0, "\xc3\xa9\xc3\xa9\xc3\xa9");  // three two-byte letters
    insert(2, "short", nullptr);
    insert(3, "x", "");
    Gadget g(nullptr);
    Gadget_t* r = g.getDataPtr();
    ASSERT_EQ(getNextRow(&g, nullptr, -1, 0), DB_OK);
    EXPECT_STREQ(r->label, "abcdefg");          // at most 7 bytes and the NUL
    EXPECT_STREQ(r->wide, "\xc3\xa9\xc3\xa9");  // 5 bytes allowed: no half letter
    ASSERT_NE(r->note, nullptr);
    EXPECT_STREQ(r->note, "first note");
    EXPECT_EQ(g.getIndicators()[1], 10);  // the full length, so truncation shows
    EXPECT_EQ(g.getIndicators()[2], 10);

    Gadget_t copy(*r);  // deep: each record frees its own buffer
    EXPECT_NE(copy.note, r->note);
    EXPECT_STREQ(copy.note, "first note");

    ASSERT_EQ(getNextRow(&g, nullptr, -1, 0), DB_OK);
    EXPECT_EQ(r->note, nullptr);  // NULL frees the earlier text
    EXPECT_EQ(g.getIndicators()[2], -1);
    ASSERT_EQ(getNextRow(&g, nullptr, -1, 0), DB_OK);
    EXPECT_EQ(r->note, nullptr);  // empty is null too
    EXPECT_STREQ(copy.note, "first note");

    copy = *r;
    EXPECT_EQ(copy.note, nullptr);
    EXPECT_STREQ(copy.label, "x");
}

TEST_F(DbTableTest, DefaultOrderTopAndOrderBy) {
    insert(3, "c", nullptr);
    insert(1, "a", nullptr);
    insert(2, "b", nullptr);
    Gadget g(nullptr);
    EXPECT_EQ(ids(g), (std::vector<int>{1, 2, 3}));
    g.setTop(2);
    EXPECT_EQ(ids(g), (std::vector<int>{1, 2}));
    g.setTop(1);
    g.setOrderBy("id desc");
    g.setIsolationType(4);
    EXPECT_EQ(ids(g), (std::vector<int>{3}));
    g.setTop(0);
    g.setWhere("id in (select TOP 2 id from gadget WITH (NOLOCK) order by id desc)");
    EXPECT_EQ(ids(g), (std::vector<int>{3, 2}));
}

TEST_F(DbTableTest, UpdatesBindHostileText) {
    insert(1, "a", nullptr);
    insert(2, "b", nullptr);
    const char* evil = "z'; DROP TABLE gadget; --";
    {
        Gadget g(nullptr);
        EXPECT_EQ(g.rowUpdate("note = '%s'", evil), DB_ERR_STATE);  // no where clause: refused
        g.setWhere("id = %d", 1);
        EXPECT_EQ(g.rowUpdate("note = '%s', label = '%s'", evil, "it's"), DB_OK);
        g.setWhere("id = %d", 99);
        EXPECT_EQ(g.rowUpdate("note = '%s'", "x"), DB_NO_DATA);
    }
    Gadget g(nullptr);
    g.setWhere("note = '%s'", evil);
    ASSERT_EQ(getOneRow(&g, false, -1, 0), DB_OK);
    EXPECT_EQ(g.getDataPtr()->id, 1);
    EXPECT_STREQ(g.getDataPtr()->note, evil);
    EXPECT_STREQ(g.getDataPtr()->label, "it's");
    g.setWhere("id = %d", 2);
    ASSERT_EQ(getOneRow(&g, false, -1, 0), DB_OK);
    EXPECT_EQ(g.getDataPtr()->note, nullptr);
}

TEST_F(DbTableTest, OutsideTextIsAlwaysBoundAndRawClausesCarryNone) {
    insert(1, "ab", "cd");
    insert(2, "O'Brien", "x");
    Gadget g(nullptr);
    // a clause of numbers and names goes as it is
    g.setWhereRaw("id = " + std::to_string(2) + " and size >= 0");
    ASSERT_EQ(getOneRow(&g, false, -1, 0), DB_OK);
    EXPECT_EQ(g.getDataPtr()->id, 2);
    // anything that could carry text is refused, and nothing runs
    for (const char* raw : {"label = 'ab'", "label = \"ab\"", "id = 1 -- x", "id = 1; DELETE FROM gadget",
                            "id = ?", "id = 1 /* x */"}) {
        g.setWhereRaw(raw);
        EXPECT_EQ(getOneRow(&g, false, -1, 0), DB_ERR_ARGUMENT) << raw;
    }
    // a char buffer is a format like any other: its constant literals stay, a pasted value's quote
    // leaves a literal open and is refused, the bound value is found
    char constant[] = "label = 'ab' and id in (select id from gadget WITH(NOLOCK) where note = 'cd')";
    g.setWhere(constant);
    ASSERT_EQ(getOneRow(&g, false, -1, 0), DB_OK);
    EXPECT_EQ(g.getDataPtr()->id, 1);
    char pasted[64];
    std::snprintf(pasted, sizeof pasted, "label = '%s'", "O'Brien");
    g.setWhere(pasted);
    EXPECT_EQ(getOneRow(&g, false, -1, 0), DB_ERR_ARGUMENT);
    g.setWhere("label = '%s'", "O'Brien");
    ASSERT_EQ(getOneRow(&g, false, -1, 0), DB_OK);
    EXPECT_EQ(g.getDataPtr()->id, 2);
}

TEST_F(DbTableTest, TextWithANulNeverReachesSql) {
    insert(1, "ab", "ab");
    const std::string cut("ab\0zz", 5);
    Gadget g(nullptr);
    // "ab\0zz" would otherwise match "ab" (or "ab\0cd") under the case-blind comparison
    g.setWhere("label = '%s'", cut);
    EXPECT_EQ(getOneRow(&g, false, -1, 0), DB_ERR_ARGUMENT);
    g.setWhere("id = %d", 1);
    EXPECT_EQ(g.rowUpdate("note = '%s'", cut), DB_ERR_ARGUMENT);
    auto conn = CDbEnv::threadConnection(nullptr);
    EXPECT_EQ(execBound(*conn, "INSERT INTO gadget (id, label) VALUES (?, ?)",
                        {DbValue::ofInt(3), DbValue::ofText(cut)}),
              DB_ERR_ARGUMENT);
    std::unique_ptr<IDbStatement> st;
    ASSERT_EQ(prepareBound(*conn, "SELECT count(*) FROM gadget WHERE id = 3 OR note <> 'ab'", {}, st), DB_OK);
    ASSERT_EQ(st->step(), DB_OK);
    EXPECT_EQ(st->columnInt64(0), 0);
}

TEST_F(DbTableTest, TransactionsCommitRollBackAndIsolate) {
    insert(1, "before", nullptr);
    auto labelOf = [](int id) {
        Gadget g(nullptr);
        g.setWhere("id = %d", id);
        return getOneRow(&g, false, -1, 0) == DB_OK ? std::string(g.getDataPtr()->label)
                                                    : std::string("<none>");
    };
    {
        DBtran tran(false);
        ASSERT_EQ(tran.startTran(), DB_OK);
        EXPECT_TRUE(tran.getState() & DBtable::kStateTranOpen);
        Gadget g(&tran);
        EXPECT_TRUE(g.getState() & DBtable::kStateJoined);
        g.setWhere("id = %d", 1);
        ASSERT_EQ(g.rowUpdate("label = '%s'", "during"), DB_OK);
        ASSERT_EQ(getOneRow(&g, false, -1, 0), DB_OK);
        EXPECT_STREQ(g.getDataPtr()->label, "during");  // the transaction sees its own change
        EXPECT_EQ(labelOf(1), "before");                // others see the last commit
        ASSERT_EQ(tran.rollbackTran(), DB_OK);
        EXPECT_FALSE(tran.getState() & DBtable::kStateTranOpen);
    }
    EXPECT_EQ(labelOf(1), "before");
    {
        DBtran tran(true);
        Gadget g(&tran);
        g.setWhere("id = %d", 1);
        ASSERT_EQ(g.rowUpdate("label = '%s'", "after"), DB_OK);
        ASSERT_EQ(tran.commitTran(), DB_OK);
    }
    EXPECT_EQ(labelOf(1), "after");
    {
        // An open transaction left behind is rolled back, never committed.
        DBtran tran(true);
        Gadget g(&tran);
        g.setWhere("id = %d", 1);
        ASSERT_EQ(g.rowUpdate("label = '%s'", "lost"), DB_OK);
    }
    EXPECT_EQ(labelOf(1), "after");
    {
        TranWrapper w(nullptr, "test");
        std::string err;
        ASSERT_EQ(w.ensureTran(err), DB_OK) << err;
        Gadget g(w.getTran());
        g.setWhere("id = %d", 1);
        ASSERT_EQ(g.rowUpdate("label = '%s'", "wrapped"), DB_OK);
        ASSERT_EQ(w.commitIfOwnTran(), DB_OK);
    }
    EXPECT_EQ(labelOf(1), "wrapped");
}

TEST_F(DbTableTest, AnObjectThatCannotJoinItsTransactionNeverRunsOutsideIt) {
    insert(1, "a", nullptr);
    std::unique_ptr<DBtran> foreign;
    std::thread([&] { foreign = std::make_unique<DBtran>(true); }).join();
    {
        Gadget g(foreign.get());  // the transaction belongs to another thread
        EXPECT_TRUE(g.getState() & DBtable::kStateRegistrationFailed);
        int rows = 0;
        EXPECT_EQ(getNextRow(&g, &rows, -1, 0), DB_ERR_STATE);
        g.setWhere("id = %d", 1);
        EXPECT_EQ(g.rowUpdate("label = '%s'", "x"), DB_ERR_STATE);
    }
    foreign.reset();

    // A transaction that goes first leaves its objects failing, not silently autocommitting.
    auto tran = std::make_unique<DBtran>(true);
    Gadget g(tran.get());
    ASSERT_EQ(getOneRow(&g, false, -1, 0), DB_OK);
    tran.reset();
    EXPECT_EQ(getOneRow(&g, false, -1, 0), DB_ERR_STATE);

    // Without a database a transaction has no connection: its objects fail at the first fetch.
    CDbEnv::close();
    DBtran orphan(true);
    EXPECT_FALSE(orphan.isOpen());
    Gadget h(&orphan);
    EXPECT_EQ(getNextRow(&h, nullptr, -1, 0), DB_ERR_STATE);
}

TEST_F(DbTableTest, AWriterPastTheBusyTimeoutIsReportedBusy) {
    insert(1, "a", nullptr);
    DBtran tran(true);
    Gadget writer(&tran);
    writer.setWhere("id = %d", 1);
    ASSERT_EQ(writer.rowUpdate("label = '%s'", "held"), DB_OK);
    Gadget other(nullptr);
    other.setWhere("id = %d", 1);
    EXPECT_EQ(other.rowUpdate("label = '%s'", "blocked"), DB_ERR_BUSY);
    ASSERT_EQ(getOneRow(&other, false, -1, 0), DB_OK);  // reading is not blocked under WAL
    EXPECT_STREQ(other.getDataPtr()->label, "a");
}

TEST_F(DbTableTest, ConnectionsArePerThreadAndInWalMode) {
    auto mine = CDbEnv::threadConnection(nullptr);
    EXPECT_EQ(mine, CDbEnv::threadConnection(nullptr));
    std::shared_ptr<IDbConnection> theirs;
    std::thread([&] { theirs = CDbEnv::threadConnection(nullptr); }).join();
    ASSERT_TRUE(theirs);
    EXPECT_NE(mine, theirs);

    std::unique_ptr<IDbStatement> st;
    ASSERT_EQ(mine->prepare("PRAGMA journal_mode", st), DB_OK);
    ASSERT_EQ(st->step(), DB_OK);
    EXPECT_EQ(st->columnText(0), "wal");

    // Reopening replaces the thread's connection; a missing folder cannot be opened.
    std::string path = CDbEnv::path();
    EXPECT_NE(CDbEnv::open(dir.file("no/such/folder.db")), DB_OK);
    EXPECT_EQ(CDbEnv::path(), path);
    ASSERT_EQ(CDbEnv::open(path), DB_OK);
    EXPECT_NE(CDbEnv::threadConnection(nullptr), mine);

    // A file that is not a database is refused.
    FILE* f = std::fopen(dir.file("junk.db").c_str(), "w");
    std::fputs("this is not a database file, only text that is long enough to matter.........", f);
    std::fclose(f);
    EXPECT_NE(CDbEnv::open(dir.file("junk.db")), DB_OK);
}

TEST_F(DbTableTest, ProceduresOnTheBoundPath) {
    GadgetEcho p(nullptr);
    EXPECT_STREQ(p.getHeaderRevision(), "00010002000300040005");  // 20 characters kept
    p.setValues(3, 1LL << 40, "it's <x/>");
    EXPECT_TRUE(p.getInputsBound());
    EXPECT_EQ(p.boundInputCount(), 3u);
    std::vector<int> seen;
    int rc;
    while ((rc = getNextRow(&p, nullptr, -1, 0)) == DB_OK) {
        seen.push_back(p.getDataPtr()->r_n);
        EXPECT_EQ(p.getDataPtr()->r_big, 1LL << 40);
        EXPECT_STREQ(p.getDataPtr()->r_text, "it's <x/>");
    }
    EXPECT_EQ(rc, DB_NO_DATA);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));

    p.setValues(1, 0, nullptr);  // a null text is taken as empty
    ASSERT_EQ(getOneRow(&p, false, -1, 0), DB_OK);
    EXPECT_EQ(p.getDataPtr()->r_text, nullptr);

    p.setValues(-1, 0, "");
    rc = getNextRow(&p, nullptr, -1, 0);
    EXPECT_EQ(rc, DB_ERR_PROCEDURE);
    EXPECT_NE(std::strstr(p.getErrorStr(rc), "negative count"), nullptr);
}

TEST_F(DbTableTest, ProceduresOnThePrintedPath) {
    DBtable::b_newDBBase = false;
    GadgetEcho p(nullptr);
    EXPECT_EQ(p.getSchemaObject(), nullptr);  // no schema object without the new base
    const char* text = "a 'quoted' word";
    p.setValues(2, -(1LL << 50), text);
    EXPECT_FALSE(p.getInputsBound());
    EXPECT_EQ(GadgetEcho::capacity(2, 0, text), std::strlen("%d,%lld,N'%s'") + 12 + 22 + std::strlen(text));
    EXPECT_EQ(p.getValuesClause(), "2,-1125899906842624,N'a ''quoted'' word'");
    ASSERT_EQ(getNextRow(&p, nullptr, -1, 0), DB_OK);
    EXPECT_EQ(p.getDataPtr()->r_big, -(1LL << 50));
    EXPECT_STREQ(p.getDataPtr()->r_text, text);

    GadgetStatus s(nullptr);  // no result columns: run with getNextRow, read as text
    EXPECT_EQ(s.getColumnList(), "");
    ASSERT_EQ(s.openCursor(), DB_OK);
    std::string xml;
    ASSERT_EQ(s.getCursorText(xml), DB_OK);
    EXPECT_EQ(xml, "<Status ok=\"1\"/>");
    EXPECT_EQ(s.closeCursor(), DB_OK);
    EXPECT_EQ(getNextRow(&s, nullptr, -1, 0), DB_OK);

    DBtable missing("NoSuchProcedure", 0, nullptr);
    missing.setKind(DBtable::kProcedure);
    EXPECT_EQ(getNextRow(&missing, nullptr, -1, 0), DB_ERR_NO_PROCEDURE);
}
