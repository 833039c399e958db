// What the tools read of the files and folders a user names (the Hubmaster's data folder and what it
// holds): a user who cannot read one is told which, and how to go on, with exit status 2; no tool
// aborts on a file it cannot read. Header-only; any thread.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace readablefiles {

// The exit status of a tool told to read what it cannot (a usage error: nothing was tried).
inline constexpr int kExitUnreadable = 2;

// "" when `path` can be read (a folder also entered), else "<path>: <why not>". Never throws.
inline std::string problem(const std::filesystem::path& path) {
    std::error_code ec;
    const bool folder = std::filesystem::is_directory(path, ec);
    if (access(path.c_str(), folder ? R_OK | X_OK : R_OK) == 0) return {};
    const int error = errno;
    if (error == ENOENT) return path.string() + (folder ? ": no such folder" : ": no such file");
    return path.string() + ": cannot be read (" + std::strerror(error) + ")";
}

// "" when `path` is a file this user can read, else "<path>: <why not>": no such file, a folder given
// as the file, or what refuses it (the file's mode, or a folder on the way that cannot be entered).
// Never throws.
inline std::string fileProblem(const std::filesystem::path& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return path.string() + ": no such file";
        if (error == EACCES)
            return path.string() +
                   ": cannot be read (permission denied: a folder on its way cannot be entered)";
        return path.string() + ": cannot be read (" + std::strerror(error) + ")";
    }
    if (S_ISDIR(st.st_mode)) return path.string() + ": is a folder, not a file";
    if (access(path.c_str(), R_OK) != 0) {
        const int error = errno;
        return path.string() + ": cannot be read (" +
               (error == EACCES ? std::string("permission denied") : std::strerror(error)) + ")";
    }
    return {};
}

// "" when `folder` holds a Hubmaster database this user can read, else why not, naming what cannot be
// read: the folder, or its hub.db.
inline std::string dataFolderProblem(const std::filesystem::path& folder) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec) && access(folder.c_str(), F_OK) != 0 && errno == ENOENT)
        return folder.string() + ": no such folder";
    if (std::string why = problem(folder); !why.empty()) return why;
    const std::filesystem::path database = folder / "hub.db";
    if (!std::filesystem::exists(database, ec) && !ec)
        return folder.string() + ": the folder holds no Hubmaster data (no hub.db)";
    return problem(database);
}

// Runs a tool's `body`; a file or folder it cannot read on the way ends it with a line naming it and
// `wayForward`, and kExitUnreadable.
template <class Body>
int runReading(const char* tool, const std::string& wayForward, Body&& body) {
    try {
        return body();
    } catch (const std::filesystem::filesystem_error& e) {
        std::fprintf(stderr, "%s: cannot read %s (%s); %s\n", tool, e.path1().c_str(),
                     e.code().message().c_str(), wayForward.c_str());
        return kExitUnreadable;
    }
}

}  // namespace readablefiles
