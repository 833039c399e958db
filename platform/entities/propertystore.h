// Reading and writing the time-versioned property rows that the Hubmaster keeps for clients,
// subclients, agents, instances, backup sets and users: a row is in force from `created`, `modified`
// is 0 while it is current. One template for every property family. Functions of the calling thread.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/tasks/applproperties.h"

namespace zyent {

// Whole property lists read in the thread's request, by table, component and reference time: null
// outside a request. A property written on the thread forgets them. A memo (zydb::DatabaseMemo): the rows
// in force at the time asked (the question's, never the clock's).
struct TPropertiesRead {
    std::string table;
    long componentId;
    long long refTime;
    std::vector<ApplProperty> rows;
};
using TPropertiesMemo = std::vector<TPropertiesRead>;
TPropertiesMemo* propertiesMemo();

// The properties of `componentId` in force at `refTime` (0: the current ones), in row order. 0 when
// read (also when there are none), else the fetch error. Read once per request outside a transaction.
template <class Family>
int readProperties(DBtran* tran, long componentId, long long refTime, std::vector<ApplProperty>& out) {
    TPropertiesMemo* memo = tran ? nullptr : propertiesMemo();
    const char* table = Family::Descriptor::dbName;
    if (memo)
        for (const TPropertiesRead& read : *memo)
            if (read.componentId == componentId && read.refTime == refTime && read.table == table) {
                out = read.rows;
                return zydb::DB_OK;
            }
    Family t(tran);
    t.setIsolationType(4);
    if (refTime == 0)
        t.setWhere("componentNameId = %ld AND modified = 0", componentId);
    else
        t.setWhere("componentNameId = %ld AND created <= %lld AND (%lld < modified OR modified = 0)",
                   componentId, refTime, refTime);
    std::vector<ApplProperty> rows;
    int rc;
    while ((rc = t.getNextRow(&t, nullptr, 0, 0)) == zydb::DB_OK) {
        const auto* r = t.getDataPtr();
        const char* value = r->attrVal;  // a fixed array or an owned pointer, null when empty
        rows.emplace_back(r->attrName, r->attrType, value ? value : "", 0);
    }
    if (rc != zydb::DB_NO_DATA) return rc;
    if (memo) memo->push_back({table, componentId, refTime, rows});
    out.swap(rows);
    return zydb::DB_OK;
}

// Current values read in the thread's request (see zydb::threadRequestMemo), by table, component and name:
// null outside a request. A property written on the thread forgets them. A memo (zydb::DatabaseMemo): the
// rows alone.
struct TPropertyRead {
    int rc;
    std::string value;
};
using TPropertyMemo = std::map<std::tuple<std::string, long, std::string>, TPropertyRead>;
TPropertyMemo* propertyMemo();

// The current value of one property: 0 with `value` set, 100 when there is none, else the error. Read
// once per request outside a transaction (a request asks about the same few properties again).
template <class Family>
int readProperty(DBtran* tran, long componentId, const std::string& name, std::string& value) {
    TPropertyMemo* memo = tran ? nullptr : propertyMemo();
    std::tuple<std::string, long, std::string> key;
    if (memo) {
        key = std::make_tuple(std::string(Family::Descriptor::dbName), componentId, name);
        if (auto it = memo->find(key); it != memo->end()) {
            if (it->second.rc == zydb::DB_OK) value = it->second.value;
            return it->second.rc;
        }
    }
    Family t(tran);
    t.setIsolationType(4);
    t.setTop(1);
    t.setWhere("componentNameId = %ld AND attrName = '%s' AND modified = 0", componentId, name);
    int rc = t.getOneRow(&t, false, 0, 0);
    if (rc == zydb::DB_OK) {
        const char* v = t.getDataPtr()->attrVal;
        value = v ? v : "";
    }
    if (memo && (rc == zydb::DB_OK || rc == zydb::DB_NO_DATA))
        (*memo)[std::move(key)] = {rc, rc == zydb::DB_OK ? value : std::string()};
    return rc;
}

// Sets a property from `now` on through the one versioned writer, hubdb::setVersionedProperty (the
// current row stops being in force and a new row with an explicit id holds `value`; an unchanged value
// writes nothing). Runs inside `tran` when given, else in a transaction of its own that it commits.
int writeProperty(DBtran* tran, const char* table, long componentId, const std::string& name, int type,
                  const std::string& value, long long now);

// The same for a family.
template <class Family>
int writeProperty(DBtran* tran, long componentId, const std::string& name, int type, const std::string& value,
                  long long now) {
    return writeProperty(tran, Family::Descriptor::dbName, componentId, name, type, value, now);
}

}  // namespace zyent
