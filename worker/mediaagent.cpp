// Media-agent selection of a classic browse: the media agent named in the task's options, else the
// subclient's regular or index media agent, else the one of the browse's data archive file, possibly
// replaced by a VM live-browse proxy; then its client name and version. Called on the worker's thread
// under its lock. Nothing here sets the worker's error state: callers report a missing media agent.
#include "appbrowse/fastbrowsehm_vsa.h"
#include "fbDebug/fbdebug.h"
#include "framework/browseutils.h"
#include "planning/browsetask.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/zyclient.h"
#include "platform/entities/zysim.h"
#include "platform/net/zynet_directory.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";

}  // namespace

int CWorkerThreadHM::getMediaagentFromOptions(EvMultiEntityRestoreTask* task, std::string& host) {
    CBrowseLog log(kTag);
    const long mediaAgentId = task ? task->getMediaAgentId() : 0;
    if (mediaAgentId == 0) return -1;
    GetMediaAgentInfoArgsHM_t args;
    args.clientId = static_cast<uint32_t>(mediaAgentId);
    GetMediaAgentInfoRetHM_t info;
    ArchiveManagerHM archiveManager(nullptr);
    if (archiveManager.getMediaAgentInfo(&args, &info) == 0) {
        host = info.hostName;
        return 0;
    }
    log.debugLvl(0, "media agent [%ld] named in the options is unknown to the archive manager", mediaAgentId);
    ZYClient(static_cast<unsigned long>(mediaAgentId)).getNetworkHostnameMangled(host);
    return -1;
}

int CWorkerThreadHM::getMediaAgent(TBrowseTask* task) {
    CBrowseLog log(kTag);
    if (!task) return -1;
    // What an earlier choice of this worker read must not pass for this one's.
    m_maClientName.clear();
    m_maVersionText.clear();
    m_maVersion = 0;
    // The set-up of a planned browse resolves the application (the subclient's id) without always
    // naming the subclient itself.
    const uint32_t subclient = task->subclientId != 0 ? task->subclientId : task->appId;
    if (getMediaagentFromOptions(task->task, m_maHostName) == 0) {
        m_maFromTaskOptions = true;
    } else {
        m_maFromTaskOptions = false;
        // A browse without a subclient needs no media agent here (the skip-content direct road names
        // the Hubmaster itself); fast browse refuses to run on what this leaves.
        if (subclient == 0) return 0;
        if (getMediaAgent_AMHM(subclient, static_cast<unsigned int>(task->kelmarchId), task->copyPrecedence,
                               m_maHostName) != 0) {
            log.debugLvl(
                0, "getMediaAgent_AMHM() - MediaAgent not found for Kelmarch=%lu, Subclient=%lu, CopyId=%lu.",
                static_cast<unsigned long>(task->kelmarchId), static_cast<unsigned long>(subclient),
                static_cast<unsigned long>(task->copyPrecedence));
            if (!setMediaAgentInternal()) return -1;
        }
    }
    if (!m_maFromTaskOptions) {
        TVSALiveBrowseView view;
        view.kelmarchId = static_cast<unsigned long>(task->kelmarchId);
        view.clientId = task->srcClientId;
        view.appType = task->appType;
        view.instanceId = static_cast<unsigned long>(task->instanceId);
        view.backupSetId = task->backupSetId;
        view.privateTask = m_privateTask.get();
        view.liveBrowseMediaAgent = m_fbrMediaAgent;
        view.request = &m_browseRequest;
        CVSALiveBrowse(view).switchToVSProxyServer(static_cast<unsigned int>(task->kelmarchId), subclient,
                                                   static_cast<unsigned int>(task->instanceId), m_maHostName,
                                                   nullptr);
    }
    return getMediaAgentDetails();
}

int CWorkerThreadHM::getMediaAgent_AMHM(unsigned int subclientId, unsigned int kelmarchId, unsigned int copy,
                                        std::string& host) {
    ApplicationId application(kelmarchId, subclientId);
    if (application.createApplicationId() != 0) return -1;
    GetMediaAgentArgsHM_t args;
    args.appId = subclientId;
    args.copyPrecedence = copy;
    GetMediaAgentRetHM_t ret;
    ArchiveManagerHM archiveManager(nullptr);
    if (archiveManager.getRegularOrBCDIndexMediaAgent(&args, &ret) != 0) return -1;
    host = ret.clientName;
    return 0;
}

