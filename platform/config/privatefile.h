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

// Files of backed-up data (databases, item indexes) that other local users must not read: when `path`
// does not exist and `create` is set, it is created empty with mode 0600 (so a program that opens it
// next, such as SQLite, keeps that mode whatever the umask); when it exists and group or others may
// read it, it is narrowed to 0600. True when `path` is now (or stays absent and `create` is unset) the
// owner's alone; false with `error` set otherwise (a file of another owner cannot be narrowed).
bool keepPrivate(const std::string& path, bool create, std::string* error);

}  // namespace zyconfig
