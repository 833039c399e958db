// CItemIndex: the media agent's index of backed-up item versions, one SQLite file, read through one
// connection per object. One object is used by one thread at a time (each restore session opens its
// own); any number may read the same file at once.
//
// Layout (see itemindexbuilder.h for how it is made): entries (id, parent, name, isDir, appId) with a
// unique index on (parent, name); items keyed by (entry, backup time) holding each version's job,
// cycle, flags, size, times, archive file, offset and metadata; per directory and job the number of
// entries visible after that job (dircounts) and every kPageMarkStride-th of them (pagemarks). So the
// children of D as of T are an index range scan in name order taking, per name, the newest version at
// or before T; a page at offset N starts from the nearest page mark; counts are one row.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/entities/apptypes.h"
#include "tools/mediaagent/keptconnections.h"

namespace mediaagent {

// Flag bits of an item version (those of the restore protocol's items).
constexpr uint64_t kItemDirectory = 0x1;
constexpr uint64_t kItemDeleted = 0x2;
constexpr uint64_t kItemTypeUnknown = 0x8;  // a directory the agent reports without its type

// Every kPageMarkStride-th visible entry of a directory after a job is marked.
constexpr int kPageMarkStride = 256;

struct TItemVersion {
    int64_t entry = 0;  // the node id: stable, usable as the first node of a page
    int64_t parent = 0;
    std::string name;
    std::string path;  // the directory's path, '/' and the name
    uint64_t flags = 0;
    int64_t size = 0;
    int64_t modificationTime = 0;
    int64_t backupTime = 0;
    int jobId = 0;
    int cycle = 0;
    int appId = 0;
    int archiveFileId = 0;
    int64_t offset = 0;
    int version = 0;  // 1 for an entry's first version, counting up
    // Range listings: 1 for the entry's first version in the range, counting up; a range listing that
    // starts at this entry (first node) and skips this many versions continues after this one.
    uint32_t rangeOrdinal = 0;
    std::string metadata;
    bool directory() const { return (flags & kItemDirectory) != 0; }
    bool deleted() const { return (flags & kItemDeleted) != 0; }
};

struct TIndexJob {
    int jobId = 0;
    int kelmarchId = 0;
    int64_t time = 0;
    int cycle = 0;
    bool full = false;
};

struct TIndexArchiveFile {
    int id = 0;
    int jobId = 0;
    int kelmarchId = 0;
    int fileType = 0;
    int64_t cTime = 0;
    int64_t size = 0;
};

struct TIndexSubclient {
    int appId = 0;
    int clientId = 0;
    apptype::EAppType appType{};
    int kelmarchId = 0;
    int64_t rootEntry = 0;
};

// What a browse asks. Times are seconds; a to-time of 0 or 0x7fffffff means "now".
struct TBrowseQuery {
    int appId = 0;
    std::string path = "/";  // a directory ('/' or '\' separated; "/" the subclient's root), or a file
    int64_t toTime = 0;
    int64_t fromTime = 0;     // versions backed up before it are not shown (0: no lower bound)
    std::vector<int> cycles;  // empty: the cycle holding the to-time (point in time), any (range)
    std::string nameFilter;   // a glob over the names (SQLite GLOB); empty or "*": all
    int64_t firstNode = 0;    // non-zero: the page starts at this entry (it must be a child)
    uint32_t skip = 0;        // then skips this many entries (point in time) or versions (range)
    uint32_t pageSize = 0;    // 0: no limit
    bool filesBelow = false;  // a find: every file below the directory (vmanswers.h), not its children
    // An end user's confinement: only these subtrees ('/' or '\' separated, compared without regard
    // to case) and the folders on the way to them are visible; confined to none, nothing is.
    bool confined = false;
    std::vector<std::string> within;
};

// An owner's key as the index keeps it: upper case, each '-' an 'X', without surrounding braces (so a
// mailbox GUID and a directory object id written either way compare equal).
std::string ownerKey(const std::string& owner);

// An older-layout mailbox name as the index keeps it: upper case (names compare without regard to case).
std::string formerNameKey(const std::string& name);

// A VM GUID as the index keeps it: without braces, upper case.
std::string vmGuidKey(const std::string& guid);

// Narrows `query` to the subtrees `roots` (within those it is confined to already).
void confineQuery(TBrowseQuery& query, const std::vector<std::string>& roots);

class CItemIndex {
public:
    ~CItemIndex();
    CItemIndex(const CItemIndex&) = delete;
    CItemIndex& operator=(const CItemIndex&) = delete;

    // Opens an index file made by CItemIndexBuilder, read only; null with `error`.
    static std::unique_ptr<CItemIndex> open(const std::string& path, std::string& error);

    // The text of the last failure of this object.
    const std::string& lastError() const { return m_error; }

