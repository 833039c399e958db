// App_ExecuteSP and I2::Utils::ExecuteAppMgrSP: run the application manager's XML stored procedures.
// One registry maps a request class's tag to the procedure that answers it; the database layer
// registers the procedures, callers run them by tag. Any thread may register or run at any time; a
// procedure runs on the caller's thread, outside the registry's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/errors/cuxerror.h"

class CNMessageBase;

// Results of a run besides the procedure's own (0 is success).
enum AppExecuteSPError : int {
    APP_SP_NO_PROCEDURE = -100,  // no procedure is registered for the request tag
    APP_SP_BAD_REQUEST = -101,   // the request message could not be written as XML
    APP_SP_BAD_ANSWER = -102,    // the answer could not be read into the answer message
};

class App_ExecuteSP {
public:
    // A procedure: reads the request XML, writes the answer XML; 0 on success, anything else is its
    // failure code. `context` is what the caller passed (a transaction, or null).
    using Procedure =
        std::function<int(const std::string& requestXml, std::string& responseXml, void* context)>;

    App_ExecuteSP() = default;

    int executeStoredProcedure(unsigned long requestTag, const std::string& requestXml,
                               std::string& responseXml, void* context);
    int executeGetStoredProcedure(unsigned long requestTag, const std::string& requestXml,
                                  std::string& responseXml, void* context);

    // Registers (or replaces) the procedure of a request tag; `name` is for the log.
    static void registerProcedure(uint32_t requestTag, const std::string& name, Procedure procedure);
    static bool unregisterProcedure(uint32_t requestTag);
    static bool hasProcedure(uint32_t requestTag);
};

namespace I2::Utils {

// Serialises `request`, runs the procedure of `requestTag` and reads the answer into `response`.
// A failure is an error CUxError (negative code) with a text naming the step.
CUxError ExecuteAppMgrSP(unsigned long requestTag, CNMessageBase& request, CNMessageBase& response);
CUxError ExecuteAppMgrSP(unsigned long requestTag, CNMessageBase* request, CNMessageBase* response);

}  // namespace I2::Utils
