// Which agents are the framework's file-system agents. Pure functions; any thread.
#pragma once

#include "platform/entities/apptypes.h"

// True for the file-system agents (apptype::family::kFileSystem).
bool isFileSystemAppType(apptype::EAppType appType);
