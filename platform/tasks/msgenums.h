// The message enumerations that the task setters need before the message catalogue exists. They belong
// to the message namespaces (databrowse, App); the message classes of platform/msg use these same
// definitions rather than defining their own. Header only; any thread.
//
// Each is an unscoped enumeration with a fixed 32-bit underlying type, so every value the wire may carry
// (not only the named ones) can be held: databrowse::BrowseOperation(12) is valid.
#pragma once

#include <cstdint>

namespace databrowse {

// Operation type of a browse request (request element 1); 0 to 27 are defined values.
enum BrowseOperation : int32_t {
    BROWSE_OP_BROWSE = 0,
    BROWSE_OP_FIND = 1,
    BROWSE_OP_MEDIA_PREDICTION = 3,
    BROWSE_OP_CONTENT_INDEX_REPORT = 4,
    BROWSE_OP_STOP = 5,
    BROWSE_OP_END_USER_ERASE = 7,  // 7, 8 and 9 are the end-user erase operations
    BROWSE_OP_END_USER_ERASE_2 = 8,
    BROWSE_OP_END_USER_ERASE_3 = 9,
    BROWSE_OP_LAST = 27,
};

// Index type a caller forces on a browse.
enum ForceUseIndexType : int32_t {
    FORCE_USE_INDEX_NONE = 0,
    FORCE_USE_INDEX_CTREE = 1,
    FORCE_USE_INDEX_LUCENE = 2,
};

}  // namespace databrowse

namespace App {

// Engine type of an index database.
enum IdxDbEngineType : int32_t {
    IDX_DB_ENGINE_UNKNOWN = 0,
    IDX_DB_ENGINE_CTREE = 1,
    IDX_DB_ENGINE_LUCENE = 2,
};

}  // namespace App
