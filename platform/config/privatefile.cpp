#include "platform/config/privatefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zyconfig {

namespace {

bool failed(std::string* error, const std::string& what, int err) {
    if (error) *error = what + ": " + std::strerror(err);
    return false;
}

bool writeAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool writePrivateFile(const std::string& path, const std::string& content, std::string* error) {
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return failed(error, "cannot create " + tmp, errno);
    // A temporary file left by an earlier run may have had a wider mode: narrow it before writing.
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return failed(error, "cannot write " + tmp, err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        err = errno;
        ::unlink(tmp.c_str());
        return failed(error, "cannot rename " + tmp + " to " + path, err);
    }
    // The rename itself is durable only once the folder is.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return failed(error, "cannot open folder " + folder, errno);
    ok = ::fsync(dfd) == 0;
    err = errno;
    ::close(dfd);
    return ok || failed(error, "cannot sync folder " + folder, err);
}

bool keepPrivate(const std::string& path, bool create, std::string* error) {
    // No descriptor of an existing file is opened here: closing one would drop every POSIX lock this
    // process holds on it, and SQLite's locks are such locks.
    if (create) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            const bool narrowed = ::fchmod(fd, 0600) == 0;  // whatever the umask
            const int err = errno;
            ::close(fd);
            return narrowed || failed(error, "cannot make " + path + " the owner's alone", err);
        }
        if (errno != EEXIST) return failed(error, "cannot create " + path, errno);
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (!create && errno == ENOENT) return true;
        return failed(error, "cannot examine " + path, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        if (error) *error = path + " is not a regular file";
        return false;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) == 0 || ::chmod(path.c_str(), 0600) == 0) return true;
    return failed(error, "cannot make " + path + " the owner's alone", errno);
}

bool isPrivateFile(const std::string& path, std::string* why) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (why) *why = "cannot examine " + path + ": " + std::strerror(errno);
        return false;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) == 0) return true;
    if (why) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *why = path + " has mode " + mode + ": others may read it; make it the owner's alone (chmod 600)";
    }
    return false;
}

}  // namespace zyconfig
