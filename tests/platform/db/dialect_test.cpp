// The dialect normaliser, text in and text out; that the rewritten clauses choose the right rows is
// tested over seeded databases in the hubdb tests.
#include "platform/db/dialect.h"

#include <gtest/gtest.h>

using zydb::normalizeDialect;

TEST(Dialect, TableHintsAreDropped) {
    EXPECT_EQ(normalizeDialect("SELECT * FROM APP_subclientProp p WITH(NOLOCK) WHERE p.x = 1"),
              "SELECT * FROM APP_subclientProp p  WHERE p.x = 1");
    EXPECT_EQ(normalizeDialect("FROM APP_SubClientProp SP (NOLOCK) JOIN APP_ComponentProp CP (NOLOCK) ON"),
              "FROM APP_SubClientProp SP  JOIN APP_ComponentProp CP  ON");
    EXPECT_EQ(normalizeDialect("select id from App_Application(NOLOCK) where a=1"),
              "select id from App_Application where a=1");
    EXPECT_EQ(normalizeDialect("from archFile a1 with (NOLOCK, READPAST) where"), "from archFile a1  where");
    // A column list in parentheses is not a hint.
    EXPECT_EQ(normalizeDialect("status IN (1, 3, 14)"), "status IN (1, 3, 14)");
    // Hints inside literals are data.
    EXPECT_EQ(normalizeDialect("name = 'WITH(NOLOCK)'"), "name = 'WITH(NOLOCK)'");
}

TEST(Dialect, NationalLiteralsAndIsnull) {
    EXPECT_EQ(normalizeDialect("cs_afname = CHECKSUM(N'IdxLogs_V1') and name = N'IdxLogs_V1'"),
              "cs_afname = CHECKSUM('IdxLogs_V1') and name = 'IdxLogs_V1'");
    EXPECT_EQ(normalizeDialect("(ISNULL((SELECT action FROM t), 0) = 0"),
              "(IFNULL((SELECT action FROM t), 0) = 0");
    EXPECT_EQ(normalizeDialect("x ISNULL"), "x ISNULL");
    // A column named N or ending in n before a literal is not a prefix.
    EXPECT_EQ(normalizeDialect("attrName = N'a' and an='b'"), "attrName = 'a' and an='b'");
}

TEST(Dialect, TopBecomesALimitAtTheEndOfItsSelect) {
    EXPECT_EQ(normalizeDialect("id in (select TOP 1 id from archFile where a=1 order by ctime desc)"),
              "id in (select  id from archFile where a=1 order by ctime desc LIMIT 1 )");
    EXPECT_EQ(
        normalizeDialect("ClientID = (SELECT TOP 1 clientID from App_Application WHERE backupset = 5) AND x"),
        "ClientID = (SELECT  clientID from App_Application WHERE backupset = 5 LIMIT 1 ) AND x");
    EXPECT_EQ(normalizeDialect("SELECT DISTINCT TOP (3) a FROM t"), "SELECT DISTINCT  a FROM t LIMIT 3 ");
    // Nested selects keep their own limits.
    EXPECT_EQ(normalizeDialect("select top 2 a from t where b in (select top 1 c from u)"),
              "select  a from t where b in (select  c from u LIMIT 1 ) LIMIT 2 ");
}
