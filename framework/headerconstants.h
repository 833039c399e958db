// The header string constants: vocabulary shared with the server's other components.
// One definition of each for the whole library (headerconstants.cpp), built when the library loads
// and never changed; any thread may read them. No static initialiser of the library reads them.
#pragma once

#include <string>
#include <vector>

// General.
extern const std::string vmFatalError;
extern const std::string JMBackupOptypeListForBLR;

// Entity property names.
extern const std::string ZY_FLUX_DRIVE_USER_ID;
extern const std::string ZY_FLUX_DRIVE_USER_GUID;
extern const std::string ZY_PROP_UNC_CREDENTIAL_REF_ID;
extern const std::string ZY_PROP_PREPOST_CREDENTIAL_REF_ID;
extern const std::string ZY_PROP_USE_CREDENTIAL_USER;
extern const std::string ZY_DB_DUMP_CONFIG_XML;
extern const std::string ZY_ORACLE_DB_ARCHIVE_CONFIG_OPTIONS_XML;
extern const std::string ZY_CLOUD_USER_ID;
extern const std::string ZY_CLOUD_USER_PASSWORD;
extern const std::string ZY_CLOUD_AZURE_SUBSCRIPTION_ID;
extern const std::string ZY_CLOUD_AZURE_TENANT_ID;
extern const std::string ZY_PROP_CLOUD_VS_AMAZON_ACCESS_KEY;
extern const std::string ZY_PROP_CLOUD_VS_AMAZON_SECRET_KEY;
extern const std::string ZY_PROP_SHAREPOINT_SQL_CLIENT_ID;
extern const std::string ZY_PROP_SHAREPOINT_RBS_CLIENT_ID;
extern const std::string ZY_PROP_VDI_TIMEOUT;

// Cloud database service names.
extern const std::string RDS;
extern const std::string DYNAMODB;
extern const std::string REDSHIFT;
extern const std::string DOCUMENTDB;

// IBM i disaster-recovery subclient defaults.
extern const std::string IBMI_DEFAULT_DR_SUBCLIENT_NAME;
extern const std::string IBMI_DEFAULT_DR_SUBCLIENT_CONTENT;
extern const std::string IBMI_DEFAULT_DR_SUBCLIENT_DESCRIPTION;
extern const std::string IBMI_DEFAULT_SR_ROOT_SERVER_DIR;

// Index-server configuration keys: CONFIGID_<NAME> = "<NAME>" (161 of them), then
// DUMMY_LAST_CONFIG_KEY. The service itself reads CONFIGID_HM_ALWAYS_REPLY_V1_BROWSE and
// CONFIGID_HM_CHECK_CLIENT_MAP.
#define CONFIGID_KEY(name) extern const std::string CONFIGID_##name;
#include "framework/idxconfigkeys.def"
#undef CONFIGID_KEY
extern const std::string DUMMY_LAST_CONFIG_KEY;

// Every configuration key constant in its order of definition, DUMMY_LAST_CONFIG_KEY last (162).
const std::vector<const std::string*>& allIdxConfigKeys();
