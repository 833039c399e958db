// The frame of a stored procedure selected by request tag (App_ExecuteSP): the request parsed, the
// connection of the caller's transaction (the context, a DBtran) or of the calling thread, the answer
// filled and written, a failure logged once with its reason. Runs on the caller's thread.
#pragma once

#include <memory>
#include <string>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/log/evdebug.h"

namespace hubdb {

inline void logTagProcFailure(const char* procedure, int rc, const std::string& why) {
    EvDebug log(nullptr);
    log.setPrefixMessage("HUBDB");
    log.debugLvl(0, "ERROR: %s: failed with [%d] [%s]", procedure, rc, why.c_str());
}

// `fill(connection, request, answer, why)` returns DB_OK or an error with `why` (empty: the
// connection's last error).
template <class Req, class Resp, class Fill>
int runTagProcedure(const char* procedure, const std::string& requestXml, std::string& responseXml,
                    void* context, Fill fill) {
    Req request;
    if (request.unserialize(requestXml) != 0) {
        logTagProcFailure(procedure, zydb::DB_ERR_ARGUMENT, "the request cannot be read");
        return zydb::DB_ERR_ARGUMENT;
    }
    int rc = zydb::DB_OK;
    std::string why;
    std::shared_ptr<zydb::IDbConnection> conn;
    if (context != nullptr) conn = static_cast<DBtran*>(context)->tranConnection();
    if (!conn) conn = zydb::CDbEnv::threadConnection(&rc, &why);
    if (!conn) {
        rc = rc != zydb::DB_OK ? rc : zydb::DB_ERR_NOT_OPEN;
        logTagProcFailure(procedure, rc, why);
        return rc;
    }
    Resp answer;
    rc = fill(*conn, request, answer, why);
    if (rc == zydb::DB_OK && answer.serialize(responseXml) != 0) {
        rc = zydb::DB_ERR_GENERAL;
        why = "the answer cannot be written";
    }
    if (rc != zydb::DB_OK) logTagProcFailure(procedure, rc, why.empty() ? conn->lastError() : why);
    return rc;
}

}  // namespace hubdb
