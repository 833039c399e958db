// Logging with module tags: CBrowseLog binds an EvDebug to the process's log instance
// g_pLogInstance and a module tag; smallDump writes the fixed summary of a browse request. Any thread;
// each function makes its own CBrowseLog on its stack.
#pragma once

#include "platform/log/evdebug.h"

class EvRestoreTask;

// The one log-file instance of the process. The entry-point unit creates it when the library is loaded
// and deletes it last at clean-up; while it is null, CBrowseLog writes to the default log.
extern EvDebugFileInstance* g_pLogInstance;

class CBrowseLog : public EvDebug {
public:
    explicit CBrowseLog(const char* tag);
    ~CBrowseLog() override;
};

// Writes the request summary of `task` through a CBrowseLog made with `tag` (the worker passes
// "FBHMWORKER"); all at level 0 except the current-time line (level 2). A null task writes nothing.
void smallDump(const char* tag, EvRestoreTask* task);
