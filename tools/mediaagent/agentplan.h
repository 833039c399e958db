// The backups one media agent holds, as the Hubmaster database records them: its client row, and per
// subclient whose archive files lie on one of its copies the jobs (in time order, with their backup
// cycles) and the archive files. The item index is generated from this plan, so the media agent and
// the Hubmaster agree on jobs, cycles and archive files. Plain values; loaded by one thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/entities/apptypes.h"

namespace mediaagent {

// The byte between the parts of an older-layout mailbox name (server, store, alias).
constexpr char kFormerLayoutSeparator = '\x12';

struct TArchiveFilePlan {
    int id = 0;
    int jobId = 0;
    int kelmarchId = 0;
    int fileType = 0;  // 1 and 4 data, 2, 6 and 34 index
    int cTime = 0;
    int copyId = 0;
    long long physicalSize = 0;
};

struct TJobPlan {
    int jobId = 0;
    int kelmarchId = 0;
    int time = 0;  // its earliest archive file
    int cycle = 0;
    bool full = false;
    std::vector<int> dataFiles;  // archive file ids
    std::vector<int> indexFiles;
};

// A folder ('/' separated) holding a copy of the subclient's generated tree, and whose data it is (the
// mailbox GUID or directory object id its end user is known by; empty: nobody's in particular).
struct TContentRoot {
    std::string path;
    std::string owner;
    // The name the folder's data had in the older mailbox layout (the mailbox's triplet: server, store
    // and alias separated by 0x12), which data written before the client's upgrade are browsed by;
    // empty when the mailbox never had one.
    std::string formerName{};
};

// The content roots a "Content Root" property value names.
std::vector<TContentRoot> parseContentRoots(const std::string& text);

struct TSubclientPlan {
    int appId = 0;
    int clientId = 0;
    apptype::EAppType appType{};
    int kelmarchId = 0;
    std::vector<TJobPlan> jobs;  // in time order
    std::vector<TArchiveFilePlan> archiveFiles;
    // Directories this agent reports without their type (the subclient's "Items Of Unknown Type"
    // property, paths separated by ';'): the Hubmaster resolves each by a browse of its own.
    std::vector<std::string> unknownTypePaths;
    // Where the subclient's items lie (none: the root): an application keeps each owner's data below
    // folders of its own (a mailbox under "MB/{its GUID}", a OneDrive user's under "OneDrive/<e-mail>").
    // The subclient's "Content Root" property: roots separated by ';', each "path" or "path=owner".
    std::vector<TContentRoot> contentRoots;
    // A hypervisor's subclient: its VMs, each by its GUID with the VM's own subclient, whose items are
    // the VM's part of the hypervisor's index (below the GUID).
    std::vector<std::pair<std::string, int>> vmSubclients;
};

struct TAgentPlan {
    int clientId = 0;
    std::string clientName;
    std::string hostName;
    std::string versionText;
    int zydPort = 0;
    std::vector<TSubclientPlan> subclients;  // by subclient id

    // A text that changes whenever anything the index is made from changes.
    std::string signature() const;
};

// Reads the plan of the media agent named `clientName` (APP_Client.name or net_hostname) from the
// Hubmaster database file at `hubDbPath`: its APP_Client and mediaAgent rows, the copies it serves
// (archGroupCopy), and per subclient (APP_Application) the valid, unaged archive files of finished
// jobs on those copies (archFile, archFileCopy, JMJobInfo) with their cycles. False with `error`.
bool loadAgentPlan(const std::string& hubDbPath, const std::string& clientName, TAgentPlan& plan,
                   std::string& error);

}  // namespace mediaagent
