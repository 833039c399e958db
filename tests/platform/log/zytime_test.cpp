#include "platform/log/zytime.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(ZyTime, UtcAndLocalForms) {
    char buf[ZYTIME_BUFFER_SIZE];
    EXPECT_STREQ(ZyTime(0, buf, 1), "1970-01-01 00:00:00 UTC");
    EXPECT_STREQ(ZyTime(1700000000, buf, 1), "2023-11-14 22:13:20 UTC");
    EXPECT_EQ(ZyTime(1, buf, 0), buf);
    ASSERT_EQ(strlen(buf), 19u) << buf;
    EXPECT_EQ(buf[4], '-');
    EXPECT_EQ(buf[10], ' ');
    EXPECT_EQ(buf[13], ':');
    EXPECT_LT(strlen(ZyTime(0x7fffffffffffffffL, buf, 0)), ZYTIME_BUFFER_SIZE);
}
