// EvTaskMgr: the Hubmaster's task manager as its callers reach it: a request message (by tag, as XML
// text) in, the manager's answer (as XML text) back in the same text. Create-task requests become rows
// of the task store in the Hubmaster database (a task with its job, entities, sub-tasks and paths).
// Any thread; each call uses the calling thread's database connection.
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors/evmessageids.h"

class EvTaskMgr {
public:
    static constexpr int kSubmitRequest = 2;  // the one operation served: run the request
    static constexpr uint32_t kSecurityError = evmsg::kSecurityError;  // the caller may not ask this
    static constexpr long kEraseOperation = 4016;  // sub-task operation of an end-user erase

    // Results besides 0 (the request was handled; the answer in `text` says how).
    enum Result : int {
        kUnsupported = 1,  // another operation or request tag
        kBadRequest = 2,   // the request text does not read as the tag's message
        kStoreFailed = 3,  // the task store could not be written
        kStoreBusy = 4,    // another writer held the database longer than a write waits for it
    };

    // Runs the request of `requestTag` held in `text` and replaces `text` with the answer: for a
    // TMMsg::CreateTaskReq, a TMMsg::CreateTaskResp with the new task and job ids, or a
    // TMMsg::GenericResp with kSecurityError when an entity is unknown, a backup set is not its
    // client's, or an erase sub-task is asked while end-user erase is disabled (global parameters
    // "ZY_HM_ENABLE_END_USER_ERASE" and "ZY_HM_ENABLE_FS_END_USER_ERASE"). On a non-zero result
    // `text` holds the reason. The remaining arguments are the closed library's and change nothing here.
    static int controlTaskManager(int operation, int flags, int count, long requestId,
                                  unsigned long requestTag, std::string& text, bool wait, void* context,
                                  bool async, const std::string& caller, bool retry);
};
