#include "platform/entities/entityseed.h"

#include "platform/entities/platformschema.h"

namespace zyent {

namespace {
zydb::DbValue I(long long v) { return zydb::DbValue::ofInt(v); }
zydb::DbValue T(const std::string& v) { return zydb::DbValue::ofText(v); }
}  // namespace

SeedPart::SeedPart(hubdb::HubDbSeed& seed, EnsureSchema ensure) : m_seed(seed) {
    if (seed.connection() == nullptr)
        m_error = "the seed has no database";
    else
        ensure(*seed.connection(), &m_error);
}

int SeedPart::checked(long long id) {
    if (id < 0 && m_error.empty()) m_error = m_seed.error();
    return id < 0 ? -1 : static_cast<int>(id);
}

EntitySeed::EntitySeed(hubdb::HubDbSeed& seed) : SeedPart(seed, ensureEntitySchema) {}

int EntitySeed::addInstance(const InstanceSeed& s) {
    return checked(m_seed.insertRow("APP_InstanceName", {{"name", T(s.name)},
                                                         {"GUID", T(s.guid)},
                                                         {"clientId", I(s.clientId)},
                                                         {"appTypeId", I(s.appTypeId)}}));
}

int EntitySeed::addPropertyRow(const char* table, int ownerId, const std::string& name, const std::string& value,
                               long long created, long long modified) {
    // APP_ClientProp has no key for the database to number its rows: every table gets its id here.
    long long id = m_seed.queryInt(std::string("SELECT COALESCE(MAX(id), 0) + 1 FROM ") + table, {}, -1);
    if (id < 0) return checked(-1);
    return checked(m_seed.insertRow(table, {{"id", I(id)},
                                            {"componentNameId", I(ownerId)},
                                            {"attrName", T(name)},
                                            {"attrType", I(0)},
                                            {"attrVal", T(value)},
                                            {"created", I(created)},
                                            {"modified", I(modified)}}) < 0
                       ? -1
                       : id);
}

int EntitySeed::addInstanceProperty(int instanceId, const std::string& name, const std::string& value,
                                    long long created, long long modified) {
    return addPropertyRow("APP_InstanceProp", instanceId, name, value, created, modified);
}

int EntitySeed::addBackupSetProperty(int backupSetId, const std::string& name, const std::string& value,
                                     long long created, long long modified) {
    return addPropertyRow("APP_BackupSetProp", backupSetId, name, value, created, modified);
}

int EntitySeed::addClientProperty(int clientId, const std::string& name, const std::string& value, long long created,
                                  long long modified) {
    return addPropertyRow("APP_ClientProp", clientId, name, value, created, modified);
}

int EntitySeed::addReplicationPair(const ReplicationPairSeed& p) {
    return checked(m_seed.insertRow("WBAReplicationPair", {{"sourceClientId", I(p.sourceClientId)},
                                                           {"sourceRepSetId", I(p.sourceRepSetId)},
                                                           {"sourcePath", T(p.sourcePath)},
                                                           {"destClientId", I(p.destClientId)},
                                                           {"destBackupSetId", I(p.destBackupSetId)},
                                                           {"destAppType", I(p.destAppType)},
                                                           {"destPath", T(p.destPath)},
                                                           {"created", I(p.created)},
                                                           {"modified", I(p.modified)}}));
}

int EntitySeed::addEraseFilter(int clientId, int appTypeId, const std::string& path, long long erasedTime, int userId) {
    return checked(m_seed.insertRow("SDEraseFilter", {{"clientId", I(clientId)},
                                                      {"appTypeId", I(appTypeId)},
                                                      {"path", T(path)},
                                                      {"erasedTime", I(erasedTime)},
                                                      {"userId", I(userId)}}));
}

int EntitySeed::addOperatingSystem(const std::string& name, int platform) {
    return checked(m_seed.insertRow("simOperatingSystem", {{"name", T(name)}, {"platform", I(platform)}}));
}

int EntitySeed::mapVirtualToPhysical(int virtualClientId, int physicalClientId) {
    return checked(
        m_seed.insertRow("APP_VMToPMMap", {{"VMClientId", I(virtualClientId)}, {"PMClientId", I(physicalClientId)}}));
}

int EntitySeed::addSharePointMemberServer(int pseudoClientId, int memberClientId, bool primary) {
    return checked(m_seed.insertRow("APP_SharePointMemberServer", {{"pseudoClientId", I(pseudoClientId)},
                                                                   {"memberClientId", I(memberClientId)},
                                                                   {"isPrimary", I(primary ? 1 : 0)}}));
}

}  // namespace zyent
