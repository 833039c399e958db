// Shared pieces of the stored-procedure handlers: row loops over bound queries, an all-or-nothing
// scope for handlers that write several rows, subclient properties and global parameters. Used
// by the handlers on the fetching thread, on the connection they were given.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/procregistry.h"
#include "platform/db/rowfamily.h"
#include "platform/hubdb/versionedproperty.h"

namespace hubdb {

// Records the connection's error text for getErrorStr and returns rc (an engine failure).
int procFailure(zydb::CProcCall& call, int rc);
// Records the handler's own reason; the caller sees DB_ERR_PROCEDURE.
int procRefusal(zydb::CProcCall& call, const std::string& why);

// Runs a query with bound parameters and calls `row` for each result row; `row` may stop the loop
// by returning anything but DB_OK, which is then returned. The end of the rows is DB_OK.
int forEachRow(zydb::IDbConnection& conn, const std::string& sql, const std::vector<zydb::DbValue>& params,
               const std::function<int(const zydb::IDbRow&)>& row);

// Changes made by a handler become visible together or not at all, inside the caller's transaction
// when there is one (a savepoint nests in it).
class ProcWriteScope {
public:
    explicit ProcWriteScope(zydb::IDbConnection& conn);
    ~ProcWriteScope();  // undoes what was not committed
    ProcWriteScope(const ProcWriteScope&) = delete;
    ProcWriteScope& operator=(const ProcWriteScope&) = delete;

    int begin();  // DB_OK or the engine's error
    int commit();

private:
    zydb::IDbConnection& m_conn;
    bool m_open = false;
};

// The present time of the process's database (its clock, CDbEnv::clock), in seconds since 1970.
long long nowSeconds();

// A result row of a query whose columns are, in order, those of a family's record: numbers for i, b
// and x columns, text (NULL kept) for the others.
std::vector<zydb::DbValue> rowAs(const zydb::IDbRow& row, const zydb::ColumnInfo* columns, size_t count);
template <class Record>
std::vector<zydb::DbValue> rowAs(const zydb::IDbRow& row) {
    size_t n = 0;
    const zydb::ColumnInfo* columns = Record::columnInfo(&n);
    return rowAs(row, columns, n);
}

// A handler's whole write of one subclient property (APP_SubClientProp), versioned by
// setVersionedProperty (versionedproperty.h): an unknown subclient is refused; the result is the
// handler's.
int writeSubclientProperty(zydb::CProcCall& call, int subclientId, const std::string& name,
                           const std::string& value);

// The current value of a global parameter (NBGlobalParam, modified = 0); `found` false when unset.
int currentGlobalParam(zydb::IDbConnection& conn, const std::string& name, std::string& value, bool& found);
// The current value as a positive number, else `fallback`.
int globalParamNumber(zydb::IDbConnection& conn, const std::string& name, long long fallback,
                      long long& value);

}  // namespace hubdb
