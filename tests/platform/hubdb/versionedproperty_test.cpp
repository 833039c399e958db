// The one versioned property writer on every property table: explicit ids past the table's highest,
// the current row closed when a new value starts, an unchanged value left alone, other owners and names
// untouched, and a table that is not a property table refused.
#include "platform/hubdb/versionedproperty.h"

#include <gtest/gtest.h>

#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdbseed.h"
#include "tests/platform/db/tempdir.h"

namespace {

using zydb::DbValue;

TEST(VersionedProperty, EveryPropertyTable) {
    TempDir dir;
    hubdb::HubDbSeed seed(dir.file("hub.db"));
    ASSERT_TRUE(seed.ok()) << seed.error();
    zydb::IDbConnection& conn = *seed.connection();
    for (const std::string& table : hubdb::propertyTables()) {
        SCOPED_TRACE(table);
        const char* t = table.c_str();
        // A closed version from the past, so that ids must go past it.
        const int old =
            seed.addProperty(t, {.ownerId = 7, .name = "Size", .value = "1", .created = 10, .modified = 50});
        ASSERT_GT(old, 0);
        auto count = [&](const std::string& where) {
            return seed.queryInt("SELECT COUNT(*) FROM " + table + " WHERE " + where);
        };
        auto current = [&](long long owner) {
            return seed.queryInt("SELECT id FROM " + table +
                                     " WHERE componentNameId = ? AND attrName = 'Size' AND modified = 0",
                                 {DbValue::ofInt(owner)});
        };

        long long first = 0, again = 0, second = 0, other = 0;
        ASSERT_EQ(hubdb::setVersionedProperty(conn, t, 7, "Size", 0, "2", 100, &first), zydb::DB_OK);
        EXPECT_EQ(first, old + 1);
        ASSERT_EQ(hubdb::setVersionedProperty(conn, t, 7, "Size", 0, "2", 150, &again), zydb::DB_OK);
        EXPECT_EQ(again, first);  // unchanged: no new version
        ASSERT_EQ(hubdb::setVersionedProperty(conn, t, 8, "Size", 0, "2", 160, &other), zydb::DB_OK);
        ASSERT_EQ(hubdb::setVersionedProperty(conn, t, 7, "Size", 0, "3", 200, &second), zydb::DB_OK);
        EXPECT_EQ(second, other + 1);
        EXPECT_EQ(current(7), second);
        EXPECT_EQ(current(8), other);
        EXPECT_EQ(count("id = " + std::to_string(first) + " AND created = 100 AND modified = 200"), 1);
        EXPECT_EQ(count("id = " + std::to_string(second) + " AND created = 200 AND attrVal = '3'"), 1);
        EXPECT_EQ(count("id = " + std::to_string(old) + " AND modified = 50"), 1);  // history kept

        // The same text under another type is a change.
        long long typed = 0;
        ASSERT_EQ(hubdb::setVersionedProperty(conn, t, 7, "Size", 2, "3", 300, &typed), zydb::DB_OK);
        EXPECT_EQ(typed, second + 1);
        EXPECT_EQ(count("componentNameId = 7 AND modified = 0"), 1);
        EXPECT_EQ(count("id = 0"), 0);
        EXPECT_EQ(seed.queryInt("SELECT COUNT(DISTINCT id) FROM " + table), count("1 = 1"));
    }
    long long id = -1;
    EXPECT_EQ(hubdb::setVersionedProperty(conn, "APP_Client", 7, "Size", 0, "1", 1, &id),
              zydb::DB_ERR_ARGUMENT);
    EXPECT_EQ(hubdb::setVersionedProperty(conn, "UMUsersProp; DROP TABLE APP_Client", 7, "x", 0, "1", 1),
              zydb::DB_ERR_ARGUMENT);
    EXPECT_EQ(hubdb::setVersionedProperty(conn, nullptr, 7, "x", 0, "1", 1), zydb::DB_ERR_ARGUMENT);
    EXPECT_EQ(id, -1);
}

}  // namespace
