#include "platform/msg/app_execute_sp.h"

#include <map>

#include "platform/errors/fxerrorutil.h"
#include "platform/msg/cnmessagebase.h"
#include "platform/msg/msg_log.h"
#include "platform/threads/hubmutex.h"

namespace {

struct Registered {
    std::string name;
    App_ExecuteSP::Procedure procedure;
};

CHubSharedMutex g_lock;

std::map<uint32_t, Registered>& table() {
    static auto* procedures = new std::map<uint32_t, Registered>();
    return *procedures;
}

// The table is read with g_lock held, to read at least, and changed with it held alone.
const std::map<uint32_t, Registered>& procedures() REQUIRES_SHARED(g_lock) {
    return table();
}
std::map<uint32_t, Registered>& proceduresToChange() REQUIRES(g_lock) {
    return table();
}

int run(const char* how, unsigned long requestTag, const std::string& requestXml, std::string& responseXml,
        void* context) {
    Registered found;
    {
        CHubReadLock lock(g_lock);
        auto it = procedures().find(static_cast<uint32_t>(requestTag));
        if (it != procedures().end()) found = it->second;
    }
    if (!found.procedure) {
        msgLog(-1, "App_ExecuteSP::%s: no stored procedure is registered for request tag 0x%08lx", how,
               requestTag);
        return APP_SP_NO_PROCEDURE;
    }
    std::string answer;
    int rc = found.procedure(requestXml, answer, context);
    if (rc != 0) {
        msgLog(0, "App_ExecuteSP::%s: stored procedure %s (request tag 0x%08lx) failed with %d", how,
               found.name.c_str(), requestTag, rc);
        return rc;
    }
    responseXml = std::move(answer);
    return 0;
}

}  // namespace

int App_ExecuteSP::executeStoredProcedure(unsigned long requestTag, const std::string& requestXml,
                                          std::string& responseXml, void* context) {
    return run("executeStoredProcedure", requestTag, requestXml, responseXml, context);
}

int App_ExecuteSP::executeGetStoredProcedure(unsigned long requestTag, const std::string& requestXml,
                                             std::string& responseXml, void* context) {
    return run("executeGetStoredProcedure", requestTag, requestXml, responseXml, context);
}

void App_ExecuteSP::registerProcedure(uint32_t requestTag, const std::string& name, Procedure procedure) {
    CHubWriteLock lock(g_lock);
    proceduresToChange()[requestTag] = Registered{name, std::move(procedure)};
}

bool App_ExecuteSP::unregisterProcedure(uint32_t requestTag) {
    CHubWriteLock lock(g_lock);
    return proceduresToChange().erase(requestTag) > 0;
}

bool App_ExecuteSP::hasProcedure(uint32_t requestTag) {
    CHubReadLock lock(g_lock);
    return procedures().count(requestTag) > 0;
}

namespace I2::Utils {

CUxError ExecuteAppMgrSP(unsigned long requestTag, CNMessageBase& request, CNMessageBase& response) {
    static const FXCodeLocation here(__FILE__, "I2::Utils::ExecuteAppMgrSP", __LINE__);
    std::string requestXml, responseXml;
    if (request.serialize(requestXml) != 0)
        return FXErrorUtil::ErrorInt(APP_SP_BAD_REQUEST, here,
                                     "failed to serialize the stored procedure's request");
    int rc = App_ExecuteSP().executeStoredProcedure(requestTag, requestXml, responseXml, nullptr);
    if (rc == APP_SP_NO_PROCEDURE)
        return FXErrorUtil::ErrorInt(rc, here, "no stored procedure is registered for the request");
    if (rc != 0) return FXErrorUtil::ErrorInt(rc, here, "the stored procedure failed");
    if (response.unserialize(responseXml) != 0)
        return FXErrorUtil::ErrorInt(APP_SP_BAD_ANSWER, here,
                                     "failed to unserialize the stored procedure's answer");
    return CUxError::Success();
}

CUxError ExecuteAppMgrSP(unsigned long requestTag, CNMessageBase* request, CNMessageBase* response) {
    static const FXCodeLocation here(__FILE__, "I2::Utils::ExecuteAppMgrSP", __LINE__);
    if (!request || !response)
        return FXErrorUtil::ErrorInt(APP_SP_BAD_REQUEST, here, "null request or answer message");
    return ExecuteAppMgrSP(requestTag, *request, *response);
}

}  // namespace I2::Utils
