// CBrowseVSAUtils: the virtual-machine entity rules of the browse. Decides whether a VM browse may be
// switched between the hypervisor's index (V1) and the VM's own (V2), asks which entity indexed the jobs
// of the requested range and rewrites task and request for it, reads the VM GUID a path names (the
// service's one reader of it) and turns such a path into the VM's own client, instance, backup set and
// subclient. Static members only, no state; any thread (the worker's request thread, the router's
// callback thread) with its own arguments.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/errors/cuxerror.h"
#include "platform/msg/msg_classes.h"

class EvMultiEntityRestoreTask;

class CBrowseVSAUtils {
public:
    CBrowseVSAUtils() = delete;

    // False when the request forces the V2 protocol (advanced settings element 14 = 2) or the global
    // parameter "AutoDetectVSAIndexingVersion" is 0; true otherwise (the parameter defaults to 1).
    static bool IsV1V2SwitchSupported(databrowse::BrowseRequest& request);
    // Switches task and request to the entity that indexed the first job of the requested range when
    // that entity's client differs from the request's. False only when it could not decide (instance
    // unknown, a message fault, no jobs); true when it switched and when there was nothing to do.
    // `vmGuid` (when given) gets the GUID of a VM whose browse moved to its hypervisor's index.
    static bool SwitchEntity(EvMultiEntityRestoreTask* task, databrowse::BrowseRequest& request,
                             std::string* vmGuid = nullptr);
    // Rewrites the request's entity and the task's client, instance, backup set and subclient for the
    // job's indexing entity. When the job's subclient cannot be read nothing is written. A VM's browse
    // moved to the hypervisor's index keeps to that VM: its paths go below its GUID (a path already
    // there stays as it is), and `vmGuid` (when given) gets that GUID.
    static void RepopulateBrowseRequest(JobManager::JobIndexInfo& job, EvMultiEntityRestoreTask* task,
                                        databrowse::BrowseRequest& request, std::string* vmGuid = nullptr);
    // The GUID of the VM client as of `at`: its "Virtual Machine Instance UUID" then, else the client's
    // GUID; empty when neither can be read. `rc` is the property read's result (0 found, 100 none).
    static std::string GetVMGuidOfClient(unsigned long clientId, long long at, int* rc = nullptr);
    static CUxError GetInstanceIdFromBackupSet(int backupSetId, int& instanceId);

    // True for "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in hexadecimal, optionally enclosed in braces.
    static bool IsVMGUID(const std::string& text);

    // The VM GUID a path names: its first component, separators read as '\' and one leading '\'
    // dropped ("\<guid>\folder" and "<guid>" alike give the GUID, braces kept; vmPathHead of
    // platform/entities/vmguid.h). Whatever text that component holds is returned; whether it is a GUID
    // is IsVMGUID's to say.
    static std::string ExtractVMGUID(const std::string& path);
    // Adds the ExtractVMGUID of every browse path of the task to `guids`.
    static void ExtractVMGUIDListFromPath(EvMultiEntityRestoreTask* task, std::set<std::string>& guids);

    // The VM named by the request's single path, under the parent (hypervisor) backup set, becomes the
    // entity's client, instance, backup set and subclient; the entity is untouched on error.
    static CUxError ConvertParentVSAEntityToChild(int backupSetId, std::vector<databrowse::BrowsePath>* paths,
                                                  ZyEntities::GenericEntity& entity);
    static CUxError ConvertParentVSAEntityToChild(int backupSetId, const std::string& path,
                                                  ZyEntities::GenericEntity& entity);
};
