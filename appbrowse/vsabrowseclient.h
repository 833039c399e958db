// CBrowseVSAClient: the browse of a hypervisor backup set whose VMs are kept in the per-VM layout. The
// root is listed from the Hubmaster database (one folder per VM), a browse below one VM runs as that
// VM's own request through the controller, several VMs become one find at a media agent's index
// service, and a media prediction names the media of the VMs' own subclients. Made on the stack of the
// worker's request intake for one request; runs on that thread under the worker's lock.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/archive/archmgrrecords.h"
#include "platform/errors/cuxerror.h"
#include "platform/msg/msg_classes.h"

class CWorkerThreadHM;
class EvMultiEntityRestoreTask;

class CBrowseVSAClient {
public:
    CBrowseVSAClient() = default;
    CBrowseVSAClient(const CBrowseVSAClient&) = delete;
    CBrowseVSAClient& operator=(const CBrowseVSAClient&) = delete;

    // Binds the task and the worker (neither owned), sets the session GUID and a missing to-time, and
    // prepares the worker's browse task (return channel, the session's configuration record). A backup
    // set with nothing backed up is not an error.
    CUxError Initialize(EvMultiEntityRestoreTask* task, CWorkerThreadHM* worker);

    // The browse: a direct-API caller's request prepared as a VM index request, the root listed from the
    // database, several VMs found at once (option 73), or one VM re-submitted as its own request (the VM
    // the first path names), which the call waits for: the caller's answers end with the VM's.
    CUxError HandleBrowseRequest();
    // One find over the VMs of `vmGuids` sent to the index service that holds them; the worker stays
    // registered (async) for the answers the media agent sends back through the router.
    CUxError HandleMultiClientBrowse(const std::set<std::string>& vmGuids);
    // A direct-API worker keeps the response for its caller; any other caller gets it and the end on the
    // task's return channel. A failed send is an error.
    CUxError SendResponseBack(databrowse::BrowseResponse& response);

    // Media prediction (browse operation type 3): the media of the named VMs' subclients (all VMs of
    // the backup set for a root path) over the request's range, merged, with their total size.
    CUxError HandleMediaPredictionRequest();
    // The subclient ids of the VMs the request's paths name; a root path stands for every VM listed for
    // the backup set and ends the walk. A path whose VM cannot be found is left out (logged).
    CUxError GetVMListFromPath(std::vector<unsigned long>& appIds);
    CUxError GetVMListForRoot(std::vector<unsigned long>& appIds);
    // Sorts by media id, then flags, and joins entries of one medium whose flags overlap and whose names
    // are equal; media of type 10001 get flag 32 (after sorting). False for a null list.
    static bool NormalizeMediaList(std::vector<TMediaInfo>* media);
    static void ConvertPredictionToXML(std::vector<TMediaInfo>& media,
                                       std::vector<databrowse::PredictionData>& out);
    // Option element 38 set and non-zero: only index media are predicted.
    bool SkipDataPrediction();

    bool BrowseFromHMDB();
    // True for a path that, with its separators as '\', is exactly "\".
    static bool IsRootPath(const std::string& path);
    // A direct-API worker whose request has option element 80 equal to 0: the request is marked a VM
    // index request and becomes the worker's request to return.
    bool IsAPIInitialize();
    void GenerateBrowseSessionGuid();
    // Element 1 of the request's advanced block; 0 when absent.
    int GetCopyPrecedence();
    // The VM's child job (link type 7, finished) of a hypervisor job under the VM's backup set; false
    // (both outputs 0) when there is none or it cannot be read.
    // True once the caller was answered (a response and the end sent, or the VM's own request run, which
    // answers its failures itself): a later error must not answer it a second time.
    bool CallerAnswered() const { return m_callerAnswered; }
    static bool GetChildJobIdForParent(long long parentJobId, long long kelmarchId, int backupSetId,
                                       long long& childJobId, long long& childKelmarchId);

private:
    // The root listing from ArchGetVMsForBrowse; an error when the list cannot be read whole.
    CUxError BrowseRoot();
    // The VM named by `guid` (its first path `vmPath`) as a request of its own through the controller.
    CUxError ResubmitVM(const std::string& guid, const std::string& vmPath);
    // Runs the VM's task and request through the controller and waits for the VM's browse to end.
    CUxError SubmitVM(EvMultiEntityRestoreTask& task, databrowse::BrowseRequest& child);
    databrowse::BrowseRequest& request();

    EvMultiEntityRestoreTask* m_task = nullptr;  // not owned
    CWorkerThreadHM* m_worker = nullptr;         // not owned
    std::string m_browseSessionGuid;
    bool m_callerAnswered = false;
};
