// What a fuzz target writes stays its own and goes with it: its log lines (each refused input may log
// one) go to a folder of the run's own, capped small, which is removed when the run ends, instead of
// the shared log folder. Called once, from LLVMFuzzerInitialize.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/log/evdebug.h"

namespace fuzzscratch {

inline std::string& folder() {
    static std::string made;
    return made;
}

inline void removeFolder() {
    std::error_code ec;
    if (!folder().empty()) std::filesystem::remove_all(folder(), ec);
}

// Sends the run's log to a fresh temporary folder of its own, a few MB at most, removed at exit.
inline void keepLogsPrivate() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hub-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) abort();
    folder() = pattern;
    std::atexit(&removeFolder);
    EvDebugFileInstance::setLogDirectory(pattern);
    EvDebugFileInstance::defaultInstance()->setMaxBytes(1 << 20);
}

}  // namespace fuzzscratch
