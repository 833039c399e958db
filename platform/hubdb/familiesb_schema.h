// Older name of the schema completion of the storage-policy, VM, index, parameter, release and sharing
// tables, kept for code still written against it: those tables are part of the one Hubmaster schema
// (hubtables.def), which this completes whole.
#pragma once

#include <string>

#include "platform/hubdb/hubschema.h"

namespace hubdb {

inline int ensureFamiliesBSchema(zydb::IDbConnection& conn, std::string* error = nullptr) {
    return createHubSchema(conn, error);
}

}  // namespace hubdb
