#include "platform/entities/fssubclientconf.h"

#include "Db/Tbl/APP_Application.h"
#include "platform/db/dbresult.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/entitypaths.h"
#include "platform/hubdb/entitytables.h"
#include "platform/log/evdebug.h"

namespace {

// 0 and 0x7FFFFFFF (and the unsigned form of -1) ask for the configuration in force now.
long long effectiveTime(unsigned long toTime) {
    return toTime == 0 || toTime >= 0x7FFFFFFFUL ? 0x7FFFFFFFFFFFLL : static_cast<long long>(toTime);
}

}  // namespace

FSCallback::~FSCallback() = default;

bool FSSubclientDirlist::getFirstBrowseItem(TBrowseItem& item) {
    m_next = 0;
    return getNextBrowseItem(item);
}

bool FSSubclientDirlist::getNextBrowseItem(TBrowseItem& item) {
    if (m_next >= m_items.size()) return false;
    item = m_items[m_next++];
    return true;
}

FSSubclientConf::FSSubclientConf(unsigned long appType) : m_appType(appType) {}

FSSubclientConf::~FSSubclientConf() = default;

int FSSubclientConf::load(ApplicationId* application, unsigned long toTime, bool withContent) {
    EvDebug log(nullptr);
    log.setPrefixMessage("FSSUBCLIENTCONF");
    m_subclients.clear();
    if (!application) return -1;
    const AppIdInfo& info = application->getAppIdInfo();
    const long long at = effectiveTime(m_fromRestore ? toTime : 0);

    APP_Application apps(nullptr);
    apps.setIsolationType(4);
    apps.setWhere(
        "clientId = %lld and appTypeId = %lu and backupSet = %lld and refTime <= %lld and "
        "(modified = 0 or modified > %lld)",
        static_cast<long long>(info.clientId), m_appType, static_cast<long long>(info.backupSetId), at, at);
    apps.setOrderBy("id");
    std::vector<Subclient> subclients;
    int rc;
    while ((rc = apps.getNextRow(&apps, nullptr, 0, 0)) == zydb::DB_OK) {
        const APP_Application_t* row = apps.getDataPtr();
        subclients.push_back({static_cast<unsigned long>(row->id), row->subclientName, {}});
    }
    if (rc != zydb::DB_NO_DATA) {
        log.debugLvl(0, "ERROR: subclients of backup set [%lld] cannot be read: %s",
                     static_cast<long long>(info.backupSetId), apps.getErrorStr(rc));
        return -2;
    }
    if (subclients.empty()) return -1;

    for (Subclient& sc : subclients) {
        if (!withContent) break;
        APP_SubclientContent content(nullptr);
        content.setIsolationType(4);
        content.setWhere("subclientId = %lu and created <= %lld and (modified = 0 or modified > %lld)", sc.id,
                         at, at);
        content.setOrderBy("lineNumber, id");
        while ((rc = content.getNextRow(&content, nullptr, 0, 0)) == zydb::DB_OK) {
            const APP_SubclientContent_t* row = content.getDataPtr();
            if (row->path == nullptr || row->path[0] == '\0') continue;
            sc.lines.push_back({row->path, zyent::canonicalPath(row->path),
                                row->displayName ? row->displayName : "", static_cast<int>(row->lineNumber),
                                row->exclusion != 0});
        }
        if (rc != zydb::DB_NO_DATA) {
            log.debugLvl(0, "ERROR: content of subclient [%lu] cannot be read: %s", sc.id,
                         content.getErrorStr(rc));
            return -2;
        }
    }
    m_subclients.swap(subclients);
    return getNumSubclients();
}

const char* FSSubclientConf::numberToName(int number) const {
    if (number < 1 || number > getNumSubclients()) return nullptr;
    return m_subclients[static_cast<size_t>(number - 1)].name.c_str();
}

int FSSubclientConf::nodirs(FSCallback* callback, int number) {
    if (!callback || number < 1 || number > getNumSubclients()) return -1;
    int count = 0;
    for (const Line& line : m_subclients[static_cast<size_t>(number - 1)].lines) {
        if (line.exclusion) continue;
        if (callback->putLine(line.path.c_str()) != 0) return -1;
        ++count;
    }
    return count;
}

FSSubclientDirlist* FSSubclientConf::createDirlist(const char* path, bool withExclusions) {
    if (!path) return nullptr;
    const std::string browse = zyent::canonicalPath(path);

    // The subclient whose content line covers the path most closely; else the first one with content
    // under the path.
    int root = 0;
    size_t rootDepth = 0;
    int firstBelow = 0;
    for (size_t n = 0; n < m_subclients.size(); ++n) {
        for (const Line& line : m_subclients[n].lines) {
            if (line.exclusion) continue;
            if (zyent::pathCovers(line.canonical, browse) &&
                (root == 0 || line.canonical.size() > rootDepth)) {
                root = static_cast<int>(n + 1);
                rootDepth = line.canonical.size();
            } else if (firstBelow == 0 && zyent::pathCovers(browse, line.canonical)) {
                firstBelow = static_cast<int>(n + 1);
            }
        }
    }
    const bool covered = root != 0;
    if (!covered) root = firstBelow;
    if (root == 0) return nullptr;

    std::vector<TBrowseItem> items;
    const auto number = static_cast<uint32_t>(root);
    if (covered) items.push_back({path, "", 0, 0, number, 0});
    for (size_t n = 0; n < m_subclients.size(); ++n) {
        const bool own = n + 1 == number;
        for (const Line& line : m_subclients[n].lines) {
            // Lines strictly under the browse path; a covered path lists only what others own or
            // what its own subclient leaves out.
            if (line.canonical == browse || !zyent::pathCovers(browse, line.canonical)) continue;
            TBrowseItem item{line.path,      line.displayName, 0, 0, static_cast<uint32_t>(n + 1),
                             line.lineNumber};
            if (own && line.exclusion) {
                if (!withExclusions) continue;
                item.excluded = 1;
            } else if (own) {
                if (covered) continue;
            } else {
                if (line.exclusion) continue;
                item.otherSubclient = 1;
            }
            items.push_back(std::move(item));
        }
    }
    return new FSSubclientDirlist(root, std::move(items));
}
