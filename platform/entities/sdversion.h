// SDVersion: the end-user erase ("selective deletion") filters of one client and application type,
// read once by open() and then asked, path by path, whether a browse must hide an item. A browse task
// keeps one while filters apply; it is used by one thread at a time.
#pragma once

#include <string>
#include <vector>

// The arguments of SDVersion::open, fields in order with their defaults.
struct SDArgs {
    unsigned long long clientId = 0;   // the browsed client
    unsigned long long appType = 0;    // the task's application type
    unsigned long long kind = 2;       // the kind of filter index; 2 is the only one kept here
    const char* serverName = nullptr;  // the Hubmaster's client name (not owned)
    unsigned long long reserved1 = 0;
    unsigned long long reserved2 = 0;
    unsigned int value1 = 0;
    unsigned int value2 = 0;
    unsigned int value3 = 0;
};

// The index cache a version was read with: its time stamp and the three archive files of that index.
struct SDIndexCache {
    unsigned int timeStamp = 0;
    unsigned long long archFileIds[3] = {0, 0, 0};
};

namespace zydb {
class CRequestReads;
}

class SDVersion {
public:
    SDVersion();
    ~SDVersion();
    SDVersion(const SDVersion&) = delete;
    SDVersion& operator=(const SDVersion&) = delete;

    // Reads the filters of args.clientId and args.appType. 0: no filters; 1: filters found (kept);
    // -1: they could not be read (a client id of 0, another kind than 2, a database error).
    // loadNow is kept for the callers' form: the filters are always read at once.
    int open(SDArgs& args, bool loadNow);
    // The request the filters are read in, once (not owned; null: read afresh at each open).
    void setRequestReads(zydb::CRequestReads* reads) { m_reads = reads; }

    // The filters are read as the service itself; no user identity is ever taken on, so false.
    bool impersonatedUser() const { return false; }

    // 1 when `path` (or a folder above it) was erased: `erasedTime` gets the latest erase time that
    // covers it. 0 when it was not. -1 when no filters are open or `path` is null. Paths compare without
    // regard to letter case, '/' and '\' alike. `unused` may be null.
    int isPathFiltered(const char* path, unsigned long long* unused, long* erasedTime);

    size_t filterCount() const { return m_filters.size(); }

    // The index cache of this version; null when it has none (the default: filters read from the
    // database name no cache).
    const SDIndexCache* getIndexCache() const { return m_hasIndexCache ? &m_indexCache : nullptr; }
    void setIndexCache(const SDIndexCache& cache) {
        m_indexCache = cache;
        m_hasIndexCache = true;
    }

private:
    struct Filter {
        std::string path;  // canonical: '\' as '/', lower case, no trailing separator
        long long erasedTime;
    };
    bool m_open = false;
    zydb::CRequestReads* m_reads = nullptr;
    std::vector<Filter> m_filters;
    bool m_hasIndexCache = false;
    SDIndexCache m_indexCache;
};
