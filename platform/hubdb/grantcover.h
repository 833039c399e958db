// Whether a right (a SECUserRight row) covers an entity, as one SQL condition over the entity levels of
// SEC_ENTITY_LEVELS: the rights questions of the security classes compare the levels with numbers, the
// procedures that keep only what a user may browse with columns of their own query. Any thread.
#pragma once

#include <string>

#include "platform/hubdb/securitytables.h"

namespace hubdb {

// A name written in SQL by code (a column, a table's qualifier). The constructor runs at compile time,
// so no text from a request can ever become one.
struct TSqlName {
    consteval TSqlName(const char* name) : text(name) {}
    const char* text;
};

// What one level of a grant is compared with: a number, or a column of the surrounding query.
class TGrantLevelValue {
public:
    static TGrantLevelValue number(long long value) { return TGrantLevelValue(nullptr, value); }
    static constexpr TGrantLevelValue column(TSqlName name) { return TGrantLevelValue(name.text, 0); }
    std::string sql() const { return m_column ? std::string(m_column) : std::to_string(m_number); }

private:
    constexpr TGrantLevelValue(const char* column, long long number) : m_column(column), m_number(number) {}
    const char* m_column;
    long long m_number;
};

// One value per entity level; a level left at 0 is not asked (only grants for all of it cover it).
struct TGrantLevelValues {
#define SEC_GRANT_LEVEL_VALUE(X, type, column) TGrantLevelValue column = TGrantLevelValue::number(0);
    SEC_ENTITY_LEVELS(SEC_GRANT_LEVEL_VALUE, _)
#undef SEC_GRANT_LEVEL_VALUE
};

// "(<grant>kelmarchId = 0 OR <grant>kelmarchId = <value>) AND ..." over every level: a grant covers the
// entity when every level it names is the one asked. `grant` qualifies the right's columns ("g.").
std::string grantCoversClause(const TGrantLevelValues& values, TSqlName grant = "");

// "an end user browsing the application type in `column` sees all of an entity's data", as SQL: the
// type is not one whose data is narrowed to the user's own (apptype::family::kNarrowedForEndUser) and
// needs no access string (ZyUserAccess::seenWholeByEndUser asks the same).
std::string seenWholeByEndUserClause(TSqlName column);

}  // namespace hubdb
