#include "appbrowse/fastbrowsehm_vsa.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "Db/TblCommon/simAllNimbraRel.h"
#include "appbrowse/fbhmvsautils.h"
#include "appbrowse/vmbrowseview.h"
#include "fbDebug/fbdebug.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/config/installedpackages.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/requestscope.h"
#include "platform/entities/appmgrmount.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/clientapplist.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/idabackup.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/recordedkind.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evmessageids.h"
#include "platform/net/zynet_directory.h"
#include "platform/tasks/evrestoretask.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
constexpr unsigned int kVsaLiveBrowseOption = 59;
constexpr unsigned int kVsaLiveBrowseOption2 = 61;
constexpr int kBlockLevelFileFlag = 0x200;
constexpr int kVirtualizationPackage = 713;
constexpr int kVmJobLinkType = 7;
constexpr int kSubclientEntity = 7;
constexpr int kInstanceEntity = 5;
constexpr unsigned long kHyperVInstanceType = 102;

constexpr int kWindowsGuestOsIds[] = {2,  3,  21, 24, 27, 34,  35,  39,  46,  48,  62,  63, 64,
                                      65, 66, 67, 93, 94, 200, 208, 209, 210, 211, 212, 213};

using E = ZyEntities::GenericEntity::f;

// Release id -> version number (the decimal number the release text starts with), read whole from
// simAllNimbraRel on first use and never refreshed.
const std::map<int, int>& releaseVersions() {
    static std::once_flag once;
    static std::map<int, int> versions;
    std::call_once(once, [] {
        CBrowseLog log(kTag);
        SimAllNimbraRel releases(0, nullptr);
        releases.setIsolationType(4);
        int rc;
        while ((rc = releases.getNextRow(&releases, nullptr, 0, 0)) == 0)
            versions[releases.getDataPtr()->id] = std::atoi(releases.getDataPtr()->release);
        if (rc != 100) log.debugLvl(0, "switchToVSProxyServer(): releases could not be read: error [%d]", rc);
    });
    return versions;
}

// The client of subclient `subclientId`, else of backup set `backupSetId`, as recorded; 0 when unknown.
unsigned long recordedClientOf(long subclientId, long backupSetId) {
    TEntityKind kind;
    return readEntityKind(zydb::CRequestReads::current(), subclientId, backupSetId, kind) ==
                   EEntityKindRead::kRecorded
               ? static_cast<unsigned long>(kind.clientId)
               : 0;
}

// The instance of a subclient; false when the subclient cannot be read or has none.
bool instanceOfApplication(unsigned long appId, unsigned long& instanceId) {
    TEntityKind kind;
    if (readEntityKind(zydb::CRequestReads::current(), static_cast<long>(appId), 0, kind) !=
            EEntityKindRead::kRecorded ||
        kind.instanceId < 1)
        return false;
    instanceId = static_cast<unsigned long>(kind.instanceId);
    return true;
}

// The hypervisor type of a virtual-server instance; false when unknown.
bool instanceType(unsigned long instanceId, unsigned long& type) {
    InstanceTypeVirtualServer instance(instanceId);
    return instance.getInstanceType(type) == 0;
}

bool typeOfApplication(unsigned long appId, unsigned long& instanceId, unsigned long& type) {
    return instanceOfApplication(appId, instanceId) && instanceType(instanceId, type);
}

// Whether a client (by mangled or plain name, or by id) runs Windows; false when it cannot be told.
bool clientIsWindows(ZYClient& client, bool& windows) {
    int osId = 0;
    if (client.getOperatingSystemId(osId) != 0) return false;
    ZYSimOperatingSystem os(nullptr);
    return os.IsWindows(osId, windows) == 0;
}

}  // namespace

bool CVSALiveBrowse::liveBrowseOf(unsigned int option, unsigned int alsoOption) const {
    return m_view.appType == apptype::kVirtualServer && m_view.privateTask &&
           (m_view.privateTask->isSet(option) || m_view.privateTask->isSet(alsoOption));
}

