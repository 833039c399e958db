// Multi-string registry values read into fixed buffers, and the platform type.
#include <gtest/gtest.h>

#include <string>

#include "platform/config/zyplatforminfo.h"
#include "tests/platform/db/tempdir.h"

namespace {

class RegistryValues : public ::testing::Test {
protected:
    void SetUp() override { ZYPlatformInfo::setRegistryPath(dir.file("registry.ini")); }
    void TearDown() override { ZYPlatformInfo::setRegistryPath(""); }
    TempDir dir;
};

TEST_F(RegistryValues, MultiStringIsCutAtTheBuffer) {
    char buffer[16];
    EXPECT_EQ(ZYPlatformInfo::getMultiString("MediaAgent", "list", buffer, sizeof(buffer)), 0u);
    ASSERT_TRUE(ZYPlatformInfo::setString("MediaAgent", "list", "12\\0345\\06789"));
    ASSERT_EQ(ZYPlatformInfo::getMultiString("MediaAgent", "list", buffer, sizeof(buffer)), 13u);
    EXPECT_EQ(std::string(buffer, 13), std::string("12\0"
                                                   "345\0"
                                                   "6789\0",
                                                   13));
    // A value longer than the buffer fills it and stops there, with no terminator promised.
    ASSERT_EQ(ZYPlatformInfo::getMultiString("MediaAgent", "list", buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer, 5), std::string("12\0"
                                                  "34",
                                                  5));
}

TEST_F(RegistryValues, PlatformTypeIsTheHubmasterUnlessSet) {
    EXPECT_EQ(ZYPlatformInfo::getZYPlatformType() & 2, 2u);
    ASSERT_TRUE(ZYPlatformInfo::setNumber("Base", "nZYPlatformType", 1));
    EXPECT_EQ(ZYPlatformInfo::getZYPlatformType(), 1u);
}

}  // namespace
