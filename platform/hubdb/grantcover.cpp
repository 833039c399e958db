#include "platform/hubdb/grantcover.h"

namespace hubdb {

std::string grantCoversClause(const TGrantLevelValues& values, TSqlName grant) {
    const std::string g = grant.text;
    std::string clause;
#define SEC_LEVEL_COVERS(X, type, column)                                                     \
    clause += std::string(clause.empty() ? "" : " AND ") + "(" + g + #column " = 0 OR " + g + \
              #column " = " + values.column.sql() + ")";
    SEC_ENTITY_LEVELS(SEC_LEVEL_COVERS, _)
#undef SEC_LEVEL_COVERS
    return clause;
}

}  // namespace hubdb
