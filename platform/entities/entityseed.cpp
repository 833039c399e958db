#include "platform/entities/entityseed.h"

using namespace hubdb::seedvalues;

namespace zyent {

int EntitySeed::addInstance(const InstanceSeed& s) {
    return checked(m_seed.insertRow("APP_InstanceName", {{"name", T(s.name)},
                                                         {"GUID", T(s.guid)},
                                                         {"clientId", I(s.clientId)},
                                                         {"appTypeId", I(s.appTypeId)}}));
}

int EntitySeed::addInstanceProperty(int instanceId, const std::string& name, const std::string& value,
                                    long long created, long long modified) {
    return addPropertyRow("APP_InstanceProp", instanceId, name, value, created, modified);
}

int EntitySeed::addBackupSetProperty(int backupSetId, const std::string& name, const std::string& value,
                                     long long created, long long modified) {
    return addPropertyRow("APP_BackupSetProp", backupSetId, name, value, created, modified);
}

int EntitySeed::addClientProperty(int clientId, const std::string& name, const std::string& value,
                                  long long created, long long modified) {
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

int EntitySeed::addEraseFilter(int clientId, int appTypeId, const std::string& path, long long erasedTime,
                               int userId) {
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
    return checked(m_seed.insertRow(
        "APP_VMToPMMap", {{"VMClientId", I(virtualClientId)}, {"PMClientId", I(physicalClientId)}}));
}

int EntitySeed::addSharePointMemberServer(int pseudoClientId, int memberClientId, bool primary) {
    return checked(m_seed.insertRow("APP_SharePointMemberServer", {{"pseudoClientId", I(pseudoClientId)},
                                                                   {"memberClientId", I(memberClientId)},
                                                                   {"isPrimary", I(primary ? 1 : 0)}}));
}

}  // namespace zyent
