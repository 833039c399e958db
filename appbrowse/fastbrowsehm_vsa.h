// Live browse of virtual machines and block-level backups: the mount description the worker attaches
// to the request it sends to a media agent, and the switch of a non-Windows media agent to a Windows
// proxy of the hypervisor (or to the Hubmaster). The worker's members of the same names forward here
// with a view of the worker's values; calls are made on the worker's request thread, several workers
// at once. The only shared state is the release-to-version map, filled once per process.
#pragma once

#include <string>

#include "platform/entities/apptypes.h"
#include "platform/msg/msg_classes.h"

class EvRestoreTask;

// What these operations read of the worker: its browse task record, private task and request.
struct TVSALiveBrowseView {
    unsigned long kelmarchId = 0;  // browse task record
    unsigned long clientId = 0;
    apptype::EAppType appType{};
    unsigned long instanceId = 0;
    unsigned long backupSetId = 0;
    const EvRestoreTask* privateTask = nullptr;          // extended options; null: no live browse
    std::string liveBrowseMediaAgent;                    // the worker's media-agent override (getFbrMA)
    const databrowse::BrowseRequest* request = nullptr;  // the incoming request (its paths)
};

class CVSALiveBrowse {
public:
    // The property names under which a VM's GUID is recorded on its client.
    static constexpr const char* kVmInstanceUuidProperty = "Virtual Machine Instance UUID";
    static constexpr const char* kVirtualServerGuidProperty = "Virtual Server GUID";

    explicit CVSALiveBrowse(TVSALiveBrowseView view) : m_view(std::move(view)) {}

    // Mount description of a block-level archive file (flag 0x200) of a block-level application type;
    // empty otherwise or on any failure. The first argument is not used; the last five are handed to
    // the application manager unchanged.
    static std::string getBlockLevelMountXml(bool, unsigned int appId, unsigned long afileId,
                                             apptype::EAppType appType, unsigned long fromTime,
                                             unsigned long toTime, int copyPrecedence, bool option);
    // Mount description of a VM live browse (app type 106, extended option 59 or 61) of a virtual-server
    // instance; empty when the VM is not a candidate or on any failure. The first and last arguments
    // are not used: the media agent named is the worker's live-browse override.
    std::string getVsaMountXml(bool, unsigned int appId, unsigned long afileId, std::string);
    // The instance's property "Discovered VM Instance" (name in any letter case) is 1.
    static bool IsVMInstance(int instanceId);
    // For a VM live browse with "useProxyForLiveBrowse" set: a media agent that is not Windows is
    // replaced by the first Windows member server of the hypervisor, else (with
    // "bEnableHMForVSALiveBrowse" and the virtualization package installed) by the Hubmaster. True when
    // replaced; then `mediaAgent` is the proxy's mangled host name and, when asked for and known, the
    // proxy's version goes to *proxyVersion. False leaves both as they were.
    bool switchToVSProxyServer(unsigned int kelmarchId, unsigned int appId, unsigned int instanceId,
                               std::string& mediaAgent, unsigned int* proxyVersion);
    // False, with `errorMessageId` set to the message the worker reports, for a live browse of a Windows
    // guest of a Hyper-V instance (`instanceId`, type 102) from a media agent that is not Windows; true
    // otherwise. No step of the request road runs this check.
    bool isLivebrowseSupportedForHypervVM(unsigned long instanceId, bool mediaAgentIsWindows,
                                          unsigned int& errorMessageId);
    // The VM GUID of the request's single path (a doubled leading separator read as one). False (and
    // `guid` empty) without exactly one path that names a VM.
    bool fetchVMGuidFromBrowseReq(std::string& guid);
    // Whether the guest is Windows: from `osId` when above 0, else from the VM's client found by its GUID
    // (whose operating system is returned through `osId`, 0 when unknown).
    static bool isWindowsVM(std::string& guid, int& osId);
    // Whether a guest operating-system id is one of the Windows ones.
    static bool isWindowsGuestOs(int osId);

private:
    bool liveBrowseOf(unsigned int option, unsigned int alsoOption) const;

    TVSALiveBrowseView m_view;
};
