// One open log file, shared by every EvDebugFileInstance that resolves to its path: whole writes at its
// end (opened for append, so threads and processes write at once), its size cap and roll-over. Internal to
// the log (platform/log); any thread.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/threads/hubmutex.h"

namespace evdebug_detail {

constexpr long long kDefaultMaxBytes = 50LL * 1024 * 1024;
constexpr long long kMinMaxBytes = 4096;
constexpr int kDefaultKeepFiles = 10;

// One open log file, shared by every instance that resolves to its path.
class LogFile {
public:
    explicit LogFile(std::string path) : m_path(std::move(path)) {}
    ~LogFile() {
        if (m_fd >= 0) close(m_fd);
    }

    const std::string& path() const { return m_path; }

    bool open(bool fresh) {
        CHubWriteLock lock(m_rotation);
        return openLocked(fresh);
    }

    void setMaxBytes(long long bytes) {
        m_maxBytes.store(bytes < kMinMaxBytes ? kMinMaxBytes : bytes, std::memory_order_relaxed);
    }

    void setKeepFiles(int files) { m_keepFiles.store(files < 1 ? 1 : files, std::memory_order_relaxed); }
    // What its rotated files hold together at most.
    long long keptBytes() const {
        return m_maxBytes.load(std::memory_order_relaxed) * m_keepFiles.load(std::memory_order_relaxed);
    }

    // Whole lines (one, or several made in one call), in the file when this returns, by one write(2). Threads
    // write at once (the file is opened for append, so each write lands whole at its end); each takes its
    // room first, so writers together never carry the file past its cap: a write that would is made to a new
    // file after a roll-over, which waits for the writes under way. Only a write larger than the cap passes
    // it, alone in its file.
    void write(const char* data, size_t size) {
        const auto bytes = static_cast<long long>(size);
        {
            CHubReadLock lock(m_rotation);
            if (m_fd >= 0) {
                const long long before = m_size.fetch_add(bytes, std::memory_order_relaxed);
                if (before == 0 || before + bytes <= m_maxBytes.load(std::memory_order_relaxed)) {
                    if (!writeWhole(data, size)) m_size.fetch_sub(bytes, std::memory_order_relaxed);
                    return;
                }
                m_size.fetch_sub(bytes, std::memory_order_relaxed);
            }
        }
        CHubWriteLock lock(m_rotation);
        if (m_fd < 0 && !openLocked(false)) return;
        const long long now = m_size.load(std::memory_order_relaxed);
        if (now > 0 && now + bytes > m_maxBytes.load(std::memory_order_relaxed)) rotateLocked();
        if (m_fd >= 0 && writeWhole(data, size)) m_size.fetch_add(bytes, std::memory_order_relaxed);
    }

private:
    // False when the write failed.
    bool writeWhole(const char* data, size_t size) REQUIRES_SHARED(m_rotation) {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(m_fd, data + done, size - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    bool openLocked(bool fresh) REQUIRES(m_rotation) {
        if (m_fd >= 0) {
            if (fresh && ftruncate(m_fd, 0) == 0) m_size.store(0, std::memory_order_relaxed);
            return true;
        }
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(m_path).parent_path(), ec);
        int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (fresh ? O_TRUNC : 0);
        const int fd = ::open(m_path.c_str(), flags, 0600);
        if (fd < 0) {
            if (!m_warned) {
                m_warned = true;
                fprintf(stderr, "EvDebug: cannot open log file %s: %s\n", m_path.c_str(), strerror(errno));
            }
            return false;
        }
        struct stat st;
        m_size.store(fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : 0, std::memory_order_relaxed);
        m_fd = fd;
        return true;
    }

    void rotateLocked() REQUIRES(m_rotation) {
        // Another process may have rotated already; only rename what is still the file we write.
        struct stat mine, named;
        if (fstat(m_fd, &mine) == 0 && stat(m_path.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
            mine.st_dev == named.st_dev) {
            // The older files move up one place, the oldest beyond the kept count goes.
            const int keep = m_keepFiles.load(std::memory_order_relaxed);
            for (int n = keep - 1; n >= 1; --n) {
                const std::string from = m_path + "." + std::to_string(n);
                rename(from.c_str(), (m_path + "." + std::to_string(n + 1)).c_str());
            }
            std::string old = m_path + ".1";
            rename(m_path.c_str(), old.c_str());
        }
        close(m_fd);
        m_fd = -1;
        openLocked(false);
    }

    const std::string m_path;
    CHubSharedMutex m_rotation;  // shared by each write, taken alone to open and to roll over
    // Changed under m_rotation held alone; atomic so that a writer may see it unopened without the lock.
    std::atomic<int> m_fd{-1};
    std::atomic<long long> m_size{0};  // bytes in the file, by this process's count
    bool m_warned GUARDED_BY(m_rotation) = false;
    std::atomic<long long> m_maxBytes{kDefaultMaxBytes};
    std::atomic<int> m_keepFiles{kDefaultKeepFiles};  // rotated files kept: "<name>.1" to "<name>.N"
};

}  // namespace evdebug_detail
