// The framework's application-type classes: which agents are file-system agents. Pure functions;
// any thread.
#pragma once

// True for the file-system agents of the product's application-type list (11, 17 to 21, 29, 33, 34,
// 36, 40, 42, 43, 48, 63, 64 and 74).
bool isFileSystemAppType(long appType);
