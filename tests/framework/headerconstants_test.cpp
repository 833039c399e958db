#include "framework/headerconstants.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(HeaderConstants, GeneralAndPropertyNames) {
    EXPECT_EQ(vmFatalError, "**FatalError**");
    EXPECT_EQ(JMBackupOptypeListForBLR, "4, 14, 18, 30, 43, 59, 60, 65");
    EXPECT_EQ(ZY_FLUX_DRIVE_USER_ID, "Flux Drive User Id");
    EXPECT_EQ(ZY_PROP_PREPOST_CREDENTIAL_REF_ID, "prepost Credential Assoc Id");
    EXPECT_EQ(ZY_ORACLE_DB_ARCHIVE_CONFIG_OPTIONS_XML, "Oracle DB Archive Config Options XML");
    EXPECT_EQ(ZY_PROP_VDI_TIMEOUT, "MSSQL VDI Timeout");
    EXPECT_EQ(DYNAMODB, "DynamoDB");
    EXPECT_EQ(DOCUMENTDB, "DocumentDB");
    EXPECT_EQ(IBMI_DEFAULT_DR_SUBCLIENT_CONTENT, "/<DR Images>");
    EXPECT_EQ(IBMI_DEFAULT_SR_ROOT_SERVER_DIR, "/var/tessellon/DR_IMAGES");
}

TEST(HeaderConstants, ConfigurationKeysHoldTheirOwnNames) {
    EXPECT_EQ(CONFIGID_HM_ALWAYS_REPLY_V1_BROWSE, "HM_ALWAYS_REPLY_V1_BROWSE");
    EXPECT_EQ(CONFIGID_HM_CHECK_CLIENT_MAP, "HM_CHECK_CLIENT_MAP");
    EXPECT_EQ(CONFIGID_MAX_UPLOADERS, "MAX_UPLOADERS");
    const auto& keys = allIdxConfigKeys();
    ASSERT_EQ(keys.size(), 162u);
    EXPECT_EQ(*keys.front(), "UPLOAD_RETRY_INTERVAL");
    EXPECT_EQ(*keys[1], "MAX_UPLOADERS");
    EXPECT_EQ(*keys[160], "LUCENEDBMANAGER_BROWSE_THREADPOOL_SIZE");
    EXPECT_EQ(keys.back(), &DUMMY_LAST_CONFIG_KEY);
    EXPECT_EQ(*keys.back(), "DUMMY_LAST_CONFIG_KEY");
    std::set<std::string> unique;
    for (const auto* k : keys) unique.insert(*k);
    EXPECT_EQ(unique.size(), 162u);
}

}  // namespace
