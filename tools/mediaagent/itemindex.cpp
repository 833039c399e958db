#include "tools/mediaagent/itemindex.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <string_view>

#include "tools/mediaagent/agentplan.h"
#include "tools/mediaagent/sqlitestmt.h"

namespace mediaagent {

namespace {

constexpr int64_t kOpenEnd = 0x7fffffff;
// Paths a connection keeps resolved; past this many it starts over (a find walks every directory).
constexpr size_t kMaxResolved = 4096;

enum Statement {
    kMeta,
    kSubclients,
    kJobs,
    kChild,
    kEntry,
    kScan,
    kFile,
    kCount,
    kMark,
    kArchiveFiles,
    kOwners,
    kFormerName,
    kVmSubclient,
    kStatementCount
};

const char* const kSql[kStatementCount] = {
    "SELECT value FROM meta WHERE key = ?1",
    "SELECT appId, clientId, appType, kelmarchId, rootEntry FROM subclients ORDER BY appId",
    "SELECT jobId, kelmarchId, time, cycle, isFull FROM jobs WHERE appId = ?1 ORDER BY time, jobId",
    "SELECT id, isDir FROM entries WHERE parent = ?1 AND name = ?2",
    "SELECT parent, name, isDir FROM entries WHERE id = ?1",
    // The children of a directory from a name on, each with its versions in a time window, by name
    // then time: a range scan of entries_by_name and one seek into items per child.
    "SELECT e.id, e.name, i.btime, i.job, i.cycle, i.flags, i.size, i.mtime, i.afile, i.offset, i.version, "
    "i.meta "
    "FROM entries e JOIN items i ON i.entry = e.id "
    "WHERE e.parent = ?1 AND e.name >= ?2 AND i.btime BETWEEN ?3 AND ?4 AND (?5 IS NULL OR e.name GLOB ?5) "
    "ORDER BY e.name, i.btime",
    "SELECT e.id, e.name, i.btime, i.job, i.cycle, i.flags, i.size, i.mtime, i.afile, i.offset, i.version, "
    "i.meta "
    "FROM entries e JOIN items i ON i.entry = e.id WHERE e.id = ?1 AND i.btime BETWEEN ?3 AND ?4 "
    "ORDER BY i.btime",
    "SELECT visible FROM dircounts WHERE dir = ?1 AND job = ?2",
    "SELECT rank, entry FROM pagemarks WHERE dir = ?1 AND job = ?2 AND rank <= ?3 ORDER BY rank DESC LIMIT 1",
    "SELECT a.id, a.jobId, a.kelmarchId, a.fileType, a.cTime, a.size, j.cycle FROM afiles a "
    "JOIN jobs j ON j.appId = a.appId AND j.jobId = a.jobId "
    "WHERE a.appId = ?1 AND j.time BETWEEN ?2 AND ?3 ORDER BY a.cTime, a.id",
    "SELECT entry, owner FROM owners WHERE appId = ?1 ORDER BY entry",
    "SELECT path FROM formernames WHERE appId = ?1 AND name = ?2",
    "SELECT vmAppId FROM vmsubclients WHERE appId = ?1 AND guid = ?2",
};

// Resets a statement (and its bindings) when the scope that used it ends.
struct TReset {
    sqlite3_stmt* s;
    ~TReset() {
        if (s) {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    }
};

std::string columnText(sqlite3_stmt* s, int col) {
    const unsigned char* text = sqlite3_column_text(s, col);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(sqlite3_column_bytes(s, col)))
                : std::string();
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '/' || c == '\\') {
            if (!part.empty()) parts.push_back(std::move(part));
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(std::move(part));
    return parts;
}

bool contains(const std::vector<int>& cycles, int cycle) {
    return std::find(cycles.begin(), cycles.end(), cycle) != cycles.end();
}

bool samePart(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Whether the path of `parts` lies at or below `root`.
bool atOrBelow(const std::vector<std::string>& parts, const std::vector<std::string>& root) {
    return parts.size() >= root.size() && std::equal(root.begin(), root.end(), parts.begin(), samePart);
}

}  // namespace

struct CItemIndex::TScope {
    int appId = 0;
    int64_t dir = 0;      // the directory listed, or 0
    int64_t file = 0;     // the file whose versions are listed, or 0
    std::string dirPath;  // "" for the root
    std::string filePath;
    int64_t low = 0, high = 0;  // backup-time window
    std::vector<int> cycles;    // empty: any
    bool filtered = false;
    std::string filter;
    bool confined = false;                  // only the children named below are visible
    std::vector<std::string> allowedNames;  // the children on the way to the confinement's subtrees
    int jobId = 0;  // single-cycle point in time: the newest job in the cycle by the to-time, else 0
};

CItemIndex::CItemIndex(sqlite3* db) : m_db(db), m_statements(kStatementCount, nullptr) {}

CItemIndex::~CItemIndex() {
    for (sqlite3_stmt* s : m_statements) sqlite3_finalize(s);
    sqlite3_close(m_db);
}

std::unique_ptr<CItemIndex> CItemIndex::open(const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        error = sqliteError(db, "opening the item index " + path);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 10000);
    // The file is never written in place, so the shared lock the first read takes is kept for the
    // connection's life: statements then neither lock nor unlock the file, and the page cache stays valid
    // between them instead of being checked against the file each time.
    if (sqlite3_exec(db, "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = sqliteError(db, "opening the item index " + path);
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<CItemIndex> index(new CItemIndex(db));
    if (!index->statement(kMeta)) {
        error = index->lastError();
        return nullptr;
    }
    return index;
}

TItemIndexLease lendItemIndex(const std::string& path, std::string& error) {
    // Never destroyed: a lease may end on a connection thread during the process's exit.
    static auto* kept = new CKeptConnections<CItemIndex>();
    // A file made again at the same path is another index: its connections are not the old file's.
    struct stat st {};
    std::string key = path;
    if (::stat(path.c_str(), &st) == 0) {
        char identity[96];
        const int n = std::snprintf(
            identity, sizeof identity, "\n%llu:%llu:%lld.%ld", static_cast<unsigned long long>(st.st_dev),
            static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_mtim.tv_sec),
            static_cast<long>(st.st_mtim.tv_nsec));
        key.append(identity, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof identity) - 1)));
    }
    return kept->lend(key, [&] { return CItemIndex::open(path, error); });
}