bool CWorkerThreadHM::setMediaAgentInternal() {
    CBrowseLog log(kTag);
    const TBrowseTask& bt = *m_browseTask->getDataPtr();
    // The browse's data archive file: the snapshot one of a NAS browse, else the one the archive-file
    // selection put in the input record (the cycle's, else the latest).
    uint64_t dataAfile = bt.snapAfileId;
    if (dataAfile == 0) dataAfile = m_inputData.value48 != 0 ? m_inputData.value48 : m_inputData.value40;
    if (dataAfile == 0 || bt.kelmarchId == 0) {
        log.debugLvl(0, "Task Params not set");
        return false;
    }
    ArchiveManagerHM archiveManager(nullptr);
    GetArchFileInfoArgs_t infoArgs;
    infoArgs.archFileId = dataAfile;
    infoArgs.kelmarchId = bt.kelmarchId;
    GetArchFileInfoRet_t info;
    if (archiveManager.getArchFileInfo(&infoArgs, &info) != 0) {
        log.debugLvl(0, "Failed to get Archive file info for [%lu]", static_cast<unsigned long>(dataAfile));
        return false;
    }
    log.debugLvl(2, "ArchFile[%lu] has ArchGroup [%d]", static_cast<unsigned long>(dataAfile),
                 static_cast<int>(info.archFile.archGroupId));
    GetCopyIdByAfileCopyPrecArgs_t copyArgs;
    copyArgs.archFileId = dataAfile;
    copyArgs.archGroupId = static_cast<uint64_t>(info.archFile.archGroupId);
    copyArgs.kelmarchId = bt.kelmarchId;
    copyArgs.copyPrecedence = bt.copyPrecedence;
    GetCopyIdByAfileCopyPrecRet_t copy;
    if (archiveManager.getCopyIdByAfileCopyPrec(&copyArgs, &copy) != 0) {
        log.debugLvl(0, "Failed to get Copy for CopyPrecedence [%lu]",
                     static_cast<unsigned long>(bt.copyPrecedence));
        return false;
    }
    GetMediaAgentByAGCArgs_t agcArgs;
    agcArgs.archGroupId = copyArgs.archGroupId;
    agcArgs.clientId = bt.srcClientId;
    agcArgs.copyId = copy.copyId;
    GetMediaAgentRetHM_t mediaAgent;
    if (archiveManager.getMediaAgentByAGC(&agcArgs, &mediaAgent) != 0) {
        log.debugLvl(0, "Failed to get MA for archGrp [%lu]",
                     static_cast<unsigned long>(agcArgs.archGroupId));
        return false;
    }
    m_maHostName = mediaAgent.clientName;
    log.debugLvl(0, "Will use Media Agent [%s] found using dataAfile [%lu]", m_maHostName.c_str(),
                 static_cast<unsigned long>(dataAfile));
    return true;
}

int CWorkerThreadHM::getMediaAgentDetails() {
    CBrowseLog log(kTag);
    std::string hostName, clientName;
    int serviceNumber = 0, port = 0;
    if (!DemangleHostName(m_maHostName, hostName, clientName, serviceNumber, port)) clientName = m_maHostName;
    ZYClient client(clientName);
    if (client.lookup() != 0) {
        log.debugLvl(0, "no client exists with name [%s]", clientName.c_str());
        return -1;
    }
    unsigned long clientId = 0;
    if (client.getClientId(clientId) != 0) {
        log.debugLvl(0, "failed to get client id for name [%s]", clientName.c_str());
        return -1;
    }
    std::string versionText;
    std::string name;
    if (ZYSim::simGetVersionOfClient(clientName, versionText) != 0 || client.getName(name) != 0) {
        log.debugLvl(0, "failed to read version of client [%s] id [%lu]", clientName.c_str(), clientId);
        return -1;
    }
    m_maVersionText = versionText;
    makeVersion(versionText, m_maVersion);
    m_maClientName = name;
    return 0;
}

bool CWorkerThreadHM::isWindowsMA(std::string& name) {
    CBrowseLog log(kTag);
    if (name.empty()) {
        log.debugLvl(0, "isWindowsMA(): Empty MediaAgent name returning FALSE.");
        return false;
    }
    std::string hostName, clientName;
    int serviceNumber = 0, port = 0;
    if (!DemangleHostName(name, hostName, clientName, serviceNumber, port)) clientName = name;
    int osId = 0;
    if (ZYClient(clientName).getOperatingSystemId(osId) != 0) {
        log.debugLvl(0,
                     "isWindowsMA(): Could not fetch operating system for MediaAgent [%s] returning FALSE.",
                     name.c_str());
        return false;
    }
    bool windows = false;
    if (ZYSimOperatingSystem(nullptr).IsWindows(osId, windows) != 0) return false;
    log.debugLvl(0, "isWindowsMA(): MediaAgent [%s] is [%s]", name.c_str(), windows ? "Windows" : "Linux");
    return windows;
}