std::string CVSALiveBrowse::getBlockLevelMountXml(bool, unsigned int appId, unsigned long afileId,
                                                  apptype::EAppType appType, unsigned long fromTime,
                                                  unsigned long toTime, int copyPrecedence, bool option) {
    std::string xml;
    if (!apptype::in(apptype::family::kBlockLevel, appType)) return xml;
    CBrowseLog log(kTag);
    GetArchFileInfoArgs_t args{afileId, 0, 2, 0};
    GetArchFileInfoRet_t file;
    ArchiveManagerHM archives(nullptr);
    int rc = archives.getArchFileInfo(&args, &file);
    if (rc != 0) {
        log.debugLvl(8, "getBlockLevelMountXml returned error code %d from processing aFile %d", rc,
                     static_cast<int>(afileId));
        return xml;
    }
    if ((file.archFile.flags & kBlockLevelFileFlag) == 0) {
        log.debugLvl(8, "getBlockLevelMountXml skipping regular aFile %d, type %d", static_cast<int>(afileId),
                     file.archFile.fileType);
        return xml;
    }
    log.debugLvl(8, "getBlockLevelMountXml found BlockLevel aFile %d, type %d", static_cast<int>(afileId),
                 file.archFile.fileType);
    rc = EvAppMgr_GetBlockLevelMountXMLParams(2, appId, afileId, 1, apptype::code(appType), fromTime, toTime,
                                              copyPrecedence, option, xml);
    if (rc == 0)
        log.debugLvl(3, "getBlockLevelMountXml returned xml '%s'", xml.c_str());
    else
        log.debugLvl(8, "getBlockLevelMountXml returned error code %d", rc);
    return xml;
}

