#include "tools/mediaagent/itemindexbuilder.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "platform/config/privatefile.h"
#include "platform/msg/msg_classes.h"
#include "platform/threads/hubclock.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/sqlitestmt.h"

namespace mediaagent {

namespace {

const char* const kSchema =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE subclients(appId INTEGER PRIMARY KEY, clientId INTEGER, appType INTEGER, "
    "kelmarchId INTEGER, rootEntry INTEGER);"
    "CREATE TABLE jobs(appId INTEGER, jobId INTEGER, kelmarchId INTEGER, time INTEGER, cycle INTEGER, "
    "isFull INTEGER, PRIMARY KEY(appId, jobId)) WITHOUT ROWID;"
    "CREATE TABLE afiles(id INTEGER PRIMARY KEY, appId INTEGER, jobId INTEGER, kelmarchId INTEGER, "
    "fileType INTEGER, cTime INTEGER, size INTEGER);"
    "CREATE TABLE entries(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL, "
    "isDir INTEGER NOT NULL, appId INTEGER NOT NULL);"
    "CREATE TABLE items(entry INTEGER NOT NULL, btime INTEGER NOT NULL, job INTEGER, cycle INTEGER, "
    "flags INTEGER, size INTEGER, mtime INTEGER, afile INTEGER, offset INTEGER, version INTEGER, meta TEXT, "
    "PRIMARY KEY(entry, btime)) WITHOUT ROWID;"
    "CREATE TABLE dircounts(dir INTEGER, job INTEGER, visible INTEGER, PRIMARY KEY(dir, job)) WITHOUT ROWID;"
    "CREATE TABLE pagemarks(dir INTEGER, job INTEGER, rank INTEGER, entry INTEGER, "
    "PRIMARY KEY(dir, job, rank)) WITHOUT ROWID;"
    "CREATE TABLE owners(entry INTEGER PRIMARY KEY, appId INTEGER NOT NULL, owner TEXT NOT NULL);"
    "CREATE TABLE formernames(appId INTEGER NOT NULL, name TEXT NOT NULL, path TEXT NOT NULL, "
    "PRIMARY KEY(appId, name)) WITHOUT ROWID;"
    "CREATE TABLE vmsubclients(appId INTEGER NOT NULL, guid TEXT NOT NULL, vmAppId INTEGER NOT NULL, "
    "PRIMARY KEY(appId, guid)) WITHOUT ROWID;";

// Created once the rows are in: one sort instead of millions of index updates.
const char* const kIndexes =
    "CREATE UNIQUE INDEX entries_by_name ON entries(parent, name);"
    "CREATE INDEX afiles_by_job ON afiles(appId, jobId);";

uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// A value drawn for (file, job, purpose): the same in every run.
uint64_t draw(uint64_t seed, int64_t file, int job, int purpose) {
    return mix(seed ^ mix(static_cast<uint64_t>(file) * 0x100000001b3ULL + static_cast<uint64_t>(job) * 131 +
                          static_cast<uint64_t>(purpose)));
}

enum Purpose { kBirth = 1, kBirthJob, kChange, kDelete, kSize, kTime, kArchive, kOwner };

struct TVersion {
    size_t job = 0;  // index into the subclient's jobs
    uint64_t flags = 0;
    int64_t size = 0;
    int64_t mtime = 0;
    int afile = 0;
    bool metadata = false;
};

struct TChild {
    std::string name;
    bool directory = false;
    int64_t file = -1;      // the file's number, for a file
    int64_t firstLeaf = 0;  // for a directory: the leaves below it
    int64_t leafCount = 0;
    int level = 0;
    bool big = false;
    // Above the content roots: the folders from the subclient's root to here ("" at the root); a
    // content root itself is where the generated tree starts.
    std::string towards{};
    bool generated = false;
    std::string owner{};  // a content root's owner
};

class CGenerator {
public:
    CGenerator(sqlite3* db, const TIndexScale& scale) : m_db(db), m_scale(scale) {}

    bool prepare(std::string& error) {
        const std::pair<CSqliteStatement*, const char*> all[] = {
            {&m_entry, "INSERT INTO entries(id, parent, name, isDir, appId) VALUES(?,?,?,?,?)"},
            {&m_item,
             "INSERT INTO items(entry, btime, job, cycle, flags, size, mtime, afile, offset, version, meta) "
             "VALUES(?,?,?,?,?,?,?,?,?,?,?)"},
            {&m_count, "INSERT INTO dircounts(dir, job, visible) VALUES(?,?,?)"},
            {&m_mark, "INSERT INTO pagemarks(dir, job, rank, entry) VALUES(?,?,?,?)"},
            {&m_owner, "INSERT INTO owners(entry, appId, owner) VALUES(?,?,?)"},
        };
        for (const auto& [st, sql] : all)
            if (!st->prepare(m_db, sql)) {
                error = sqliteError(m_db, "preparing the index inserts");
                return false;
            }
        IdxMetadata::IdxMetaData meta;
        CNMessageBase* exchange = meta.getObjectAccessor(IdxMetadata::IdxMetaData::f::at8_8, true);
        exchange->setstring(1, 1, kOwnerMark, IdxMetadata::Msg23::TAG, msgNameCode("ownerName"));
        if (meta.serialize(m_metadataTemplate) != 0 ||
            m_metadataTemplate.find(kOwnerMark) == std::string::npos) {
            error = "cannot write the metadata of an item";
            return false;
        }
        return true;
    }

    bool subclient(const TSubclientPlan& sub, int64_t& rootEntry, std::string& error) {
        m_sub = &sub;
        m_roots.clear();
        for (const TContentRoot& r : sub.contentRoots) {
            std::string path;
            for (size_t start = 0; start < r.path.size();) {
                const size_t end = std::min(r.path.find('/', start), r.path.size());
                if (end > start) path += (path.empty() ? "" : "/") + r.path.substr(start, end - start);
                start = end + 1;
            }
            if (!path.empty()) m_roots.emplace(path, r.owner.empty() ? "" : ownerKey(r.owner));
        }
        m_incrementals.clear();
        for (size_t j = 0; j < sub.jobs.size(); ++j)
            if (!sub.jobs[j].full && j > 0) m_incrementals.push_back(j);
        m_offsets.clear();
        const int64_t regular = std::max<int64_t>(0, m_scale.files - m_scale.bigDirectoryFiles);
        const int64_t perLeaf = std::max(1, m_scale.filesPerDirectory);
        m_regularFiles = regular;
        const int64_t leaves = (regular + perLeaf - 1) / perLeaf;
        m_depth = 0;
        for (int64_t capacity = 1; capacity < leaves; capacity *= std::max(2, m_scale.fanout)) ++m_depth;
        rootEntry = ++m_nextEntry;
        if (!addEntry(rootEntry, -sub.appId, "", true) || !addVersions(rootEntry, directoryVersions()))
            return fail(error);
        TChild root;
        root.directory = true;
        root.leafCount = leaves;
        root.generated = m_roots.empty();
        if (!directory(rootEntry, root, true, "")) return fail(error);
        return true;
    }

    int64_t entries() const { return m_nextEntry; }
    int64_t versions() const { return m_versions; }

private:
    static constexpr const char* kOwnerMark = "@owner@";

    bool fail(std::string& error) {
        error = m_error.empty() ? sqliteError(m_db, "writing the index") : m_error;
        return false;
    }

    std::vector<TChild> childrenOf(const TChild& dir, bool root) const {
        std::vector<TChild> out;
        // Above the content roots, the folders on the way to them; each root holds the generated tree.
        if (dir.directory && !dir.big && dir.level == 0 && !dir.generated) {
            const std::string prefix = dir.towards.empty() ? "" : dir.towards + "/";
            for (const auto& [path, owner] : m_roots) {
                if (path.compare(0, prefix.size(), prefix) != 0) continue;
                const std::string name =
                    path.substr(prefix.size(), path.find('/', prefix.size()) - prefix.size());
                TChild next = dir;
                next.name = name;
                next.towards = prefix + name;
                next.generated = next.towards == path;
                next.owner = next.generated ? owner : "";
                out.push_back(std::move(next));
            }
            // In name order, once each: a root that other roots lie below holds the generated tree.
            std::stable_sort(out.begin(), out.end(),
                             [](const TChild& a, const TChild& b) { return a.name < b.name; });
            out.erase(std::unique(out.begin(), out.end(),
                                  [](const TChild& a, const TChild& b) { return a.name == b.name; }),
                      out.end());
            return out;
        }
        root = root || (!dir.big && dir.level == 0);
        if (root && m_scale.bigDirectoryFiles > 0) out.push_back({"big", true, -1, 0, 0, 1, true});
        if (dir.big) {
            for (int64_t k = 0; k < m_scale.bigDirectoryFiles; ++k)
                out.push_back({name('b', k, 7) + ".dat", false, m_regularFiles + k, 0, 0, 0, false});
        } else if (dir.level == m_depth) {
            const int64_t perLeaf = std::max(1, m_scale.filesPerDirectory);
            const int64_t first = dir.firstLeaf * perLeaf;
            const int64_t last = std::min(m_regularFiles, first + perLeaf);
            for (int64_t f = first; f < last; ++f)
                out.push_back({name('f', f, 8) + ".dat", false, f, 0, 0, 0, false});
        } else {
            int64_t below = 1;  // leaves under each child
            for (int l = dir.level + 1; l < m_depth; ++l) below *= std::max(2, m_scale.fanout);
            for (int64_t c = 0, leaf = dir.firstLeaf; leaf < dir.firstLeaf + dir.leafCount;
                 ++c, leaf += below)
                out.push_back({name('d', c, 2), true, -1, leaf,
                               std::min(below, dir.firstLeaf + dir.leafCount - leaf), dir.level + 1, false});
        }
        std::sort(out.begin(), out.end(), [](const TChild& a, const TChild& b) { return a.name < b.name; });
        return out;
    }

    static std::string name(char prefix, int64_t n, int width) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%c%0*lld", prefix, width, static_cast<long long>(n));
        return buffer;
    }

    std::vector<TVersion> directoryVersions() const {
        std::vector<TVersion> out;
        for (size_t j = 0; j < m_sub->jobs.size(); ++j)
            if (j == 0 || m_sub->jobs[j].full)
                out.push_back({j, kItemDirectory, 0, m_sub->jobs[j].time - 3600, firstDataFile(j), false});
        return out;
    }

    int firstDataFile(size_t job) const {
        const std::vector<int>& files = m_sub->jobs[job].dataFiles;
        return files.empty() ? 0 : files.front();
    }

    std::vector<TVersion> fileVersions(int64_t file) const {
        std::vector<TVersion> out;
        const uint64_t seed = m_scale.seed;
        size_t birth = 0;
        if (!m_incrementals.empty() &&
            static_cast<int>(draw(seed, file, 0, kBirth) % 100) < m_scale.newPercent)
            birth = m_incrementals[draw(seed, file, 0, kBirthJob) % m_incrementals.size()];
        const bool metadata = m_scale.metadataEvery > 0 && file % m_scale.metadataEvery == 0;
        for (size_t j = birth; j < m_sub->jobs.size(); ++j) {
            const TJobPlan& job = m_sub->jobs[j];
            TVersion v{j, 0, 0, 0, 0, metadata};
            if (j != birth && !job.full) {
                if (static_cast<int>(draw(seed, file, job.jobId, kChange) % 10000) >=
                    m_scale.changePercent * 100)
                    continue;
                if (static_cast<int>(draw(seed, file, job.jobId, kDelete) % 100) < m_scale.deletePercent) {
                    v.flags = kItemDeleted;
                    v.metadata = false;
                    out.push_back(v);
                    break;  // a deleted file does not come back
                }
            }
            v.size = 100 + static_cast<int64_t>(draw(seed, file, job.jobId, kSize) % (1 << 20));
            v.mtime = job.time - 1 - static_cast<int64_t>(draw(seed, file, job.jobId, kTime) % 86400);
            if (!job.dataFiles.empty())
                v.afile = job.dataFiles[draw(seed, file, job.jobId, kArchive) % job.dataFiles.size()];
            out.push_back(v);
        }
        return out;
    }

    bool addEntry(int64_t id, int64_t parent, const std::string& entryName, bool directory) {
        sqlite3_stmt* s = m_entry.get();
        sqlite3_bind_int64(s, 1, id);
        sqlite3_bind_int64(s, 2, parent);
        sqlite3_bind_text(s, 3, entryName.data(), static_cast<int>(entryName.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(s, 4, directory ? 1 : 0);
        sqlite3_bind_int(s, 5, m_sub->appId);
        return m_entry.run();
    }

    bool addVersions(int64_t entry, const std::vector<TVersion>& versions, int64_t file = -1) {
        sqlite3_stmt* s = m_item.get();
        int number = 0;
        for (const TVersion& v : versions) {
            const TJobPlan& job = m_sub->jobs[v.job];
            int64_t offset = 0;
            if (v.afile != 0 && v.size > 0) {
                int64_t& next = m_offsets[v.afile];
                offset = next;
                next += v.size;
            }
            sqlite3_bind_int64(s, 1, entry);
            sqlite3_bind_int64(s, 2, job.time);
            sqlite3_bind_int(s, 3, job.jobId);
            sqlite3_bind_int(s, 4, job.cycle);
            sqlite3_bind_int64(s, 5, static_cast<int64_t>(v.flags));
            sqlite3_bind_int64(s, 6, v.size);
            sqlite3_bind_int64(s, 7, v.mtime);
            sqlite3_bind_int(s, 8, v.afile);
            sqlite3_bind_int64(s, 9, offset);
            sqlite3_bind_int(s, 10, ++number);
            if (v.metadata) {
                std::string text = m_metadataTemplate;
                text.replace(text.find(kOwnerMark), std::char_traits<char>::length(kOwnerMark),
                             "user" + std::to_string(draw(m_scale.seed, file, 0, kOwner) % 1000));
                sqlite3_bind_text(s, 11, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_null(s, 11);
            }
            if (!m_item.run()) return false;
            ++m_versions;
        }
        return true;
    }

    // Writes the children of `dir` (entries, versions, visible counts and page marks per job), then
    // the directories below them.
    bool directory(int64_t dirEntry, const TChild& dir, bool root, const std::string& dirPath) {
        const std::vector<TChild> children = childrenOf(dir, root);
        const size_t jobCount = m_sub->jobs.size();
        std::vector<int64_t> visible(jobCount, 0);
        std::vector<int64_t> childEntries;
        childEntries.reserve(children.size());
        for (const TChild& child : children) {
            const int64_t entry = ++m_nextEntry;
            childEntries.push_back(entry);
            std::vector<TVersion> versions = child.directory ? directoryVersions() : fileVersions(child.file);
            if (child.directory && std::find(m_sub->unknownTypePaths.begin(), m_sub->unknownTypePaths.end(),
                                             dirPath + "/" + child.name) != m_sub->unknownTypePaths.end())
                for (TVersion& v : versions) v.flags |= kItemTypeUnknown;
            if (!addEntry(entry, dirEntry, child.name, child.directory) ||
                !addVersions(entry, versions, child.file) ||
                (!child.owner.empty() && !addOwner(entry, child.owner)))
                return false;
            // Visible after job j: its newest version up to j lies in j's cycle and is no deletion.
            size_t next = 0;
            const TVersion* newest = nullptr;
            for (size_t j = 0; j < jobCount; ++j) {
                while (next < versions.size() && versions[next].job <= j) newest = &versions[next++];
                if (!newest || (newest->flags & kItemDeleted) ||
                    m_sub->jobs[newest->job].cycle != m_sub->jobs[j].cycle)
                    continue;
                if (visible[j] % kPageMarkStride == 0 &&
                    !addMark(dirEntry, m_sub->jobs[j].jobId, visible[j], entry))
                    return false;
                ++visible[j];
            }
        }
        for (size_t j = 0; j < jobCount; ++j) {
            sqlite3_stmt* s = m_count.get();
            sqlite3_bind_int64(s, 1, dirEntry);
            sqlite3_bind_int(s, 2, m_sub->jobs[j].jobId);
            sqlite3_bind_int64(s, 3, visible[j]);
            if (!m_count.run()) return false;
        }
        for (size_t c = 0; c < children.size(); ++c)
            if (children[c].directory &&
                !directory(childEntries[c], children[c], false, dirPath + "/" + children[c].name))
                return false;
        return true;
    }

    bool addOwner(int64_t entry, const std::string& owner) {
        sqlite3_stmt* s = m_owner.get();
        sqlite3_bind_int64(s, 1, entry);
        sqlite3_bind_int(s, 2, m_sub->appId);
        sqlite3_bind_text(s, 3, owner.data(), static_cast<int>(owner.size()), SQLITE_TRANSIENT);
        return m_owner.run();
    }

    bool addMark(int64_t dir, int jobId, int64_t rank, int64_t entry) {
        sqlite3_stmt* s = m_mark.get();
        sqlite3_bind_int64(s, 1, dir);
        sqlite3_bind_int(s, 2, jobId);
        sqlite3_bind_int64(s, 3, rank);
        sqlite3_bind_int64(s, 4, entry);
        return m_mark.run();
    }

    sqlite3* m_db;
    const TIndexScale& m_scale;
    CSqliteStatement m_entry, m_item, m_count, m_mark, m_owner;
    std::string m_metadataTemplate;
    std::string m_error;
    const TSubclientPlan* m_sub = nullptr;
    std::vector<size_t> m_incrementals;          // job indexes
    std::map<std::string, std::string> m_roots;  // the subclient's content roots ('/' joined) and owners
    std::map<int, int64_t> m_offsets;            // next free offset per archive file
    int64_t m_regularFiles = 0;
    int m_depth = 0;
    int64_t m_nextEntry = 0;
    int64_t m_versions = 0;
};

struct TDbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using DbHandle = std::unique_ptr<sqlite3, TDbCloser>;

bool exec(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = std::string("index: ") + (message ? message : "error");
    sqlite3_free(message);
    return false;
}

bool writePlan(sqlite3* db, const TAgentPlan& plan, const TIndexScale& scale, std::string& error) {
    CSqliteStatement meta, job, afile, former, vm;
    if (!meta.prepare(db, "INSERT INTO meta(key, value) VALUES(?,?)") ||
        !former.prepare(db, "INSERT OR REPLACE INTO formernames(appId, name, path) VALUES(?,?,?)") ||
        !vm.prepare(db, "INSERT OR REPLACE INTO vmsubclients(appId, guid, vmAppId) VALUES(?,?,?)") ||
        !job.prepare(db, "INSERT INTO jobs VALUES(?,?,?,?,?,?)") ||
        !afile.prepare(db, "INSERT INTO afiles VALUES(?,?,?,?,?,?,?)")) {
        error = sqliteError(db, "preparing the plan inserts");
        return false;
    }
    const std::pair<const char*, std::string> values[] = {{"signature", plan.signature()},
                                                          {"scale", scale.text()},
                                                          {"clientName", plan.clientName},
                                                          {"clientId", std::to_string(plan.clientId)}};
    for (const auto& [key, value] : values) {
        sqlite3_bind_text(meta.get(), 1, key, -1, SQLITE_STATIC);
        sqlite3_bind_text(meta.get(), 2, value.c_str(), -1, SQLITE_TRANSIENT);
        if (!meta.run()) {
            error = sqliteError(db, "writing the meta table");
            return false;
        }
    }
    for (const TSubclientPlan& sub : plan.subclients) {
        for (const TJobPlan& j : sub.jobs) {
            const int64_t v[] = {sub.appId, j.jobId, j.kelmarchId, j.time, j.cycle, j.full ? 1 : 0};
            for (int k = 0; k < 6; ++k) sqlite3_bind_int64(job.get(), k + 1, v[k]);
            if (!job.run()) {
                error = sqliteError(db, "writing the jobs");
                return false;
            }
        }
        for (const TContentRoot& root : sub.contentRoots) {
            if (root.formerName.empty()) continue;
            const std::string name = formerNameKey(root.formerName), path = "/" + root.path;
            sqlite3_bind_int(former.get(), 1, sub.appId);
            sqlite3_bind_text(former.get(), 2, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(former.get(), 3, path.c_str(), -1, SQLITE_TRANSIENT);
            if (!former.run()) {
                error = sqliteError(db, "writing the former names");
                return false;
            }
        }
        for (const auto& [guid, vmAppId] : sub.vmSubclients) {
            const std::string key = vmGuidKey(guid);
            sqlite3_bind_int(vm.get(), 1, sub.appId);
            sqlite3_bind_text(vm.get(), 2, key.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(vm.get(), 3, vmAppId);
            if (!vm.run()) {
                error = sqliteError(db, "writing the virtual machines");
                return false;
            }
        }
        for (const TArchiveFilePlan& f : sub.archiveFiles) {
            const int64_t v[] = {f.id, sub.appId, f.jobId, f.kelmarchId, f.fileType, f.cTime, f.physicalSize};
            for (int k = 0; k < 7; ++k) sqlite3_bind_int64(afile.get(), k + 1, v[k]);
            if (!afile.run()) {
                error = sqliteError(db, "writing the archive files");
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::string TIndexScale::text() const {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer,
                  "files=%lld perDir=%d fanout=%d big=%lld change=%d delete=%d new=%d metadata=%d seed=%llu",
                  static_cast<long long>(files), filesPerDirectory, fanout,
                  static_cast<long long>(bigDirectoryFiles), changePercent, deletePercent, newPercent,
                  metadataEvery, static_cast<unsigned long long>(seed));
    return buffer;
}

bool buildItemIndex(const std::string& path, const TAgentPlan& plan, const TIndexScale& scale,
                    std::string& error, TBuildStats* stats) {
    namespace fs = std::filesystem;
    const auto started = CHubClock::real().steadyNow();
    const std::string temporary = path + ".building-" + std::to_string(getpid());
    std::error_code ec;
    fs::remove(temporary, ec);
    int64_t entries = 0, versions = 0;
    // The index lists every backed-up item: it is the owner's alone from its first byte (the rename keeps
    // the mode).
    if (!zyconfig::keepPrivate(temporary, true, &error)) return false;
    {
        sqlite3* raw = nullptr;
        const int rc =
            sqlite3_open_v2(temporary.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        DbHandle db(raw);
        if (rc != SQLITE_OK) {
            error = sqliteError(raw, "creating " + temporary);
            fs::remove(temporary, ec);
            return false;
        }
        // Nothing to protect until the rename: no journal, no syncs, a large cache.
        bool ok = exec(db.get(),
                       "PRAGMA page_size=8192; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; "
                       "PRAGMA locking_mode=EXCLUSIVE; PRAGMA cache_size=-262144; PRAGMA temp_store=MEMORY;",
                       error) &&
                  exec(db.get(), kSchema, error) && exec(db.get(), "BEGIN", error) &&
                  writePlan(db.get(), plan, scale, error);
        if (ok) {
            CGenerator generator(db.get(), scale);
            ok = generator.prepare(error);
            CSqliteStatement sub;
            ok = ok && sub.prepare(db.get(), "INSERT INTO subclients VALUES(?,?,?,?,?)");
            for (size_t k = 0; ok && k < plan.subclients.size(); ++k) {
                const TSubclientPlan& s = plan.subclients[k];
                int64_t root = 0;
                ok = generator.subclient(s, root, error);
                const int64_t v[] = {s.appId, s.clientId, apptype::code(s.appType), s.kelmarchId, root};
                for (int c = 0; ok && c < 5; ++c) sqlite3_bind_int64(sub.get(), c + 1, v[c]);
                if (ok && !sub.run()) {
                    error = sqliteError(db.get(), "writing the subclients");
                    ok = false;
                }
            }
            entries = generator.entries();
            versions = generator.versions();
        }
        ok = ok && exec(db.get(), kIndexes, error) && exec(db.get(), "COMMIT; ANALYZE;", error);
        if (!ok) {
            db.reset();
            fs::remove(temporary, ec);
            return false;
        }
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        error = "cannot move the index to " + path + ": " + ec.message();
        fs::remove(temporary, ec);
        return false;
    }
    if (stats) {
        stats->entries = entries;
        stats->versions = versions;
        stats->seconds = std::chrono::duration<double>(CHubClock::real().steadyNow() - started).count();
    }
    return true;
}

bool itemIndexIsCurrent(const std::string& path, const TAgentPlan& plan, const TIndexScale& scale) {
    std::string error;
    if (!std::filesystem::is_regular_file(path)) return false;
    std::unique_ptr<CItemIndex> index = CItemIndex::open(path, error);
    return index && index->metaValue("signature") == plan.signature() &&
           index->metaValue("scale") == scale.text();
}

}  // namespace mediaagent
