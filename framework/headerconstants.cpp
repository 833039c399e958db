#include "framework/headerconstants.h"

const std::string vmFatalError = "**FatalError**";
const std::string JMBackupOptypeListForBLR = "4, 14, 18, 30, 43, 59, 60, 65";

const std::string ZY_FLUX_DRIVE_USER_ID = "Flux Drive User Id";
const std::string ZY_FLUX_DRIVE_USER_GUID = "Flux Drive User GUID";
const std::string ZY_PROP_UNC_CREDENTIAL_REF_ID = "UNCPath Credential Assoc Id";
const std::string ZY_PROP_PREPOST_CREDENTIAL_REF_ID = "prepost Credential Assoc Id";
const std::string ZY_PROP_USE_CREDENTIAL_USER = "Use Credential Record";
const std::string ZY_DB_DUMP_CONFIG_XML = "DB Dump Config";
const std::string ZY_ORACLE_DB_ARCHIVE_CONFIG_OPTIONS_XML = "Oracle DB Archive Config Options XML";
const std::string ZY_CLOUD_USER_ID = "Cloud User ID";
const std::string ZY_CLOUD_USER_PASSWORD = "Cloud User Password";
const std::string ZY_CLOUD_AZURE_SUBSCRIPTION_ID = "Azure Subscription Id";
const std::string ZY_CLOUD_AZURE_TENANT_ID = "Azure Tenant Id";
const std::string ZY_PROP_CLOUD_VS_AMAZON_ACCESS_KEY = "Amazon Center Access Key";
const std::string ZY_PROP_CLOUD_VS_AMAZON_SECRET_KEY = "Amazon Center Secret Key";
const std::string ZY_PROP_SHAREPOINT_SQL_CLIENT_ID = "SharePoint SQL Client Id";
const std::string ZY_PROP_SHAREPOINT_RBS_CLIENT_ID = "SharePoint RBS Store Client Id";
const std::string ZY_PROP_VDI_TIMEOUT = "MSSQL VDI Timeout";

const std::string RDS = "RDS";
const std::string DYNAMODB = "DynamoDB";
const std::string REDSHIFT = "Redshift";
const std::string DOCUMENTDB = "DocumentDB";

const std::string IBMI_DEFAULT_DR_SUBCLIENT_NAME = "DR Subclient";
const std::string IBMI_DEFAULT_DR_SUBCLIENT_CONTENT = "/<DR Images>";
const std::string IBMI_DEFAULT_DR_SUBCLIENT_DESCRIPTION = "System created DR Subclient";
const std::string IBMI_DEFAULT_SR_ROOT_SERVER_DIR = "/var/tessellon/DR_IMAGES";

#define CONFIGID_KEY(name) const std::string CONFIGID_##name = #name;
#include "framework/idxconfigkeys.def"
#undef CONFIGID_KEY
const std::string DUMMY_LAST_CONFIG_KEY = "DUMMY_LAST_CONFIG_KEY";

const std::vector<const std::string*>& allIdxConfigKeys() {
    static const std::vector<const std::string*> keys = {
#define CONFIGID_KEY(name) &CONFIGID_##name,
#include "framework/idxconfigkeys.def"
#undef CONFIGID_KEY
        &DUMMY_LAST_CONFIG_KEY,
    };
    return keys;
}