std::string CVSALiveBrowse::getVsaMountXml(bool, unsigned int appId, unsigned long afileId, std::string) {
    std::string xml;
    if (!liveBrowseOf(kVsaLiveBrowseOption, kVsaLiveBrowseOption2)) return xml;
    CBrowseLog log(kTag);
    unsigned long type = 0;
    unsigned long instanceId = 0;
    unsigned long app = appId;
    if (m_view.instanceId >= 1) {
        instanceId = m_view.instanceId;
        if (!instanceType(instanceId, type))
            log.debugLvl(8, "Unable to obtain instance type for instance %d. Skip LiveBrowse.",
                         static_cast<int>(instanceId));
    } else if (app >= 1) {
        if (!typeOfApplication(app, instanceId, type))
            log.debugLvl(8, "Unable to obtain instance type for appId %d. Skip LiveBrowse.",
                         static_cast<int>(app));
    } else if (m_view.backupSetId == 0) {
        log.debugLvl(8, "Unable to verify instance type. Skip LiveBrowse.");
    } else {
        std::vector<std::string> names;
        unsigned long id = 0;
        if (ClientApplicationList::getApplications(m_view.kelmarchId, m_view.clientId,
                                                   apptype::code(m_view.appType), m_view.backupSetId,
                                                   names) != 0 ||
            names.empty()) {
            log.debugLvl(8, "Unable to obtain list of sub-clients for backupset %d. Skip LiveBrowse.",
                         static_cast<int>(m_view.backupSetId));
        } else if (SubclientIdFromName(static_cast<int>(apptype::code(m_view.appType)),
                                       static_cast<int>(m_view.backupSetId))
                           .getSubclientId(names.front(), id) != 0 ||
                   id == 0) {
            log.debugLvl(8, "Unable to obtain sub-client ID for name [%s]. Skip LiveBrowse.",
                         names.front().c_str());
        } else {
            app = static_cast<unsigned int>(id);
            if (!typeOfApplication(app, instanceId, type))
                log.debugLvl(8, "Unable to obtain instance type for backupset %d. Skip LiveBrowse.",
                             static_cast<int>(m_view.backupSetId));
        }
    }

    if (type != 0) {
        log.debugLvl(0, "Instance with type %lu is %s for LiveBrowse", type, "candidate");
    } else {
        // A VM indexed on its own (V2) is a candidate when its parent, the hypervisor's subclient, is.
        const unsigned long hypervisor =
            app < 1 ? recordedClientOf(0, static_cast<long>(m_view.backupSetId)) : 0;
        bool useV2 = false;
        if (app < 1 && hypervisor != 0 && ClientProperties::getUseIndexingV2ForVSA(hypervisor, useV2) == 0 &&
            useV2) {
            APP_Application subclient(nullptr);
            subclient.setIsolationType(4);
            subclient.setTop(1);
            subclient.setWhere("backupSet = %lu AND appTypeId = %lu AND subclientName = '%s'",
                               m_view.backupSetId, apptype::kVirtualServer, std::string("default"));
            subclient.setOrderBy("id");
            app = subclient.getOneRow(&subclient, false, 0, 0) == 0
                      ? static_cast<unsigned long>(subclient.getDataPtr()->id)
                      : 0;
            log.debugLvl(1, "Backupset id [%d] lookup for default subclient returned appNumber [%lu]",
                         static_cast<int>(m_view.backupSetId), app);
        }
        if (instanceId != 0 && app != 0) {
            const unsigned long client = recordedClientOf(static_cast<long>(app), 0);
            int rc = 0;
            if (client == 0) {
                log.debugLvl(2, "Failed to fetch client for [subclient id]: %lu ", app);
            } else if (ZYClient(client).lookup() != 0) {
                log.debugLvl(2, "Failed to fetch client properties for [subclient id]: %lu ", app);
            } else if ((rc = ClientProperties::getUseIndexingV2ForVSA(client, useV2)) != 0) {
                log.debugLvl(2, "Error [%d] returned from getUseIndexingV2ForVSA", rc);
            } else if (useV2 && IsVMInstance(static_cast<int>(instanceId))) {
                JMJobDataLink link(nullptr);
                link.setIsolationType(4);
                link.setTop(1);
                link.setWhere("childAppId = %lu AND linkType = %d", app, kVmJobLinkType);
                link.setOrderBy("childJobID desc");
                unsigned long parentInstance = 0;
                if (link.getOneRow(&link, false, 0, 0) != 0)
                    log.debugLvl(2, "Failed to fetch parent appId from JMJobDataLink for childAppId [%lu]",
                                 app);
                else if (const int parent = link.getDataPtr()->parentAppid;
                         parent > 0 &&
                         (!typeOfApplication(static_cast<unsigned long>(parent), parentInstance, type) ||
                          type == 0))
                    log.debugLvl(8, "Unable to obtain instance type for appId %d.", parent);
            }
        }
    }
    log.debugLvl(8, "Instance with type %lu is %s for LiveBrowse", type,
                 type != 0 ? "candidate" : "NOT candidate");
    if (type == 0) return xml;
    int rc = EvAppMgr_GetVSASnapMountXMLParams(m_view.kelmarchId, app, afileId, 1,
                                               m_view.liveBrowseMediaAgent, xml);
    if (rc != 0) log.debugLvl(8, "GetVSASnapMountXMLParams returned error code %d", rc);
    return xml;
}

bool CVSALiveBrowse::IsVMInstance(int instanceId) {
    InstanceTypeVirtualServer instance(static_cast<unsigned long>(instanceId));
    PropertiesList properties;
    instance.getProperties(properties, nullptr);
    for (const ApplProperty& p : properties)
        if (strcasecmp(p.getName().c_str(), "Discovered VM Instance") == 0 &&
            std::atoi(p.getValue().c_str()) == 1) {
            CBrowseLog(kTag).debugLvl(2, "VM level instance [TRUE]");
            return true;
        }
    return false;
}

