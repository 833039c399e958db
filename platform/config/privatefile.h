// Files that hold secrets (the registry with its token and message-signing keys, any key file): written
// for the owner only and made durable before they replace the old file, and checked before a secret is
// read from them. Plain functions; any thread (callers serialise writers of one path).
#pragma once

#include <string>

namespace zyconfig {

// Replaces `path` with `content`: a temporary file beside it with mode 0600, written, flushed and
// synced, renamed over `path`, then the folder synced, so a crash leaves the old file or the new one,
// never a torn or empty one, and no moment where others can read it. False with `error` set otherwise
// (the temporary file is removed).
bool writePrivateFile(const std::string& path, const std::string& content, std::string* error);

// True when only the file's owner may read or write it. False with `why` set when group or others may,
// or when it cannot be examined.
bool isPrivateFile(const std::string& path, std::string* why);

}  // namespace zyconfig
