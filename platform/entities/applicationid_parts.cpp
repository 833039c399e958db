// ApplicationId's parts: the client, instance and backup set of an application named by its id, each
// read back from its own row so that a part that no longer exists is reported as missing.
#include <string>

#include "platform/db/dbresult.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/zyclient.h"

namespace {}  // namespace

std::unique_ptr<ZYClient> ApplicationId::getClient(void* transaction) {
    if (resolve(transaction) != zydb::DB_OK || m_info.clientId <= 0) return nullptr;
    auto client = std::make_unique<ZYClient>(static_cast<unsigned long>(m_info.clientId));
    if (client->lookup() != zydb::DB_OK) return nullptr;
    return client;
}

std::unique_ptr<Instance> ApplicationId::getInstance(void* transaction) {
    if (resolve(transaction) != zydb::DB_OK || m_info.instanceId <= 0) return nullptr;
    const auto id = static_cast<unsigned long>(m_info.instanceId);
    std::unique_ptr<Instance> instance;
    if (apptype::of(m_info.appType) == apptype::kVirtualServer)
        instance = std::make_unique<InstanceTypeVirtualServer>(id);
    else
        instance = std::make_unique<Instance>(id);
    if (instance->initContent(transaction, true, false) != zydb::DB_OK) return nullptr;
    return instance;
}

std::unique_ptr<BackupSet> ApplicationId::getBackupSet(void* transaction) {
    if (resolve(transaction) != zydb::DB_OK || m_info.backupSetId <= 0) return nullptr;
    auto backupSet = std::make_unique<BackupSet>(static_cast<unsigned long>(m_info.backupSetId));
    std::string guid;  // a GUID question fails with the row's own read when the backup set is missing
    const int rc = backupSet->getGUIDStr(guid, transaction);
    if (rc != zydb::DB_OK && rc != ENTITY_PROPERTY_NOT_SET) return nullptr;
    return backupSet;
}

int ApplicationId::getAppType(unsigned long& appType, void* transaction) {
    const int rc = resolve(transaction);
    if (rc != zydb::DB_OK) return rc;
    appType = static_cast<unsigned long>(m_info.appType);
    return zydb::DB_OK;
}
