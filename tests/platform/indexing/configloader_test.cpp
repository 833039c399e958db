// The index configuration loader over a real key file named by a real registry file, and the
// index-database key.
#include "platform/indexing/configloader.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/config/zyplatforminfo.h"
#include "platform/indexing/indexingutils.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"

namespace {

class ConfigLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
    }
    void TearDown() override { ZYPlatformInfo::setRegistryPath(""); }

    void writeKeys(const std::string& text) {
        std::ofstream(dir.file("idx.keys")) << text;
        ASSERT_TRUE(ZYPlatformInfo::setString("~Indexing", "sIdxConfigKeyFile", dir.file("idx.keys")));
    }

    TempDir dir;
};

TEST_F(ConfigLoaderTest, KeysFromTheKeyFile) {
    writeKeys(
        "# index server keys\n"
        "HM_ALWAYS_REPLY_V1_BROWSE = 1\n"
        "  hm_check_client_map=0x10  \n"
        "; a later line wins\n"
        "HM_CHECK_CLIENT_MAP = 3\n"
        "BROKEN = twelve\n"
        "not a key line\n");
    I2::Utils::ConfigLoader loader;
    int value = -1;
    EXPECT_FALSE(loader.GetProperty("HM_ALWAYS_REPLY_V1_BROWSE", "", value).IsError());
    EXPECT_EQ(value, 1);
    EXPECT_FALSE(loader.GetProperty("HM_CHECK_CLIENT_MAP", "", value).IsError());
    EXPECT_EQ(value, 3);
    value = 9;
    EXPECT_TRUE(loader.GetProperty("BROKEN", "", value).IsError());
    EXPECT_EQ(value, 9);
    std::string text;
    EXPECT_TRUE(loader.GetPropertyText("broken", text));
    EXPECT_EQ(text, "twelve");
}

TEST_F(ConfigLoaderTest, AbsentKeysTakeTheirDefault) {
    I2::Utils::ConfigLoader loader;
    int value = -1;
    EXPECT_FALSE(loader.GetProperty("HM_CHECK_CLIENT_MAP", "", value).IsError());  // no key file configured
    EXPECT_EQ(value, 0);
    writeKeys("OTHER = 5\n");
    value = -1;
    EXPECT_FALSE(loader.GetProperty("HM_CHECK_CLIENT_MAP", "7", value).IsError());
    EXPECT_EQ(value, 7);
    value = -1;
    EXPECT_TRUE(loader.GetProperty("HM_CHECK_CLIENT_MAP", "seven", value).IsError());
    EXPECT_EQ(value, -1);
    ASSERT_TRUE(ZYPlatformInfo::setString("~Indexing", "sIdxConfigKeyFile", dir.file("missing.keys")));
    EXPECT_FALSE(loader.GetProperty("HM_CHECK_CLIENT_MAP", "", value).IsError());
    EXPECT_EQ(value, 0);
    std::string text = "kept";
    EXPECT_FALSE(loader.GetPropertyText("HM_CHECK_CLIENT_MAP", text));
    EXPECT_EQ(text, "kept");
}

TEST(IndexingUtils, BackupSetAndDatabaseKey) {
    EXPECT_EQ(I2::Utils::FormBackupSetAndDbName("BS-GUID", "db1"), "BS-GUID:db1");
    EXPECT_EQ(I2::Utils::FormBackupSetAndDbName("", "db1"), ":db1");
    EXPECT_EQ(I2::Utils::FormBackupSetAndDbName("", ""), ":");
}

}  // namespace
