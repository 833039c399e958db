// The indexing utilities' answers about content-index (super search) browsing, read from the
// Hubmaster database: whether a request can be answered by a content-index cloud and how, the query
// list's filter check, the sync and object-store nature of a subclient, the search user of a sync
// subclient and the provider of a cloud-application instance. Functions of the calling thread, over
// its own database connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/msg/msg_classes.h"

// Property names these answers read (the current row of each, "modified = 0").
namespace superSearchProps {
constexpr const char* kContentIndexCloud = "Content Index Cloud Id";  // subclient or backup set: cloud id
constexpr const char* kSyncEnabled = "Flux Drive Sync Enabled";       // subclient: "1"
constexpr const char* kNfsObjectStore = "NFS ObjectStore";            // subclient: "1"
constexpr const char* kSyncSearchUser = "Sync Search User Id";        // subclient: a user id
}  // namespace superSearchProps

// Super-search operation kinds (Indexing::SuperSearchOpType), from supersearchkinds.def.
namespace superSearchKind {
#define SUPER_SEARCH_KIND(name, value, classicOnly, compliance, webServer) inline constexpr int name = value;
#include "platform/indexing/supersearchkinds.def"

// What the intake makes of a kind (false for a kind the catalogue does not list).
inline bool isClassicOnly(int kind) {
#define SUPER_SEARCH_KIND(name, value, classicOnly, compliance, webServer) \
    if (kind == value) return classicOnly;
#include "platform/indexing/supersearchkinds.def"
    return false;
}
inline bool isCompliance(int kind) {
#define SUPER_SEARCH_KIND(name, value, classicOnly, compliance, webServer) \
    if (kind == value) return compliance;
#include "platform/indexing/supersearchkinds.def"
    return false;
}
inline bool namesWebServer(int kind) {
#define SUPER_SEARCH_KIND(name, value, classicOnly, compliance, webServer) \
    if (kind == value) return webServer;
#include "platform/indexing/supersearchkinds.def"
    return false;
}
}  // namespace superSearchKind

// What DetermineOperationType hands back besides its result and the kind.
struct TSuperSearchAnswer {
    std::string ciServer;                  // the cloud's first enabled node: its client name
    int ciCloudId = 0;                     // the cloud
    long long ciValue = 0;                 // the cloud's index-server client id
    std::vector<int> idList;               // the subclients the cloud serves among the request's
    std::vector<std::string> serverNodes;  // every enabled node's client name, in order
};

// Whether the request can be a content-index search, and its kind. Find mode: 0 browse, 1 find that
// may engage super search, 2 find that does not, 4 content-index report. A browse is always classic
// (kind 1, true); a find of mode 2 classic (kind 5, true). A find of mode 1, an IMAP search and a
// report need the content-index cloud of the subclient (or, without one, of the backup set; a report
// names its cloud by `ciCloudId`) with at least one enabled node: then kind 6, 15 or 10 and true; an
// end-user erase kind already set (17 to 19) is kept. No cloud, or a forced classic index (type 1),
// gives false. `webServerHost` becomes the cloud's index-server client name for kinds 6 and 10.
bool DetermineOperationType(databrowse::Querylist* queries, int findMode, long clientId, int* opKind,
                            long subclientId, long backupSetId, int ciCloudId, bool doNotFallBackForFilters,
                            databrowse::ForceUseIndexType forcedIndexType, bool imapRequest,
                            std::string& webServerHost, TSuperSearchAnswer& answer);

// Checks the filters of a query list: every criterion needs its value block with an attribute and at
// least one value. Without `strict` a bad criterion is dropped (and logged); with it the check fails.
// A mailbox filter path confines every query to that path (a criterion on the path attribute). False
// only for a strict failure; `why` then names it.
bool ParseQuery(databrowse::Querylist* queries, long appType, bool externalRequest,
                const std::string& mailboxFilterPath, bool strict, std::string& why);

// Whether the subclient is a sync subclient and an NFS object-store one. False when the properties
// cannot be read (both outputs false then).
bool isSyncSubclient(long subclientId, long clientId, bool& syncEnabled, bool& nfsObjectStore);

// The search user of a sync subclient: its id and user name. False when it has none or on an error.
bool getAppSyncGetSearchUserDetails(long subclientId, long& userId, std::string& userName);

// The SOLR cloud details of a backup set: the internal name of the content-index cloud it names. False,
// with `why`, when the backup set names no cloud, the cloud is unknown or has no internal name.
bool getSolrCloudDetails(long backupSetId, std::string& details, std::string& why);

// The criterion attribute of a path and the "equals" operator of criteria.
constexpr int kCriteriaPathAttribute = 1;
constexpr int kCriteriaOperatorEquals = 5;
