// Test support: a file that another process writes (a journal, a log), watched with inotify so that a
// test looks at it again only when it was written to, and waits with a limit. A busy machine may have
// no inotify instance or watch to give: the file is then looked at again on the clock. Header-only; one
// test thread.
#pragma once

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "tests/support/process/deadline.h"

namespace hubtest {

class CFileWatch {
public:
    // Watches `file` through its folder (which must exist), so the file itself may come later.
    explicit CFileWatch(const std::filesystem::path& file)
        : CFileWatch(file.parent_path(), [name = file.filename()](const std::filesystem::path& written) {
              return written == name;
          }) {}
    // Watches every file of `folder` with the name ending `extension` (".log": the logs of a process
    // that writes several).
    CFileWatch(const std::filesystem::path& folder, const std::string& extension)
        : CFileWatch(folder, [extension](const std::filesystem::path& written) {
              return written.extension() == extension;
          }) {}
    ~CFileWatch() {
        if (m_fd >= 0) close(m_fd);
    }
    CFileWatch(const CFileWatch&) = delete;
    CFileWatch& operator=(const CFileWatch&) = delete;

    // True once `done` holds: asked now and again after each write to the file (or every little while
    // without inotify). False when it does not hold at `limit`, or at once when the folder is missing.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const TDeadline deadline = deadlineIn(limit);
        while (!done()) {
            if (!nextWrite(deadline)) return done();
        }
        return true;
    }

private:
    CFileWatch(const std::filesystem::path& folder, std::function<bool(const std::filesystem::path&)> watched)
        : m_watched(std::move(watched)), m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        const uint32_t writes = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO;
        std::error_code ec;
        m_onClock = std::filesystem::is_directory(folder, ec);
        if (m_fd >= 0 && inotify_add_watch(m_fd, folder.c_str(), writes) < 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    // Waits for a write to the file until `deadline`; false at the deadline.
    bool nextWrite(TDeadline deadline) {
        if (m_fd < 0) {
            // No instance to have: another look after a little while, until the deadline.
            if (!m_onClock || msUntil(deadline) == 0) return false;
            std::this_thread::sleep_for(
                std::min(std::chrono::milliseconds(20), std::chrono::milliseconds(msUntil(deadline))));
            return true;
        }
        while (readableBy(m_fd, deadline)) {
            alignas(inotify_event) char buffer[4096];
            bool written = false;
            for (ssize_t n; (n = read(m_fd, buffer, sizeof buffer)) > 0;) {
                for (ssize_t at = 0; at < n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    written = written || (event->len > 0 && m_watched(event->name));
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
            if (written) return true;
        }
        return false;
    }

    const std::function<bool(const std::filesystem::path&)> m_watched;  // by the file's name
    int m_fd;
    bool m_onClock = false;  // without an inotify watch, the folder is there: look on the clock
};

}  // namespace hubtest