bool CVSALiveBrowse::switchToVSProxyServer(unsigned int kelmarchId, unsigned int appId,
                                           unsigned int instanceId, std::string& mediaAgent,
                                           unsigned int* proxyVersion) {
    if (!liveBrowseOf(kVsaLiveBrowseOption, kVsaLiveBrowseOption)) return false;
    CBrowseLog log(kTag);
    unsigned long useProxy = 0;
    ZYPlatformInfo::getNumber("EventManager", "useProxyForLiveBrowse", &useProxy);
    if (useProxy == 0) return false;
    log.debugLvl(0, "switchToVSProxyServer() Regkey set to use Proxy for live browse ");

    if (!mediaAgent.empty()) {
        std::string host, clientName;
        int service = 0, port = 0;
        DemangleHostName(mediaAgent, host, clientName, service, port);
        ZYClient client(clientName);
        bool windows = false;
        if (!clientIsWindows(client, windows))
            log.debugLvl(0, "switchToVSProxyServer(): Could not fetch operating system for MediaAgent [%s].",
                         mediaAgent.c_str());
        else if (windows)
            return false;
    }

    App::GetVSMemberServersRequest request;
    CNMessageBase* entity = request.getObjectAccessor(App::GetVSMemberServersRequest::f::entity, true);
    if (appId != 0) {
        entity->setint64(E::subclientId, appId);
        entity->setint64(E::_type_, kSubclientEntity);
    } else {
        entity->setint64(E::instanceId, instanceId);
        entity->setint64(E::_type_, kInstanceEntity);
    }
    request.setint64(App::GetVSMemberServersRequest::f::at2_2, 1);
    std::string xml;
    if (request.serialize(xml) != 0) {
        log.debugLvl(
            0,
            "switchToVSProxyServer(): Failed to serialize XML object to request VM proxy servers. MediaAgent "
            "[%s] could not be replaced with VM proxy server.",
            mediaAgent.c_str());
        return false;
    }
    if (int rc = IdaBackup::getVSMemberServers(kelmarchId, xml); rc != 0) {
        log.debugLvl(
            0,
            "switchToVSProxyServer(): Application manager returned failure while requesting VM proxy "
            "servers. Error code: [%d]. MediaAgent [%s] could not be replaced with VM proxy server.",
            rc, mediaAgent.c_str());
        return false;
    }
    App::GetVSMemberServersResponse answer;
    if (answer.unserialize(xml) != 0) {
        log.debugLvl(
            0,
            "switchToVSProxyServer(): Failed to unserialize VM proxy server query response. MediaAgent [%s] "
            "could not be replaced with VM proxy server.",
            mediaAgent.c_str());
        return false;
    }

    std::string proxy;
    unsigned long proxyClient = 0;
    CNMessageBase* block = answer.getObjectAccessor(App::GetVSMemberServersResponse::f::memberServers, false);
    std::vector<CNMessageBase>* members =
        block ? block->getlistobject(App::Msg255::f::memberServers, false) : nullptr;
    const CNMessageBase* first = members && !members->empty()
                                     ? members->front().getObjectAccessor(App::MemberServer::f::entity, false)
                                     : nullptr;
    if (!first || first->getstring(E::clientName).empty()) {
        log.debugLvl(0,
                     "switchToVSProxyServer(): Could not determine VM proxy server from application manager "
                     "response. MediaAgent [%s] could not be replaced with VM proxy server.",
                     mediaAgent.c_str());
    } else {
        for (CNMessageBase& member : *members) {
            const CNMessageBase* e = member.getObjectAccessor(App::MemberServer::f::entity, false);
            if (!e) continue;
            const std::string name = e->getstring(E::clientName);
            const int id = static_cast<int>(e->getint64(E::clientId));
            ZYClient client = name.empty() ? ZYClient(static_cast<unsigned long>(id)) : ZYClient(name);
            bool windows = false;
            if (!clientIsWindows(client, windows)) {
                log.debugLvl(0, "switchToVSProxyServer(): Could not fetch operating system for proxy [%d].",
                             id);
                continue;
            }
            if (windows && client.getNetworkHostnameMangled(proxy) == 0 &&
                client.getClientId(proxyClient) == 0)
                break;
            proxy.clear();
        }
    }

    unsigned long enableHubmaster = 0;
    ZYPlatformInfo::getNumber("VirtualServer", "bEnableHMForVSALiveBrowse", &enableHubmaster);
    log.debugLvl(0, "bEnableHMForVSALiveBrowse is %ld", static_cast<long>(enableHubmaster));
    if (proxy.empty() && enableHubmaster != 0) {
        std::vector<int> packages;
        if (ZYInstalledPackages::getPackageList(packages) != 0) {
            log.debugLvl(0, "switchToVSProxyServer Failed to get package list from local registry.");
            return false;
        }
        if (std::find(packages.begin(), packages.end(), kVirtualizationPackage) == packages.end()) {
            log.debugLvl(0,
                         "switchToVSProxyServer VSA Package is not installed, wont use HM for live browse");
            return false;
        }
        proxyClient = ZYClient::hubmasterClientId();
        if (ZYClient(proxyClient).getNetworkHostnameMangled(proxy) != 0) {
            log.debugLvl(0, "failed to fetch mangled host name of hubmaster");
            return false;
        }
    }
    if (proxy.empty()) return false;

    const std::string replaced = mediaAgent;
    mediaAgent = proxy;
    int release = 0;
    if (proxyVersion && ZYClient(proxyClient).getReleaseId(release) == 0) {
        const std::map<int, int>& versions = releaseVersions();
        if (auto it = versions.find(release); it != versions.end())
            *proxyVersion = static_cast<unsigned int>(it->second);
    }
    log.debugLvl(
        0, "switchToVSProxyServer(): MediaAgent [%s] is replaced with VM proxy server [%s] for appId [%lu].",
        replaced.c_str(), proxy.c_str(), static_cast<unsigned long>(appId));
    return true;
}

