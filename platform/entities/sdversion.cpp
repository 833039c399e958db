#include "platform/entities/sdversion.h"

#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/entities/entitypaths.h"
#include "platform/hubdb/entitytables.h"
#include "platform/log/evdebug.h"

using zyent::canonicalPath;

namespace {

// A client's filters as one request read them: a browse reads them again for each path it sets up. A
// memo (zydb::DatabaseMemo): the rows of the client and type asked, nothing but the database's.
template <class Filter>
struct TFiltersRead {
    unsigned long long clientId, appType;
    std::vector<Filter> filters;
};

}  // namespace

SDVersion::SDVersion() = default;
SDVersion::~SDVersion() = default;

int SDVersion::open(SDArgs& args, bool) {
    EvDebug log(nullptr);
    log.setPrefixMessage("SDVERSION");
    m_open = false;
    m_filters.clear();
    if (args.clientId == 0 || args.kind != 2) {
        log.debugLvl(0, "ERROR: erase filters asked for client [%llu] kind [%llu]", args.clientId, args.kind);
        return -1;
    }
    auto* memo = m_reads ? m_reads->memo<std::vector<TFiltersRead<Filter>>>() : nullptr;
    const TFiltersRead<Filter>* read = nullptr;
    if (memo)
        for (const TFiltersRead<Filter>& r : *memo)
            if (r.clientId == args.clientId && r.appType == args.appType) read = &r;
    std::vector<Filter> filters;
    if (read) {
        filters = read->filters;
    } else {
        SDEraseFilter t(nullptr);
        t.setIsolationType(4);
        t.setWhere("clientId = %llu AND appTypeId = %llu", args.clientId, args.appType);
        int rc;
        while ((rc = t.getNextRow(&t, nullptr, 0, 0)) == zydb::DB_OK) {
            const SDEraseFilter_t* r = t.getDataPtr();
            if (r->path == nullptr || r->path[0] == '\0') continue;  // an empty filter would hide everything
            filters.push_back({canonicalPath(r->path), r->erasedTime});
        }
        if (rc != zydb::DB_NO_DATA) {
            log.debugLvl(0, "ERROR: erase filters of client [%llu] cannot be read: %s", args.clientId,
                         t.getErrorStr(rc));
            return -1;
        }
        if (memo) memo->push_back({args.clientId, args.appType, filters});
    }
    m_filters.swap(filters);
    m_open = true;
    log.debugLvl(3, "client [%llu] app type [%llu]: %zu erase filters", args.clientId, args.appType,
                 m_filters.size());
    return m_filters.empty() ? 0 : 1;
}

int SDVersion::isPathFiltered(const char* path, unsigned long long*, long* erasedTime) {
    if (!m_open || path == nullptr) return -1;
    const std::string p = canonicalPath(path);
    bool found = false;
    long long latest = 0;
    for (const Filter& f : m_filters) {
        if (zyent::pathCovers(f.path, p) && (!found || f.erasedTime > latest)) {
            latest = f.erasedTime;
            found = true;
        }
    }
    if (!found) return 0;
    if (erasedTime) *erasedTime = static_cast<long>(latest);
    return 1;
}
