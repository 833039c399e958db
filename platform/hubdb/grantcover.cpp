#include "platform/hubdb/grantcover.h"

#include "platform/entities/apptypes.h"

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

std::string seenWholeByEndUserClause(TSqlName column) {
    std::string narrowed;
    for (apptype::EAppType type : apptype::family::kNarrowedForEndUser)
        narrowed += (narrowed.empty() ? "" : ", ") + std::to_string(apptype::code(type));
    const std::string c = column.text;
    return "(" + c + " NOT IN (" + narrowed +
           ") AND NOT EXISTS (SELECT 1 FROM SECAppTypeUserAccess u WHERE " + "u.appTypeId = " + c +
           " AND u.category <> " + std::to_string(kNoAccessStringCategory) + "))";
}

}  // namespace hubdb
