// Which agents are the framework's file-system agents. Pure functions; any thread.
#pragma once

// True for the file-system agents (apptype::family::kFileSystem).
bool isFileSystemAppType(long appType);
