// Test support: one log folder for the whole test process. The default log keeps the file it opened
// first, so a test program sets its log folder once; this makes it in the temp folder on first use,
// sets it as the log directory, and removes it with everything in it when the program ends, so no run
// leaves logs behind. Header-only; call from any test thread.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/log/evdebug.h"

namespace hubtest {

inline const std::string& processLogDir() {
    struct Folder {
        Folder() {
            std::string tmpl = (std::filesystem::temp_directory_path() / "hublog-XXXXXX").string();
            std::vector<char> buf(tmpl.begin(), tmpl.end());
            buf.push_back('\0');
            if (::mkdtemp(buf.data()) != nullptr) path = buf.data();
            EvDebugFileInstance::setLogDirectory(path);
        }
        ~Folder() {
            // A forked child that ends normally leaves the folder to the process that made it.
            std::error_code ec;
            if (!path.empty() && ::getpid() == maker) std::filesystem::remove_all(path, ec);
        }
        Folder(const Folder&) = delete;
        Folder& operator=(const Folder&) = delete;
        std::string path;
        const pid_t maker = ::getpid();
    };
    static const Folder folder;
    return folder.path;
}

}  // namespace hubtest
