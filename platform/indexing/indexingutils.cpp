#include "platform/indexing/indexingutils.h"

namespace I2 {
namespace Utils {

std::string FormBackupSetAndDbName(const std::string& backupSet, const std::string& database) {
    std::string key;
    key.reserve(backupSet.size() + 1 + database.size());
    key += backupSet;
    key += ':';
    key += database;
    return key;
}

void FixPath(std::string& path, char separator) {
    for (char& c : path)
        if (c == '/' || c == '\\') c = separator;
}

}  // namespace Utils
}  // namespace I2
