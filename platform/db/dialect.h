// The management server's SQL dialect, as the service writes its where clauses, turned into SQL the
// engine runs: table hints (WITH(NOLOCK), (NOLOCK)) dropped, N'...' literals made plain, TOP n moved to
// a LIMIT at the end of its select, ISNULL(a, b) spelled IFNULL. CHECKSUM is a registered function and
// text columns compare without regard to case, so those pass unchanged. Pure function; any thread.
#pragma once

#include <string>

namespace zydb {

std::string normalizeDialect(const std::string& sql);

}  // namespace zydb
