// The row-family machinery: column value objects, schema objects and their once-built description,
// access objects as the constructor sets them up, DDL from a descriptor.
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "platform/threads/fxcriticalsection.h"
#include "tests/platform/db/gadget.h"

#define Widget_COLUMNS(COL) \
    COL(a, i)               \
    COL(when, x)            \
    COL(tag, sN<9>)
struct Widget_desc : zydb::TableDesc {
    static constexpr const char* className = "Widget";
    static constexpr const char* dbName = "widget";
    static constexpr const char* revision = "1.0";
    static constexpr const char* header = "tests/Widget";
    static constexpr int errorLine = 5;
    static constexpr auto primaryKeys = zydb::keys("a", "when");
};
ZYDB_FAMILY(Widget)

TEST(ColumnValues, NullUpdatedAndText) {
    ZYDB_int empty;
    EXPECT_TRUE(empty.isNull());
    EXPECT_EQ(empty.getUpdated(), ZYDBDataTypeBase::NotUpdated);
    EXPECT_EQ(empty.getDataType(), 1);
    EXPECT_EQ(empty.toString(0), "");

    ZYDB_int five(5);
    EXPECT_FALSE(five.isNull());
    EXPECT_EQ(five.getUpdated(), ZYDBDataTypeBase::Updated);
    EXPECT_EQ(five.toString(0), "5");
    int v = 0x01020304;
    EXPECT_TRUE(five.setData(reinterpret_cast<const char*>(&v), 0, 4, false));
    EXPECT_EQ(five.getValue(), v);
    EXPECT_FALSE(five.setData(reinterpret_cast<const char*>(&v), 2, 4, false));  // would leave the value

    ZYDB_int64 low(LLONG_MIN);
    EXPECT_EQ(low.getDataType(), 4);
    low.setString();
    EXPECT_EQ(low.getStr(), "-9223372036854775808");
    EXPECT_STREQ(ZYDB_int64::getFormatString(), "%lld");

    ZYDB_string s("abc");
    EXPECT_EQ(s.getDataType(), 6);
    s.setInternalNull(true);
    EXPECT_TRUE(s.isNull());
    EXPECT_EQ(s.getValue(), "");
    s.setInternalNull(true);  // no change
    EXPECT_EQ(s.getValue(), "");
    ZYDB_string t;
    ASSERT_TRUE(t.setData("xy", 0, 2, false));
    t.setInternalNull(false);  // leaving null keeps the value
    EXPECT_EQ(t.getValue(), "xy");
    EXPECT_EQ(t.toString(1), "x");
}

TEST(RowSchema, TableDescriptionAndKeys) {
    Gadget_t2 g;
    EXPECT_EQ(g.getTableName(), "Gadget");
    EXPECT_EQ(g.getHeaderType(), 1);
    EXPECT_EQ(Gadget_t2::generatedTypeString(), "i|s8|s|x|b|u6|");
    EXPECT_EQ(g.getStructDef(), "i|s8|s|b|b|u6|");
    EXPECT_EQ(g.getSerialColNum(), 0);
    EXPECT_EQ(g.getPrimaryWhere(), "id = ?");
    std::unique_ptr<std::vector<ZYDBDataTypeBase*>> keys(g.getPrimaryData());
    ASSERT_EQ(keys->size(), 1u);
    EXPECT_EQ((*keys)[0], g.getData()[0]);
    EXPECT_EQ(g.getData().size(), 6u);
    EXPECT_EQ(g.getData()[1]->getDataType(), 6);
    EXPECT_EQ(g.getData()[3]->getDataType(), 4);
    EXPECT_EQ(g.getColumnName(5), "wide");
    EXPECT_STREQ(g.getColumnName_t2(6), "");  // past the end: nothing read beyond it
    EXPECT_STREQ(g.getColumnName_t2(-1), "");
    EXPECT_EQ(g.searchForeignKey("owner"), 0);

    // Keyed by referenced table: the later key to "owner" replaced the earlier one.
    auto fk = g.getForeignKeyMap();
    ASSERT_EQ(fk.size(), 2u);
    EXPECT_EQ(fk["owner"], (std::map<std::string, std::string>{{"size", "id"}}));
    EXPECT_EQ(fk["part"], (std::map<std::string, std::string>{{"id", "gadgetId"}, {"stamp", "made"}}));

    Widget_t2 w;
    EXPECT_EQ(w.getPrimaryWhere(), "a = ?AND when = ?");
    EXPECT_EQ(w.getSerialColNum(), -1);
    EXPECT_TRUE(w.getForeignKeyMap().empty());
}

