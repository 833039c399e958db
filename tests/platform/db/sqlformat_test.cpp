// The SQL format scanner: literals with conversions are bound, numbers keep their real type, hostile
// text never becomes SQL, and the printed values clause of procedures round-trips.
#include "platform/db/sqlformat.h"

#include <gtest/gtest.h>

#include <climits>

#include "platform/db/dbresult.h"

using namespace zydb;

namespace {

template <class... A>
BoundSql bind(const char* fmt, const A&... a) {
    SqlArg list[sizeof...(A) + 1] = {toSqlArg(a)...};
    BoundSql b;
    bindSqlFormat(fmt, list, sizeof...(A), b);
    return b;
}

template <class... A>
BoundSql print(const char* fmt, const A&... a) {
    SqlArg list[sizeof...(A) + 1] = {toSqlArg(a)...};
    BoundSql b;
    printSqlFormat(fmt, list, sizeof...(A), b);
    return b;
}

}  // namespace

TEST(SqlFormat, QuotedConversionsBecomeParameters) {
    BoundSql b = bind("name = '%s', net_hostname = '%s' and id = %d", "a", "b", 7);
    ASSERT_EQ(b.rc, DB_OK) << b.error;
    EXPECT_EQ(b.text, "name = ?, net_hostname = ? and id = 7");
    ASSERT_EQ(b.params.size(), 2u);
    EXPECT_EQ(b.params[0].s, "a");
    EXPECT_EQ(b.params[1].s, "b");

    // A national literal loses its N with the quotes; a pattern keeps its wildcards in the value.
    b = bind("attrName = N'%s' and v like '%%%s%%'", "Virtual Machine Instance UUID", "x");
    ASSERT_EQ(b.rc, DB_OK);
    EXPECT_EQ(b.text, "attrName = ? and v like ?");
    EXPECT_EQ(b.params[0].s, "Virtual Machine Instance UUID");
    EXPECT_EQ(b.params[1].s, "%x%");

    // Literals without conversions are the code's own text and stay in place.
    b = bind("AttrName='EndUser Erase Enabled' and attrVal='1' and clientId=%d", 3);
    EXPECT_EQ(b.text, "AttrName='EndUser Erase Enabled' and attrVal='1' and clientId=3");
    EXPECT_TRUE(b.params.empty());
}

TEST(SqlFormat, HostileTextStaysAValue) {
    const char* evil = "x'; DROP TABLE APP_Client; --";
    BoundSql b = bind("guid = '%s'", evil);
    ASSERT_EQ(b.rc, DB_OK);
    EXPECT_EQ(b.text, "guid = ?");
    EXPECT_EQ(b.params[0].s, evil);

    // Outside quotes only numbers may be pasted.
    EXPECT_EQ(bind("id in (%s)", "1, 2, 3").text, "id in (1, 2, 3)");
    BoundSql bad = bind("id in (%s)", "1) or (1=1");
    EXPECT_EQ(bad.rc, DB_ERR_ARGUMENT);
    EXPECT_TRUE(bad.text.empty());

    // Nothing pasted may comment out the rest of the clause.
    EXPECT_EQ(bind("id = %s and clientId = %d", "5 --", 3).rc, DB_ERR_ARGUMENT);
    EXPECT_EQ(bind("id = -%s and clientId = %d", "-5", 3).text, "id = - -5 and clientId = 3");
    EXPECT_EQ(bind("id = %s-1 and clientId = %d", "7 -", 3).text, "id = 7 - -1 and clientId = 3");
    EXPECT_EQ(bind("t = 10-%d and clientId = %d", -4, 3).text, "t = 10- -4 and clientId = 3");
}

TEST(SqlFormat, NumbersFollowTheirRealType) {
    long long big = (1LL << 40) + 5;
    EXPECT_EQ(bind("t = %d", big).text, "t = 1099511627781");
    EXPECT_EQ(bind("t = %u", -1).text, "t = -1");
    EXPECT_EQ(bind("t = %lu", 4000000000u).text, "t = 4000000000");
    EXPECT_EQ(bind("t = %lld", LLONG_MIN).text, "t = -9223372036854775808");
    EXPECT_EQ(bind("m & 0x%x = %d", -1, 2).text, "m & 0xffffffff = 2");
    EXPECT_EQ(bind("v = %05d", 42).text, "v = 00042");
    // A number inside quotes becomes part of the bound text.
    BoundSql b = bind("attrVal = '%d'", 12);
    EXPECT_EQ(b.text, "attrVal = ?");
    EXPECT_EQ(b.params[0].s, "12");
}

TEST(SqlFormat, MismatchesAndOddInputsAreErrors) {
    EXPECT_EQ(bind("a = %d and b = %d", 1).rc, DB_ERR_ARGUMENT);
    EXPECT_EQ(bind("a = %d", 1, 2).rc, DB_ERR_ARGUMENT);
    EXPECT_EQ(bind("a = %d", "text").rc, DB_ERR_ARGUMENT);
    EXPECT_EQ(bind("a = '%s", "x").rc, DB_ERR_ARGUMENT);
    EXPECT_EQ(bind("a = %n", 1).rc, DB_ERR_ARGUMENT);
    EXPECT_EQ(bind("a = ? and b = %d", 1).rc, DB_ERR_ARGUMENT);

    // A null text is empty, and said so.
    const char* none = nullptr;
    BoundSql b = bind("guid = '%s'", none);
    ASSERT_EQ(b.rc, DB_OK);
    EXPECT_EQ(b.params[0].s, "");
    EXPECT_EQ(b.notes.size(), 1u);

    // Without arguments a lone % is a character; %% still means one.
    EXPECT_EQ(bind("name like '%abc%' and x = '100%%'").text, "name like '%abc%' and x = '100%'");
}

TEST(SqlFormat, PrintedValuesClauseEscapesAndRoundTrips) {
    std::string xml = "<a b='1'/>";
    BoundSql p = print("%d,%d,'%s',N'%s'", 1, 2LL << 35, xml.c_str(), "");
    ASSERT_EQ(p.rc, DB_OK);
    EXPECT_EQ(p.text, "1,68719476736,'<a b=''1''/>',N''");
    // Sized after escaping: every quote doubled is in the text, nothing cut.
    EXPECT_EQ(p.text.size(), std::string("1,68719476736,'',N''").size() + xml.size() + 2);

    std::vector<DbValue> v;
    ASSERT_TRUE(parseValuesClause(p.text, v));
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0].i, 1);
    EXPECT_EQ(v[1].i, 2LL << 35);
    EXPECT_EQ(v[2].s, xml);
    EXPECT_EQ(v[3].s, "");
    EXPECT_FALSE(parseValuesClause("1,'open", v));
    EXPECT_FALSE(parseValuesClause("1,,2", v));
    EXPECT_TRUE(parseValuesClause("", v));
    EXPECT_TRUE(v.empty());
}