    // While `stopped` is set, every read of this object ends, failing, as soon as it returns true: a
    // stopped answer's read ends within its query, however long that query is. Empty: reads run to
    // their end.
    void endReadsWhen(std::function<bool()> stopped);

    // The builder's parameters and the plan signature it was made from ("" when absent).
    std::string metaValue(const std::string& key);

    bool subclients(std::vector<TIndexSubclient>& out);
    bool subclient(int appId, TIndexSubclient& out);
    bool jobs(int appId, std::vector<TIndexJob>& out);  // in time order
    // The cycle holding `time` (the cycle of the newest job at or before it), -1 before the first job.
    int cycleAt(int appId, int64_t time);

    // The paths ('/' separated) of the folders of the subclient whose data belong to `owner`; false
    // when the index keeps no owners of the subclient at all.
    bool ownedPaths(int appId, const std::string& owner, std::vector<std::string>& out);

    // The path in the index's own layout of a path that begins with a folder's older-layout name (a
    // mailbox's triplet, whose parts are separated by 0x12): that folder's path and the rest; any other
    // path (or a name this subclient never had) unchanged.
    bool currentLayoutPath(int appId, const std::string& path, std::string& out);

    // The VM's own subclient of a hypervisor's subclient named by the VM's GUID (braces and letter case
    // aside); 0 when the hypervisor has no such VM. False only when the index cannot be read.
    bool vmSubclient(int appId, const std::string& guid, int& vmAppId);

    // The entry a path names (empty, with `found` false, when none): the subclient's root for "/", "" or
    // "\"; a path of the older mailbox layout names the folder it stands for.
    bool resolve(int appId, const std::string& path, TItemVersion& entry, bool& found);

    // The items of a directory at a point in time: per child, its newest version at or before the
    // to-time within the cycles asked and not before the from-time; children whose newest such version
    // is a deletion, and those with none, are left out. In name order, paged by the query. `found` is false
    // for a path that names no directory.
    bool listAt(const TBrowseQuery& query, std::vector<TItemVersion>& out, bool& found);
    bool countAt(const TBrowseQuery& query, int64_t& count, bool& found);

    // Every version of the children of a directory (or of the one file a path names) with a backup time
    // in [from, to] within the cycles asked (deletions included, flagged), by name then time, paged.
    bool listRange(const TBrowseQuery& query, std::vector<TItemVersion>& out, bool& found);
    bool countRange(const TBrowseQuery& query, int64_t& count, bool& found);

    // The subclient's archive files of its jobs in [from, to] (to 0: no limit) within `cycles` (empty:
    // any), data and index, oldest first.
    bool archiveFiles(int appId, int64_t fromTime, int64_t toTime, const std::vector<int>& cycles,
                      std::vector<TIndexArchiveFile>& out);

private:
    struct TStatement;
    struct TScope;  // a resolved browse: directory entry, time bounds, cycles
    explicit CItemIndex(sqlite3* db);

    bool fail(const std::string& what);
    sqlite3_stmt* statement(int which);
    bool scope(const TBrowseQuery& query, bool range, TScope& scope, bool& found);
    // Scans the versions of the scope in (name, time) order from `startName`, handing each group of one
    // entry's versions (their paths not yet made) to `take`, which returns false to stop.
    template <class F>
    bool scanVersions(const TScope& scope, const std::string& startName, F take);
    bool pointInTimeStart(const TScope& scope, const TBrowseQuery& query, std::string& startName,
                          uint32_t& skipLeft);
    // What the file holds for good, read once per connection: a file is never changed in place (a new
    // index is renamed over the old one, and lendItemIndex keys connections by the file itself).
    struct TResolved {
        TItemVersion entry;
        bool found = false;
    };
    bool readSubclients();
    const TIndexSubclient* knownSubclient(int appId);  // null with the error when not in the file
    const std::vector<TIndexJob>* jobsOf(int appId);
    void remember(std::string key, const TResolved& resolved);

    sqlite3* m_db;
    std::function<bool()> m_stopped;
    std::vector<sqlite3_stmt*> m_statements;  // prepared on first use
    std::string m_error;
    bool m_subclientsRead = false;
    std::map<int, TIndexSubclient> m_subclients;
    std::map<int, std::vector<TIndexJob>> m_jobs;  // of the subclients in the file
    // Paths resolved, keyed by the subclient and the path's parts as asked ("<appId>/a/b"); bounded.
    std::map<std::string, TResolved, std::less<>> m_resolved;
};

// A connection to the index file at `path` from the process's kept ones (opened when none is idle),
// given back when the lease ends; empty with `error` when the file cannot be opened.
using TItemIndexLease = CKeptConnections<CItemIndex>::TLease;
TItemIndexLease lendItemIndex(const std::string& path, std::string& error);

}  // namespace mediaagent
