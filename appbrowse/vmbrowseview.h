// CVMBrowseView: the one owner of a virtual machine's view of a browse. For a browse of application
// type 106 on the index road it decides which index answers (the VM's own, or its hypervisor's, which
// holds each VM below the VM's GUID) and renames every answer back to the VM's own view, whatever road
// the browse came by; the VM a path names is read by CBrowseVSAUtils::ExtractVMGUID. It also owns the
// mark that hands a direct caller's VM browse back to the Hubmaster (kept in
// platform/entities/vmhandback.h, which the console shares without linking the service). One object per
// worker, written on the worker's request thread before planning and read under the worker's lock by the
// relays of its answers; the static members from any thread.
#pragma once

#include <set>
#include <string>

#include "platform/msg/msg_classes.h"

class EvMultiEntityRestoreTask;

class CVMBrowseView {
public:
    // Decides the view of a VM browse; task and request are rewritten when the browse moves to the
    // hypervisor's index. Either a VM named by its own client whose jobs of the range were indexed under
    // its hypervisor (the browse moves there, below the VM's GUID), or VMs named by their GUIDs under
    // their hypervisor's backup set (the hypervisor's index answers them). True when the answers are to
    // be renamed into the VMs' own view.
    bool decide(EvMultiEntityRestoreTask* task, databrowse::BrowseRequest& request);

    // Whether answers are renamed: a hypervisor's index answers VMs of this browse.
    bool active() const { return !m_guids.empty(); }
    // The VMs the hypervisor's index is asked for, by GUID.
    const std::set<std::string>& guids() const { return m_guids; }
    // The VM client whose rights were judged before the browse moved to its hypervisor (0: none).
    long judgedClient() const { return m_judgedClient; }
    // The value of the VM criterion that keeps a query to one VM: a backslash and its GUID.
    static std::string criterionValue(const std::string& guid) { return "\\" + guid; }

    // Renames the items of an answer (path and display path) from the hypervisor's index, where each VM
    // lies below its GUID, to the VM's own view; true when an item changed.
    bool mapAnswer(databrowse::BrowseResponse& response) const;
    // A path of the hypervisor's index below one of this browse's VMs as that VM's own view names it
    // ("\" for the VM itself); any other path as it is.
    std::string ownPath(const std::string& path) const;

    // Marks a request that the Hubmaster browses itself for a direct caller: of the VM index kind and
    // for the direct caller, naming no media agent; the caller then browses through the Hubmaster. The
    // mark is written and read in vmhandback (platform/entities/vmhandback.h) only.
    static void markForHubmaster(databrowse::BrowseRequest& request);

    // A path whose first two characters are the same separator read with one: a live browse and the
    // copy-precedence check of a direct caller accept a VM named after a doubled separator.
    static std::string oneLeadingSeparator(const std::string& path);
    // Whether `path` lies at or below the VM's GUID (separators, braces and letter case aside).
    static bool isUnder(const std::string& path, const std::string& guid);
    // A path a caller names below a VM's GUID as the VM's own view names it ("\" for the VM itself);
    // `path` unchanged when it names no GUID.
    static std::string withoutVmGuid(const std::string& path);
    // A path of the VM's own view as its hypervisor's index holds it, below the VM's GUID once; a path
    // already there stays as it is (one named there after more than one separator comes with one).
    static std::string belowVmGuid(const std::string& guid, const std::string& path);
    // Why a VM browse's paths are refused before any road reads them: a path that names a VM by its
    // GUID after more than one leading separator ("\\<GUID>\C", "//<GUID>") names no VM when read as
    // every VM path is, with one, and its caller is told what a VM path looks like. Empty when the task
    // is no VM browse, a live one (whose road reads its own paths) or has no such path.
    static std::string pathRefusal(EvMultiEntityRestoreTask* task);

private:
    std::set<std::string> m_guids;
    long m_judgedClient = 0;
};