TEST(RowSchema, ProceduresAndEmptyFamilies) {
    GadgetEcho_t2 p;
    EXPECT_EQ(p.getHeaderType(), 2);
    EXPECT_EQ(p.getStructDef(), "i|b|s|");
    EXPECT_EQ(p.getSerialColNum(), -1);
    EXPECT_EQ(p.getPrimaryWhere(), "");
    std::unique_ptr<std::vector<ZYDBDataTypeBase*>> none(p.getPrimaryData());
    EXPECT_TRUE(none->empty());

    GadgetStatus_t2 s;
    EXPECT_EQ(s.getStructDef(), "");
    EXPECT_TRUE(s.getData().empty());
    EXPECT_TRUE(GadgetStatus_t2::m_staticColumnVec.empty());

    EXPECT_EQ(ZYDBRowBase::fillForTime("i|x|s5|x|"), "i|b|s5|b|");
    EXPECT_EQ(ZYDBRowBase::fillForTime("i|s|"), "i|s|");
    EXPECT_EQ(ZYDBRowBase::fillForTime(""), "");
}

TEST(RowSchema, DescriptionIsBuiltOnceAndNeverRewritten) {
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; ++k)
        threads.emplace_back([] {
            for (int n = 0; n < 50; ++n) Widget_t2 w;
        });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(Widget_t2::s_isInitialized.load());
    EXPECT_EQ(Widget_t2::m_staticColumnVec, (std::vector<std::string>{"a", "when", "tag"}));

    Widget_t2 a, b;
    a.setTableName("Renamed");
    a.pushColumnName("extra");
    EXPECT_EQ(b.getTableName(), "Widget");
    EXPECT_EQ(Widget_t2::m_staticColumnVec.size(), 3u);
    ZYDBDataTypeBase* before = a.getData()[0];
    ZYDBRowBase& ra = a;
    ZYDBRowBase& rb = b;
    EXPECT_EQ(&(ra = rb), &ra);  // assignment copies nothing
    EXPECT_EQ(a.getData()[0], before);
    EXPECT_NE(a.getData()[0], b.getData()[0]);  // every object owns its value objects
}

TEST(AccessObject, ConstructorDescribesTheFamily) {
    Gadget g(nullptr);
    EXPECT_STREQ(g.getTableName(), "gadget");
    EXPECT_EQ(g.getKind(), DBtable::kTable);
    EXPECT_EQ(g.getDescription(), "Table Gadget");
    EXPECT_EQ(g.getColumnList(), "id, label, note, stamp, size, wide");
    EXPECT_STREQ(g.getHeaderRevisionText(), "1.2.3");
    EXPECT_STREQ(g.getSerialColumnName(), "id");
    EXPECT_EQ(g.getSerialColumnPtr(), &g.getDataPtr()->id);
    ASSERT_NE(g.getSchemaObject(), nullptr);
    EXPECT_EQ(g.getSchemaObject()->getTableName(), "Gadget");
    EXPECT_EQ(DBtable::DBCriticalSection.GetLockOwner(), 0);  // taken and given back

    Widget w(nullptr);
    EXPECT_STREQ(w.getSerialColumnName(), "");
    EXPECT_EQ(w.getSerialColumnPtr(), nullptr);

    GadgetEcho p(nullptr);
    EXPECT_EQ(p.getKind(), DBtable::kProcedure);
    EXPECT_EQ(p.getDescription(), "Procedure GadgetEcho");
    EXPECT_EQ(p.getSerialColumnName(), nullptr);

    DBtable::b_newDBBase = false;
    Gadget old(nullptr);
    EXPECT_EQ(old.getSchemaObject(), nullptr);
    DBtable::b_newDBBase = true;
}

TEST(AccessObject, RecordDefaultsAndBoundedCopies) {
    Widget_t w;
    EXPECT_EQ(w.a, 0);
    EXPECT_EQ(w.when, 0);
    EXPECT_STREQ(w.tag, "");
    std::memset(w.tag, 'z', sizeof w.tag);  // no NUL at all
    w.when = 1LL << 33;
    Widget_t c(w);
    EXPECT_EQ(std::strlen(c.tag), 8u);
    EXPECT_EQ(c.when, 1LL << 33);
}

TEST(Ddl, TablesFromDescriptors) {
    auto g = zydb::createTableSql(zydb::tableSpecOf<Gadget>());
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0],
              "CREATE TABLE IF NOT EXISTS gadget (id INTEGER PRIMARY KEY, label TEXT COLLATE NOCASE NOT NULL "
              "DEFAULT '', "
              "note TEXT COLLATE NOCASE, stamp INTEGER NOT NULL DEFAULT 0, size INTEGER NOT NULL DEFAULT 0, "
              "wide TEXT COLLATE NOCASE NOT NULL DEFAULT '')");
    zydb::TableSpec w = zydb::tableSpecOf<Widget>();
    w.indexes.push_back({"tag"});
    w.columns.push_back({"tagSum", 'i', 0, "CHECKSUM(tag)"});
    auto ws = zydb::createTableSql(w);
    ASSERT_EQ(ws.size(), 2u);
    EXPECT_NE(ws[0].find(", PRIMARY KEY (a, when)"), std::string::npos);
    EXPECT_NE(ws[0].find("tagSum INTEGER GENERATED ALWAYS AS (CHECKSUM(tag)) VIRTUAL"), std::string::npos);
    EXPECT_EQ(ws[1], "CREATE INDEX IF NOT EXISTS ix_widget_tag ON widget (tag)");
}
