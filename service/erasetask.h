// The end-user erase task that the host asks for through fastBrowseHMLaunchEraseCreateTask
// (service/fastbrowsehm_api.h): the task manager's create-task request built from a browse request.
// Pure building and answer reading; any thread.
#pragma once

#include <string>

#include "platform/msg/msg_classes.h"

// The create-task request of an end-user erase of `request`: one task entity and one sub-task of
// operation 4016 with the request's paths in request order; absent request fields give 0.
TMMsg::CreateTaskReq buildEraseCreateTaskRequest(databrowse::BrowseRequest& request);

// Reads the task manager's answer text: 0 when it reports a created task with both its task and job
// ids, -1 (logged with the answer) when it reports a security error or lacks an id. An answer that does
// not read, or of another kind, is 0: only the task manager's result decides then.
int readEraseCreateTaskAnswer(const std::string& answer);
