// Enumerations carried by integer message fields and by the task accessors (databrowse, App). The one
// definition of each: the message classes, the task and the service all include this header. Plain
// types; any thread.
//
// Each is an unscoped enumeration with a fixed 32-bit underlying type, so every value the wire may carry
// (not only the named ones) can be held: databrowse::BrowseOperation(12) is valid. Values without a
// name here have no settled meaning; their users compare numbers.
#pragma once

#include <cstdint>

namespace databrowse {

// Operation type of a browse request (request element 1); the router accepts 0 to 27.
enum BrowseOperation : int32_t {
    BROWSE_OP_BROWSE = 0,
    BROWSE_OP_FIND = 1,
    BROWSE_OP_ALL_VERSIONS = 2,
    BROWSE_OP_MEDIA_PREDICTION = 3,
    BROWSE_OP_CONTENT_INDEX_REPORT = 4,
    BROWSE_OP_STOP = 5,
    BROWSE_OP_END_USER_ERASE = 7,  // 7, 8 and 9 are the end-user erase operations
    BROWSE_OP_END_USER_ERASE_2 = 8,
    BROWSE_OP_END_USER_ERASE_3 = 9,
    BROWSE_OP_LAST = 27,
};

// Code of a BrowseError, as the worker sets and sends it.
enum BrowseErrorCode : int32_t {
    BROWSE_ERR_NONE = 0,                  // never sent: an error response with 0 carries 1
    BROWSE_ERR_GENERIC = 1,               // request-processing failures
    BROWSE_ERR_NOTHING_TO_BROWSE = 2,     // no backups, no virtual machines found
    BROWSE_ERR_PERMISSION = 3,            // browse permission refused
    BROWSE_ERR_REQUEST_PROCESSING = 11,   // database, index-server, live-browse or agent-upgrade failures
    BROWSE_ERR_SPANS_UPGRADE = 12,        // the time range spans the client's agent upgrade
    BROWSE_ERR_NO_BACKUP_COPY_JOB = 13,   // no backup-copy job for a browse of a backup copy
    BROWSE_ERR_POWER_MANAGED_MA = 23,     // power-managed media agent (warning or error)
    BROWSE_ERR_STALE_INDEX_SESSION = 25,  // from a media agent: drop the cached index-server sessions
};

// Type of a BrowseResponse (response element respType): what the response carries.
enum BrowseResponseType : int32_t {
    BROWSE_RESP_ITEMS = 0,        // items of the answer
    BROWSE_RESP_PREDICTIONS = 1,  // media prediction only
    BROWSE_RESP_ERROR = 3,
    BROWSE_RESP_WARNING = 4,
    BROWSE_RESP_END = 5,  // the answer is complete
};

// Index type a caller forces on a browse.
enum ForceUseIndexType : int32_t {
    FORCE_USE_INDEX_NONE = 0,
    FORCE_USE_INDEX_CTREE = 1,   // backward compatibility (indexing v1)
    FORCE_USE_INDEX_LUCENE = 2,  // the latest indexing (v2)
};

// Kind of an application-mining browse.
enum AppMiningType : int32_t {
    APP_MINING_EXCHANGE_DB = 2,  // jobs are checked against the Exchange database status
};

// A query's type (databrowse::Query element "type"): 3 is answered by the Hubmaster itself, 4 carries
// the retention filters to the media agent.
constexpr int64_t kQueryTypeHubmaster = 3;
constexpr int64_t kQueryTypeRetention = 4;
// The query options' query type (databrowse::Msg70) of a count.
constexpr int64_t kQueryOptionsCount = 4;

}  // namespace databrowse

namespace Indexing {

// The options of an index browse request (Indexing::BrowseReq) that stop the named session's browses.
constexpr int64_t kBrowseReqStopOptions = 16;

}  // namespace Indexing

namespace App {

// Engine type of an index database (0: none forced).
enum IdxDbEngineType : int32_t {
    IDX_DB_ENGINE_UNKNOWN = 0,
    IDX_DB_ENGINE_CTREE = 1,
    IDX_DB_ENGINE_LUCENE = 2,
};

}  // namespace App
