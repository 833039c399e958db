// Small helpers of the indexing utilities (I2::Utils) that the browse service and the index-server
// caches share. Pure functions; any thread.
#pragma once

#include <string>

namespace I2 {
namespace Utils {

// The key of one index database: "<backupSet>:<database>" (an empty part stays empty, so two empty
// texts give ":").
std::string FormBackupSetAndDbName(const std::string& backupSet, const std::string& database);

// Writes every path separator ('/' or '\\') of `path` as `separator`; nothing else changes.
void FixPath(std::string& path, char separator);

}  // namespace Utils
}  // namespace I2