bool CVSALiveBrowse::isLivebrowseSupportedForHypervVM(unsigned long instanceId, bool mediaAgentIsWindows,
                                                      unsigned int& errorMessageId) {
    unsigned long type = 0;
    std::string guid;
    int osId = 0;
    if (!liveBrowseOf(kVsaLiveBrowseOption, kVsaLiveBrowseOption) || !instanceType(instanceId, type) ||
        type != kHyperVInstanceType || mediaAgentIsWindows || !fetchVMGuidFromBrowseReq(guid) ||
        !isWindowsVM(guid, osId))
        return true;
    CBrowseLog(kTag).debugLvl(0,
                              "Browsing Windows VM from Linux MA is not supported For HyperV. Please select "
                              "HyperV node as MA in advanced options.");
    errorMessageId = evmsg::kHyperVOnLinuxMediaAgent;
    return false;
}

bool CVSALiveBrowse::fetchVMGuidFromBrowseReq(std::string& guid) {
    guid.clear();
    if (!m_view.request) return false;
    auto* paths = const_cast<databrowse::BrowseRequest*>(m_view.request)
                      ->getlistobject(databrowse::BrowseRequest::f::paths, false);
    if (!paths || paths->size() != 1) return false;
    guid = CBrowseVSAUtils::ExtractVMGUID(
        CVMBrowseView::oneLeadingSeparator(paths->front().getstring(databrowse::BrowsePath::f::path)));
    if (!CBrowseVSAUtils::IsVMGUID(guid)) guid.clear();
    return !guid.empty();
}

bool CVSALiveBrowse::isWindowsGuestOs(int osId) {
    return std::find(std::begin(kWindowsGuestOsIds), std::end(kWindowsGuestOsIds), osId) !=
           std::end(kWindowsGuestOsIds);
}

bool CVSALiveBrowse::isWindowsVM(std::string& guid, int& osId) {
    if (osId > 0) return isWindowsGuestOs(osId);
    CBrowseLog log(kTag);
    std::list<_AppClientInfo> clients;
    std::string error;
    int rc =
        ClientProperties::getClientInfoWithProperty(clients, kVmInstanceUuidProperty, guid, error, nullptr);
    if (rc != 0 || clients.empty()) {
        clients.clear();
        error.clear();
        rc = ClientProperties::getClientInfoWithProperty(clients, kVirtualServerGuidProperty, guid, error,
                                                         nullptr);
        if (rc != 0) {
            log.debugLvl(0, "isWindowsVM(): Unable to get clients for VMGUID [%s] with error [%s]",
                         guid.c_str(), error.c_str());
            osId = 0;
            return false;
        }
    }
    int found = 0;
    if (!clients.empty() &&
        ZYClient(static_cast<unsigned long>(clients.front().clientId)).getOperatingSystemId(found) != 0)
        found = 0;
    log.debugLvl(0, "isWindowsVM(): GuestOS from HM DB: [%d]", found);
    osId = found;
    return found >= 1 && isWindowsGuestOs(found);
}
