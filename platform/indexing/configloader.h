// I2::Utils::ConfigLoader: reads the index server's configuration keys (HM_ALWAYS_REPLY_V1_BROWSE, ...)
// from the index configuration key file. Made on the stack of any thread for a few reads.
//
// The key file is named by the registry value "sIdxConfigKeyFile" of section "~Indexing"; each line
// is "KEY = value" ('#' or ';' starts a comment, keys match without regard to letter case, a later line
// wins). No registry value or no file: every key is absent and takes its default.
#pragma once

#include <string>

#include "platform/config/zyplatforminfo.h"
#include "platform/errors/cuxerror.h"
#include "platform/log/evdebug.h"

namespace I2 {
namespace Utils {

class ConfigLoader {
public:
    ConfigLoader();
    ~ConfigLoader();
    ConfigLoader(const ConfigLoader&) = delete;
    ConfigLoader& operator=(const ConfigLoader&) = delete;

    // The integer value of `key`. A key that is absent takes `defaultText` (a number), or 0 when that
    // is empty. An error (a value or default that is not a number, an unreadable key file) leaves
    // `value` as it was.
    CUxError GetProperty(const std::string& key, const std::string& defaultText, int& value);

    // The text of `key`: true and `value` set when the key file holds it; false leaves `value`.
    bool GetPropertyText(const std::string& key, std::string& value);

private:
    // 1 found, 0 absent, -1 the key file could not be read.
    int lookUp(const std::string& key, std::string& text);

    ZYPlatformInfo m_reader;
    EvDebug m_log;
};

}  // namespace Utils
}  // namespace I2
