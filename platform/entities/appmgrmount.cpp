#include "platform/entities/appmgrmount.h"

#include <pugixml.hpp>
#include <sstream>
#include <utility>
#include <vector>

#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/archFile.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/entities/recordedkind.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/hubdb.h"

namespace {

using Attributes = std::vector<std::pair<const char*, std::string>>;

// One description: the archive file, its subclient and client, then the caller's own attributes.
int describeMount(const char* mountType, unsigned long kelmarchId, unsigned int appId, unsigned long afileId,
                  bool withVmGuid, const Attributes& extra, std::string& xml) {
    ArchFile file(nullptr);
    file.setIsolationType(4);
    file.setTop(1);
    file.setWhere("id = %lu AND kelmarchId = %lu AND isValid = 1", afileId,
                  kelmarchId > 0 ? kelmarchId : static_cast<unsigned long>(hubdb::kDefaultKelmarchId));
    int rc = file.getOneRow(&file, false, 0, 0);
    if (rc != zydb::DB_OK) return rc;
    const ArchFile_t f = *file.getDataPtr();
    if (appId > 0 && static_cast<unsigned int>(f.appId) != appId) return zydb::DB_ERR_ARGUMENT;

    // The archive file's subclient's client, as the entity's one reader records it.
    TEntityKind kind;
    switch (readEntityKind(zydb::CRequestReads::current(), static_cast<long>(f.appId), 0, kind)) {
        case EEntityKindRead::kRecorded:
            break;
        case EEntityKindRead::kUnreadable:
            return zydb::DB_ERR_GENERAL;
        default:
            return zydb::DB_NO_DATA;
    }
    const int clientId = static_cast<int>(kind.clientId);
    APP_Client client(nullptr);
    client.setIsolationType(4);
    client.setWhere("id = %d", clientId);
    if ((rc = client.getOneRow(&client, false, 0, 0)) != zydb::DB_OK) return rc;
    std::string vmGuid = client.getDataPtr()->GUID;
    if (withVmGuid) {
        APP_ClientProp uuid(nullptr);
        uuid.setIsolationType(4);
        uuid.setTop(1);
        uuid.setWhere("componentNameId = %d AND attrName = '%s' AND modified = 0", clientId,
                      std::string(hubdb::kVmUuidProperty));
        rc = uuid.getOneRow(&uuid, false, 0, 0);
        const char* value = rc == zydb::DB_OK ? uuid.getDataPtr()->attrVal : nullptr;
        if (value && *value)
            vmGuid = value;
        else if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA)
            return rc;
    }

    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("SnapMountXMLParams");
    root.append_attribute("mountType") = mountType;
    root.append_attribute("archFileId") = std::to_string(f.id).c_str();
    root.append_attribute("kelmarchId") = std::to_string(f.kelmarchId).c_str();
    root.append_attribute("appId") = std::to_string(f.appId).c_str();
    root.append_attribute("jobId") = std::to_string(f.jobId).c_str();
    root.append_attribute("fileType") = std::to_string(f.fileType).c_str();
    root.append_attribute("fileFlags") = std::to_string(f.flags).c_str();
    root.append_attribute("clientName") = client.getDataPtr()->name;
    if (withVmGuid) root.append_attribute("vmGuid") = vmGuid.c_str();
    for (const auto& [name, value] : extra) root.append_attribute(name) = value.c_str();
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
    xml = out.str();
    return 0;
}

}  // namespace

int EvAppMgr_GetBlockLevelMountXMLParams(int requestType, unsigned int appId, unsigned long afileId,
                                         int mountOption, unsigned long appType, unsigned long fromTime,
                                         unsigned long toTime, int copyPrecedence, bool option,
                                         std::string& xml) {
    return describeMount("BlockLevel", 0, appId, afileId, false,
                         {{"requestType", std::to_string(requestType)},
                          {"mountOption", std::to_string(mountOption)},
                          {"appType", std::to_string(appType)},
                          {"fromTime", std::to_string(fromTime)},
                          {"toTime", std::to_string(toTime)},
                          {"copyPrecedence", std::to_string(copyPrecedence)},
                          {"option", option ? "1" : "0"}},
                         xml);
}

int EvAppMgr_GetVSASnapMountXMLParams(unsigned long kelmarchId, unsigned int appId, unsigned long afileId,
                                      int mountOption, const std::string& mediaAgentName, std::string& xml) {
    Attributes extra{{"mountOption", std::to_string(mountOption)}};
    if (!mediaAgentName.empty()) extra.push_back({"mediaAgent", mediaAgentName});
    return describeMount("VirtualServer", kelmarchId, appId, afileId, true, extra, xml);
}