void CItemIndex::endReadsWhen(std::function<bool()> stopped) {
    // Checked every few thousand steps of the engine: often enough to end within a millisecond or so,
    // rarely enough to cost nothing measurable.
    constexpr int kStepsBetweenChecks = 4096;
    m_stopped = std::move(stopped);
    if (!m_stopped) {
        sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
        return;
    }
    sqlite3_progress_handler(
        m_db, kStepsBetweenChecks,
        [](void* self) { return static_cast<CItemIndex*>(self)->m_stopped() ? 1 : 0; }, this);
}

bool CItemIndex::fail(const std::string& what) {
    m_error = sqliteError(m_db, what);
    return false;
}

sqlite3_stmt* CItemIndex::statement(int which) {
    sqlite3_stmt*& s = m_statements[which];
    if (!s &&
        sqlite3_prepare_v3(m_db, kSql[which], -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
        fail("preparing an index query");
        s = nullptr;
    }
    return s;
}

std::string CItemIndex::metaValue(const std::string& key) {
    sqlite3_stmt* s = statement(kMeta);
    if (!s) return std::string();
    TReset reset{s};
    sqlite3_bind_text(s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    return sqlite3_step(s) == SQLITE_ROW ? columnText(s, 0) : std::string();
}

bool CItemIndex::readSubclients() {
    if (m_subclientsRead) return true;
    sqlite3_stmt* s = statement(kSubclients);
    if (!s) return false;
    TReset reset{s};
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const TIndexSubclient sub{sqlite3_column_int(s, 0), sqlite3_column_int(s, 1),
                                  apptype::of(sqlite3_column_int(s, 2)), sqlite3_column_int(s, 3),
                                  sqlite3_column_int64(s, 4)};
        m_subclients[sub.appId] = sub;
    }
    if (rc != SQLITE_DONE) {
        m_subclients.clear();
        return fail("reading the subclients");
    }
    m_subclientsRead = true;
    return true;
}

const TIndexSubclient* CItemIndex::knownSubclient(int appId) {
    if (!readSubclients()) return nullptr;
    auto it = m_subclients.find(appId);
    if (it != m_subclients.end()) return &it->second;
    m_error = "subclient " + std::to_string(appId) + " is not in the index";
    return nullptr;
}

bool CItemIndex::subclients(std::vector<TIndexSubclient>& out) {
    out.clear();
    if (!readSubclients()) return false;
    for (const auto& [appId, sub] : m_subclients) out.push_back(sub);
    return true;
}

bool CItemIndex::subclient(int appId, TIndexSubclient& out) {
    const TIndexSubclient* sub = knownSubclient(appId);
    if (sub) out = *sub;
    return sub != nullptr;
}

const std::vector<TIndexJob>* CItemIndex::jobsOf(int appId) {
    auto it = m_jobs.find(appId);
    if (it != m_jobs.end()) return &it->second;
    static const std::vector<TIndexJob> kNone;
    // Only the file's own subclients have jobs kept, so no request can grow the memo.
    if (!readSubclients()) return nullptr;
    if (m_subclients.find(appId) == m_subclients.end()) return &kNone;
    sqlite3_stmt* s = statement(kJobs);
    if (!s) return nullptr;
    TReset reset{s};
    sqlite3_bind_int(s, 1, appId);
    std::vector<TIndexJob> all;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        all.push_back({sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int64(s, 2),
                       sqlite3_column_int(s, 3), sqlite3_column_int(s, 4) != 0});
    if (rc != SQLITE_DONE) {
        fail("reading the jobs");
        return nullptr;
    }
    return &m_jobs.emplace(appId, std::move(all)).first->second;
}

bool CItemIndex::jobs(int appId, std::vector<TIndexJob>& out) {
    const std::vector<TIndexJob>* all = jobsOf(appId);
    if (!all) {
        out.clear();
        return false;
    }
    out = *all;
    return true;
}

int CItemIndex::cycleAt(int appId, int64_t time) {
    const std::vector<TIndexJob>* all = jobsOf(appId);
    int cycle = -1;
    for (size_t n = 0; all && n < all->size(); ++n)
        if ((*all)[n].time <= time) cycle = (*all)[n].cycle;
    return cycle;
}

void CItemIndex::remember(std::string key, const TResolved& resolved) {
    if (m_resolved.size() >= kMaxResolved) m_resolved.clear();
    m_resolved.insert_or_assign(std::move(key), resolved);
}

std::string formerNameKey(const std::string& name) {
    std::string key = name;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

std::string vmGuidKey(const std::string& guid) {
    std::string key = guid.size() >= 2 && guid.front() == '{' && guid.back() == '}'
                          ? guid.substr(1, guid.size() - 2)
                          : guid;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

bool CItemIndex::vmSubclient(int appId, const std::string& guid, int& vmAppId) {
    vmAppId = 0;
    sqlite3_stmt* s = statement(kVmSubclient);
    if (!s) return false;
    TReset reset{s};
    const std::string key = vmGuidKey(guid);
    sqlite3_bind_int(s, 1, appId);
    sqlite3_bind_text(s, 2, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return fail("reading the virtual machines");
    vmAppId = sqlite3_column_int(s, 0);
    return true;
}

bool CItemIndex::currentLayoutPath(int appId, const std::string& path, std::string& out) {
    out = path;
    const std::vector<std::string> parts = splitPath(path);
    if (parts.empty() || parts.front().find(kFormerLayoutSeparator) == std::string::npos) return true;
    sqlite3_stmt* s = statement(kFormerName);
    if (!s) return false;
    TReset reset{s};
    const std::string key = formerNameKey(parts.front());
    sqlite3_bind_int(s, 1, appId);
    sqlite3_bind_text(s, 2, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return fail("reading the former names");
    out = columnText(s, 0);
    for (size_t k = 1; k < parts.size(); ++k) out += "/" + parts[k];
    return true;
}

bool CItemIndex::resolve(int appId, const std::string& asked, TItemVersion& entry, bool& found) {
    found = false;
    entry = TItemVersion{};
    // Only a path that holds the older layout's separator can name a folder by its former name.
    std::string current;
    if (asked.find(kFormerLayoutSeparator) != std::string::npos && !currentLayoutPath(appId, asked, current))
        return false;
    const std::string& path = current.empty() ? asked : current;
    const std::vector<std::string> parts = splitPath(path);
    // The key of the first k parts is the prefix of the whole key that ends at ends[k].
    std::string key = std::to_string(appId);
    std::vector<size_t> ends{key.size()};
    for (const std::string& part : parts) {
        key += '/';
        key += part;
        ends.push_back(key.size());
    }
    // From the deepest part already resolved, else from the subclient's root.
    TResolved at;
    bool started = false;
    size_t known = parts.size() + 1;
    while (!started && known > 0) {
        auto it = m_resolved.find(std::string_view(key).substr(0, ends[--known]));
        if (it != m_resolved.end()) {
            at = it->second;
            started = true;
        }
    }
    if (!started) {
        const TIndexSubclient* sub = knownSubclient(appId);
        if (!sub) return false;
        at.found = true;
        at.entry.entry = sub->rootEntry;
        at.entry.flags = kItemDirectory;
        at.entry.appId = appId;
        at.entry.path = "/";
        remember(key.substr(0, ends[0]), at);
        known = 0;
    }
    sqlite3_stmt* s = nullptr;
    for (size_t k = known; k < parts.size() && at.found; ++k) {
        const std::string& part = parts[k];
        if (!at.entry.directory()) {
            at.found = false;  // a file has no children
        } else {
            if (!s && !(s = statement(kChild))) return false;
            TReset reset{s};
            sqlite3_bind_int64(s, 1, at.entry.entry);
            sqlite3_bind_text(s, 2, part.data(), static_cast<int>(part.size()), SQLITE_TRANSIENT);
            const int rc = sqlite3_step(s);
            if (rc == SQLITE_DONE) {
                at.found = false;
            } else if (rc != SQLITE_ROW) {
                return fail("resolving " + path);
            } else {
                at.entry.parent = at.entry.entry;
                at.entry.entry = sqlite3_column_int64(s, 0);
                at.entry.flags = sqlite3_column_int(s, 1) ? kItemDirectory : 0;
                at.entry.name = part;
                at.entry.path = (k == 0 ? std::string() : at.entry.path) + "/" + part;
            }
        }
        remember(key.substr(0, ends[k + 1]), at);
    }
    if (at.found) {
        entry = std::move(at.entry);
        found = true;
    }
    return true;
}

std::string ownerKey(const std::string& owner) {
    std::string key = owner.size() >= 2 && owner.front() == '{' && owner.back() == '}'
                          ? owner.substr(1, owner.size() - 2)
                          : owner;
    for (char& c : key) c = c == '-' ? 'X' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

void confineQuery(TBrowseQuery& query, const std::vector<std::string>& roots) {
    if (!query.confined) {
        query.confined = true;
        query.within = roots;
        return;
    }
    // Both confinements hold: of each pair of subtrees, the deeper one where one holds the other.
    std::vector<std::string> both;
    for (const std::string& a : query.within)
        for (const std::string& b : roots) {
            const std::vector<std::string> pa = splitPath(a), pb = splitPath(b);
            if (atOrBelow(pa, pb))
                both.push_back(a);
            else if (atOrBelow(pb, pa))
                both.push_back(b);
        }
    query.within = std::move(both);
}

bool CItemIndex::ownedPaths(int appId, const std::string& owner, std::vector<std::string>& out) {
    out.clear();
    const TIndexSubclient* sub = knownSubclient(appId);
    if (!sub) return false;
    const int64_t root = sub->rootEntry;
    std::vector<int64_t> owned;
    {
        sqlite3_stmt* s = statement(kOwners);
        if (!s) return false;
        TReset reset{s};
        sqlite3_bind_int(s, 1, appId);
        int rc;
        bool any = false;
        const std::string key = ownerKey(owner);
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            any = true;
            if (columnText(s, 1) == key) owned.push_back(sqlite3_column_int64(s, 0));
        }
        if (rc != SQLITE_DONE) return fail("reading the owners");
        // Data whose owners the index never learnt cannot be told apart: that is no answer of "none".
        if (!any) {
            m_error = "the index keeps no owners of subclient " + std::to_string(appId);
            return false;
        }
    }
    sqlite3_stmt* s = statement(kEntry);
    if (!s) return false;
    for (int64_t entry : owned) {
        std::string path;
        // Up to the subclient's root; a broken chain is a fault of the file, not an empty path.
        for (int hops = 0; entry != root; ++hops) {
            TReset reset{s};
            sqlite3_bind_int64(s, 1, entry);
            if (hops > 4096 || sqlite3_step(s) != SQLITE_ROW) return fail("reading an owner's folder");
            path = "/" + columnText(s, 1) + path;
            entry = sqlite3_column_int64(s, 0);
        }
        out.push_back(path.empty() ? "/" : path);
    }
    return true;
}

bool CItemIndex::scope(const TBrowseQuery& query, bool range, TScope& sc, bool& found) {
    TItemVersion target;
    if (!resolve(query.appId, query.path, target, found)) return false;
    if (!found) return true;
    sc = TScope{};
    sc.appId = query.appId;
    if (target.directory()) {
        sc.dir = target.entry;
        sc.dirPath = target.path == "/" ? std::string() : target.path;
    } else {
        sc.file = target.entry;
        sc.filePath = target.path;
    }
    sc.filtered = !query.nameFilter.empty() && query.nameFilter != "*";
    sc.filter = query.nameFilter;
    sc.high =
        query.toTime <= 0 || query.toTime >= kOpenEnd ? std::numeric_limits<int64_t>::max() : query.toTime;
    sc.low = range ? query.fromTime : 0;
    sc.cycles = query.cycles;
    if (query.confined) {
        // Inside a subtree of the confinement all is visible; above one, only the folders leading to
        // it; anywhere else nothing.
        const std::vector<std::string> here = splitPath(sc.file ? sc.filePath : sc.dirPath);
        bool inside = false;
        for (const std::string& root : query.within) {
            const std::vector<std::string> parts = splitPath(root);
            if (atOrBelow(here, parts)) {
                inside = true;
                break;
            }
            if (sc.dir != 0 && parts.size() > here.size() && atOrBelow(parts, here))
                sc.allowedNames.push_back(parts[here.size()]);
        }
        if (!inside) {
            sc.confined = true;
            if (sc.allowedNames.empty()) sc.high = -1;
        }
    }
    if (range) return true;

    const std::vector<TIndexJob>* known = jobsOf(query.appId);
    if (!known) return false;
    const std::vector<TIndexJob>& all = *known;
    if (sc.cycles.empty()) {
        int cycle = -1;
        for (const TIndexJob& j : all)
            if (j.time <= sc.high) cycle = j.cycle;
        if (cycle < 0) {
            sc.high = -1;  // before the first backup: nothing
            return true;
        }
        sc.cycles.push_back(cycle);
    }
    if (sc.cycles.size() == 1) {
        // One cycle: its versions start with its first job, and its visible set is that after its newest
        // job by the to-time (whose counts and page marks the index keeps).
        sc.low = std::numeric_limits<int64_t>::max();
        for (const TIndexJob& j : all)
            if (j.cycle == sc.cycles.front()) {
                sc.low = std::min(sc.low, j.time);
                if (j.time <= sc.high) sc.jobId = j.jobId;
            }
    }
    // A from-time inside the cycles hides the versions backed up before it; the counts and page marks
    // kept per job count those versions, so they no longer apply.
    if (query.fromTime > sc.low) {
        sc.low = query.fromTime;
        sc.jobId = 0;
    }
    return true;
}

namespace {

// The path of a version a scan hands over (a file's own, else its directory's and its name): made only
// for the versions answered, not for every version read.
std::string pathOf(const std::string& dirPath, const std::string& filePath, const std::string& name) {
    if (!filePath.empty()) return filePath;
    std::string path;
    path.reserve(dirPath.size() + 1 + name.size());  // one allocation, not one per piece
    path.append(dirPath).append(1, '/').append(name);
    return path;
}

}  // namespace

template <class F>
bool CItemIndex::scanVersions(const TScope& sc, const std::string& startName, F take) {
    sqlite3_stmt* s = statement(sc.file ? kFile : kScan);
    if (!s) return false;
    if (sc.high < sc.low) return true;
    TReset reset{s};
    sqlite3_bind_int64(s, 1, sc.file ? sc.file : sc.dir);
    sqlite3_bind_text(s, 2, startName.data(), static_cast<int>(startName.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 3, sc.low);
    sqlite3_bind_int64(s, 4, sc.high);
    if (sc.filtered)
        sqlite3_bind_text(s, 5, sc.filter.data(), static_cast<int>(sc.filter.size()), SQLITE_TRANSIENT);
    std::vector<TItemVersion> group;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const int64_t entry = sqlite3_column_int64(s, 0);
        if (!group.empty() && group.front().entry != entry) {
            if (!take(group)) return true;
            group.clear();
        }
        const int cycle = sqlite3_column_int(s, 4);
        if (!sc.cycles.empty() && !contains(sc.cycles, cycle)) continue;
        std::string name = columnText(s, 1);
        if (sc.confined && std::none_of(sc.allowedNames.begin(), sc.allowedNames.end(),
                                        [&](const std::string& a) { return samePart(a, name); }))
            continue;
        TItemVersion& v = group.emplace_back();
        v.entry = entry;
        v.parent = sc.dir;
        v.name = std::move(name);
        v.backupTime = sqlite3_column_int64(s, 2);
        v.jobId = sqlite3_column_int(s, 3);
        v.cycle = cycle;
        v.flags = static_cast<uint64_t>(sqlite3_column_int64(s, 5));
        v.size = sqlite3_column_int64(s, 6);
        v.modificationTime = sqlite3_column_int64(s, 7);
        v.archiveFileId = sqlite3_column_int(s, 8);
        v.offset = sqlite3_column_int64(s, 9);
        v.version = sqlite3_column_int(s, 10);
        v.metadata = columnText(s, 11);
        v.appId = sc.appId;
    }
    if (rc != SQLITE_DONE) return fail("reading the items");
    if (!group.empty()) take(group);
    return true;
}

bool CItemIndex::pointInTimeStart(const TScope& sc, const TBrowseQuery& query, std::string& startName,
                                  uint32_t& skipLeft) {
    startName.clear();
    skipLeft = query.skip;
    int64_t startEntry = 0;
    if (query.firstNode != 0) {
        startEntry = query.firstNode;
    } else if (sc.jobId != 0 && !sc.filtered && !sc.confined &&
               query.skip >= static_cast<uint32_t>(kPageMarkStride)) {
        sqlite3_stmt* s = statement(kMark);
        if (!s) return false;
        TReset reset{s};
        sqlite3_bind_int64(s, 1, sc.dir);
        sqlite3_bind_int(s, 2, sc.jobId);
        sqlite3_bind_int64(s, 3, query.skip);
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            skipLeft = query.skip - static_cast<uint32_t>(sqlite3_column_int64(s, 0));
            startEntry = sqlite3_column_int64(s, 1);
        } else if (rc != SQLITE_DONE) {
            return fail("reading the page marks");
        }
    }
    if (startEntry == 0) return true;
    sqlite3_stmt* s = statement(kEntry);
    if (!s) return false;
    TReset reset{s};
    sqlite3_bind_int64(s, 1, startEntry);
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW && sqlite3_column_int64(s, 0) == sc.dir) {
        startName = columnText(s, 1);
        return true;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail("reading an entry");
    m_error = "node " + std::to_string(startEntry) + " is not a child of the directory browsed";
    return false;
}

bool CItemIndex::listAt(const TBrowseQuery& query, std::vector<TItemVersion>& out, bool& found) {
    out.clear();
    TScope sc;
    if (!scope(query, false, sc, found)) return false;
    if (!found) return true;
    std::string start;
    uint32_t skipLeft = 0;
    if (!pointInTimeStart(sc, query, start, skipLeft)) return false;
    return scanVersions(sc, start, [&](std::vector<TItemVersion>& versions) {
        TItemVersion& newest = versions.back();
        if (newest.deleted()) return true;
        if (skipLeft > 0) {
            --skipLeft;
            return true;
        }
        newest.path = pathOf(sc.dirPath, sc.filePath, newest.name);
        out.push_back(std::move(newest));
        return query.pageSize == 0 || out.size() < query.pageSize;
    });
}

bool CItemIndex::countAt(const TBrowseQuery& query, int64_t& count, bool& found) {
    count = 0;
    TScope sc;
    if (!scope(query, false, sc, found)) return false;
    if (!found) return true;
    if (sc.dir != 0 && !sc.filtered && !sc.confined && sc.jobId != 0) {
        sqlite3_stmt* s = statement(kCount);
        if (!s) return false;
        TReset reset{s};
        sqlite3_bind_int64(s, 1, sc.dir);
        sqlite3_bind_int(s, 2, sc.jobId);
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) count = sqlite3_column_int64(s, 0);
        return rc == SQLITE_ROW || rc == SQLITE_DONE || fail("reading a count");
    }
    return scanVersions(sc, std::string(), [&](std::vector<TItemVersion>& versions) {
        count += versions.back().deleted() ? 0 : 1;
        return true;
    });
}

bool CItemIndex::listRange(const TBrowseQuery& query, std::vector<TItemVersion>& out, bool& found) {
    out.clear();
    TScope sc;
    if (!scope(query, true, sc, found)) return false;
    if (!found) return true;
    std::string start;
    if (query.firstNode != 0 && sc.dir != 0) {
        TBrowseQuery keyed = query;
        keyed.skip = 0;
        uint32_t unused = 0;
        if (!pointInTimeStart(sc, keyed, start, unused)) return false;
    }
    uint32_t skipLeft = query.skip;
    return scanVersions(sc, start, [&](std::vector<TItemVersion>& versions) {
        uint32_t ordinal = 0;
        for (TItemVersion& v : versions) {
            v.rangeOrdinal = ++ordinal;
            if (skipLeft > 0) {
                --skipLeft;
                continue;
            }
            v.path = pathOf(sc.dirPath, sc.filePath, v.name);
            out.push_back(std::move(v));
            if (query.pageSize != 0 && out.size() >= query.pageSize) return false;
        }
        return true;
    });
}

bool CItemIndex::countRange(const TBrowseQuery& query, int64_t& count, bool& found) {
    count = 0;
    TScope sc;
    if (!scope(query, true, sc, found)) return false;
    if (!found) return true;
    return scanVersions(sc, std::string(), [&](std::vector<TItemVersion>& versions) {
        count += static_cast<int64_t>(versions.size());
        return true;
    });
}

bool CItemIndex::archiveFiles(int appId, int64_t fromTime, int64_t toTime, const std::vector<int>& cycles,
                              std::vector<TIndexArchiveFile>& out) {
    out.clear();
    sqlite3_stmt* s = statement(kArchiveFiles);
    if (!s) return false;
    TReset reset{s};
    sqlite3_bind_int(s, 1, appId);
    sqlite3_bind_int64(s, 2, fromTime);
    sqlite3_bind_int64(s, 3,
                       toTime <= 0 || toTime >= kOpenEnd ? std::numeric_limits<int64_t>::max() : toTime);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        if (!cycles.empty() && !contains(cycles, sqlite3_column_int(s, 6))) continue;
        out.push_back({sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2),
                       sqlite3_column_int(s, 3), sqlite3_column_int64(s, 4), sqlite3_column_int64(s, 5)});
    }
    return rc == SQLITE_DONE || fail("reading the archive files");
}

}  // namespace mediaagent
