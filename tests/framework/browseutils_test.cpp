#include "framework/browseutils.h"

#include <gtest/gtest.h>

#include <cstring>

#include "framework/zycast.h"

namespace {

TEST(StrcpyBufferSafe, SizeFive) {
    char buf[8];
    memset(buf, 'Z', sizeof(buf));
    strcpy_buffer_safe(buf, "abcd", 5);
    EXPECT_STREQ(buf, "abcd");
    memset(buf, 'Z', sizeof(buf));
    strcpy_buffer_safe(buf, "abcde", 5);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(buf[5], 'Z');  // nothing past the field
    memset(buf, 'Z', sizeof(buf));
    strcpy_buffer_safe(buf, "abcdefgh", 5);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(buf[5], 'Z');
}

TEST(StrcpyBufferSafe, SizeZeroAndOneAndNull) {
    char buf[4] = {'x', 'y', 'z', '\0'};
    strcpy_buffer_safe(buf, "abc", 0);
    EXPECT_STREQ(buf, "xyz");
    strcpy_buffer_safe(buf, "abc", 1);
    EXPECT_STREQ(buf, "");
    strcpy_buffer_safe(buf, nullptr, 4);
    EXPECT_STREQ(buf, "");
    strcpy_buffer_safe(nullptr, "abc", 4);  // tolerated
}

TEST(Delimiters, OnlyTheFourCharacters) {
    for (int c = 0; c < 256; ++c) {
        bool want = c == ',' || c == '.' || c == '/' || c == '\\';
        EXPECT_EQ(isDelimiter(static_cast<char>(c)), want) << c;
    }
    EXPECT_EQ(getDelimiter("a.b/c"), '.');
    EXPECT_EQ(getDelimiter("abc"), 0);
    EXPECT_EQ(getDelimiter(nullptr), 0);
    EXPECT_EQ(getDelimiter("/x"), '/');
}

TEST(FindLastDelimiter, UsesThePathsFirstDelimiter) {
    const char* path = "D:\\data\\file.txt";
    EXPECT_EQ(findLastDelimiter(path), path + 7);  // the second backslash, not the '.'
    EXPECT_EQ(findLastDelimiter("nodelimiter"), nullptr);
    EXPECT_EQ(findLastDelimiter(static_cast<const char*>(nullptr)), nullptr);
    const char* single = "\\";
    EXPECT_EQ(findLastDelimiter(single), single);
    char writable[] = "/a/b/c";
    char* p = findLastDelimiter(writable);
    ASSERT_EQ(p, writable + 4);
    *p = '\0';
    EXPECT_STREQ(writable, "/a/b");
}

TEST(FindLastDelimiter, IgnoresEverythingFromTheWildcardMarker) {
    const char* path = "\\dir\\sub\\/\\/more\\x";
    EXPECT_EQ(findLastDelimiter(path), path + 4);  // the backslash before "sub"
    // The path's delimiter occurs only in the marker and after it.
    EXPECT_EQ(findLastDelimiter("abc\\/\\/d\\e"), nullptr);
    // '/' is the first delimiter; before the marker it occurs once.
    const char* slash = "/a\\/\\/b/c";
    EXPECT_EQ(findLastDelimiter(slash), slash);
    EXPECT_EQ(findLastDelimiter("\\/\\/"), nullptr);
}

TEST(EndsWithDelimiter, Cases) {
    char empty[] = "";
    char text[] = "a\\";
    EXPECT_FALSE(endsWithDelimiter(empty, "\\"));
    EXPECT_TRUE(endsWithDelimiter(text, "\\"));
    EXPECT_FALSE(endsWithDelimiter(text, "/"));
    EXPECT_FALSE(endsWithDelimiter(nullptr, "/"));
    EXPECT_FALSE(endsWithDelimiter(text, nullptr));
}

TEST(IsRootPath, MailboxRootAndOthers) {
    EXPECT_TRUE(isRootPath("\\MB\\"));
    EXPECT_TRUE(isRootPath("\\MB"));
    EXPECT_FALSE(isRootPath("\\MB\\x"));
    EXPECT_TRUE(isRootPath("\\"));
    EXPECT_TRUE(isRootPath(""));
    EXPECT_FALSE(isRootPath("\\a"));
    EXPECT_FALSE(isRootPath("ab"));
    EXPECT_FALSE(isRootPath("\\mb\\"));  // the prefix is exact
}

TEST(MakeVersion, Values) {
    unsigned int v = 12345;
    EXPECT_EQ(makeVersion("11.0", v), 1100u);
    EXPECT_EQ(v, 1100u);
    EXPECT_EQ(makeVersion("10", v), 1000u);
    EXPECT_EQ(makeVersion("9.0", v), 900u);
    EXPECT_EQ(makeVersion("11.20", v), 1300u);
    EXPECT_EQ(makeVersion("abc", v), 0u);
    EXPECT_EQ(makeVersion("", v), 0u);
    EXPECT_EQ(makeVersion("9.5", v), 950u);
    EXPECT_EQ(makeVersion(" 11.2 SP3", v), 1120u);
}

TEST(MakeVersion, ReleasesBelowTenStayBelowTen) {
    unsigned int v = 0;
    EXPECT_EQ(makeVersion("9.10", v), 999u);
    EXPECT_LE(makeVersion("9.99", v), 999u);
    EXPECT_LE(makeVersion("1.1000", v), 999u);
    EXPECT_GT(makeVersion("10.0", v), 999u);
}

TEST(MakeVersion, NegativeAndHugeParts) {
    unsigned int v = 0;
    EXPECT_EQ(makeVersion("-5", v), 0u);
    EXPECT_EQ(makeVersion("11.-3", v), 1100u);
    EXPECT_EQ(makeVersion("99999999999999", v), 0xFFFFFFFFu);
    EXPECT_EQ(makeVersion("50000000", v), 0xFFFFFFFFu);  // 5e9 does not wrap to a small number
}

TEST(SubConfItemFileType, Table) {
    const unsigned int browsed[] = {0,  1,  10, 11, 12, 13, 17, 18, 19, 20, 21, 24, 25, 29, 33, 34, 36,
                                    38, 39, 40, 41, 42, 43, 48, 58, 63, 64, 65, 66, 75, 83, 86, 88};
    static_assert(sizeof(browsed) / sizeof(browsed[0]) == 33);
    int eights = 0;
    for (unsigned int t = 0; t < 300; ++t) {
        unsigned int ft = getSubConfItemFileType(apptype::of(t));
        EXPECT_TRUE(ft == 8 || ft == 1);
        if (ft == 8) ++eights;
    }
    EXPECT_EQ(eights, 33);
    for (unsigned int t : browsed) EXPECT_EQ(getSubConfItemFileType(apptype::of(t)), 8u) << t;
    EXPECT_EQ(getSubConfItemFileType(apptype::of(88)), 8u);
    EXPECT_EQ(getSubConfItemFileType(apptype::of(89)), 1u);
    EXPECT_EQ(getSubConfItemFileType(apptype::of(2)), 1u);
    EXPECT_EQ(getSubConfItemFileType(apptype::of(0xFFFFFFFFu)), 1u);
}

TEST(Zycast, Conversions) {
    long v = -3;
    EXPECT_EQ(zycast::lld(v), -3LL);
    EXPECT_EQ(zycast::llu(v), static_cast<unsigned long long>(-3LL));
    EXPECT_EQ(zycast::ld(v), -3L);
    char buf[64];
    snprintf(buf, sizeof(buf), "%lld %llu %ld", zycast::lld(v), zycast::llu(5L), zycast::ld(7L));
    EXPECT_STREQ(buf, "-3 5 7");
}

}  // namespace
