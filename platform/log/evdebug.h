// EvDebug / EvDebugFileInstance: the product logger stand-in. Every line is written whole, by one
// write(2) to a file opened for append (lines made in one call by one write together), before the call
// that logs it returns: whatever its thread does next (waits, computes, is killed, aborts, crashes), the
// line is in its file, and lines of calls that returned one after another (in any threads) are in that
// order. Nothing is kept for later. Any number of threads (and processes) may log at once.
//
// Line layout:
//     2024-05-01 12:34:56.789012 <pid> <kernel tid> <TAG> <level> [<function>: ][ERROR: ]text
// (the tag is "-" when none was set). A line is written when its level is at most the log's current
// debug level; levels -1 and 0 are written by default. Whatever a caller hands in, a call writes whole
// lines of this layout only: the tag, the function, the text (its arguments included) and what an
// outsider's line says of the lines left out are written in logtext's form (logtext.h), in which nothing
// ends a line, begins one or passes for one; printable text is written as it is.
//
// Where the file goes: the directory set with EvDebugFileInstance::setLogDirectory() (the host), else
// the environment variable HUB_LOG_DIR, else "<temp dir>/hub-logs-<uid>" (TMPDIR or /tmp; made owner-only;
// files are written owner-only). The file name is the one given to EvDebug::initialize(), else
// "<program name>.log". An EvDebug constructed with a null
// instance writes to the process's default log, EvDebugFileInstance::defaultInstance(). Instances that
// resolve to the same path share one open file and its lock.
//
// Registry (read by initialize() and refreshAllParams(), section "EventManager"):
//     DebugLevel      the debug level (default 0)
//     DebugMaxSizeMB  size cap of the file in MB (default 50); past it the file is renamed to
//                     "<name>.1" (the older ones move to ".2" and on) and a new file is started.
//     DebugLogFiles   how many rotated files are kept (default 10), so a burst of lines cannot push
//                     the last hour out.
//
// A line is never cut silently: a text longer than EvDebug::kMaxTextBytes keeps that many bytes and
// ends with a mark that says how many were cut; shorter texts are written whole.
//
// Usage from platform code:  EvDebug log(nullptr); log.setPrefixMessage("TAG"); log.debugLvl(-1, "...");
// Component loggers with a fixed tag (ZYNET, MSG, thread failures, ...) forward to evTaggedLog.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

namespace evdebug_detail {
class LogFile;
struct TOutsiderLine;
}  // namespace evdebug_detail

class EvDebugFileInstance {
public:
    // Fields set in the order the product's inline constructor sets them (see the .cpp for meanings).
    // Lines are dated, and outsiders' lines counted, on `clock`, which must outlive the instance.
    explicit EvDebugFileInstance(const CHubClock& clock = CHubClock::real());
    ~EvDebugFileInstance();
    EvDebugFileInstance(const EvDebugFileInstance&) = delete;
    EvDebugFileInstance& operator=(const EvDebugFileInstance&) = delete;

    // The process's default log (never destroyed).
    static EvDebugFileInstance* defaultInstance();

    // Directory of every log file opened from now on; empty goes back to HUB_LOG_DIR / the temp folder.
    static void setLogDirectory(const std::string& dir);
    static std::string getLogDirectory();
    const CHubClock& clock() const { return m_clock; }

    // Full path of this instance's file (the default name when not initialised yet).
    std::string filePath();

    // Host and test control: a fixed debug level (-1: none, the registry decides) and a size cap in
    // bytes (0: the registry decides).
    void setDebugLevelOverride(int level);
    void setMaxBytes(long long bytes);

    // Writes one line (already formatted text) when `level` passes the filter.
    void write(const char* tag, int level, const char* function, bool isError, const char* text);
    // Writes `count` lines made together, by one write(2), when `level` passes the filter.
    void writeLines(const char* tag, int level, const char* const* texts, size_t count);

    int debugLevel();
    // What the file's rotated copies hold together at most (its size cap times the files kept).
    uint64_t keptBytes();
    void refresh();  // re-reads the registry settings
    void setup(unsigned int moduleId, long long maxBytes, bool fresh, const std::string& fileName);

private:
    friend class EvDebug;
    std::shared_ptr<evdebug_detail::LogFile> file();  // opens on first use
    // `outsider`: the one line (count 1) an outsider caused, written only when its share admits all the
    // line puts in the file, with what it says of the lines left out.
    void writeLines(const char* tag, int level, const char* function, bool isError,
                    const std::string_view* texts, size_t count,
                    const evdebug_detail::TOutsiderLine* outsider = nullptr);

    // The product's layout, in its order.
    int m_levelOverride GUARDED_BY(m_mutex);      // -1: the registry's level applies
    long long m_maxBytesArg GUARDED_BY(m_mutex);  // size cap from initialize() or setMaxBytes(); 0: registry
    long long m_moduleId GUARDED_BY(m_mutex);     // first argument of initialize(), shown in the opening line
    int m_appendMode GUARDED_BY(m_mutex);         // 1: append to an existing file; 0: start it afresh
    int m_enabled;                                // 1: lines are written
    std::atomic<long long> m_linesWritten;        // lines this instance wrote
    std::string m_fileName GUARDED_BY(m_mutex);   // file name from initialize(); empty: default name
    bool m_ready GUARDED_BY(m_mutex);             // initialize() ran
    long long m_openedAt GUARDED_BY(m_mutex);     // when the file was opened (seconds since 1970)
    std::string m_resolvedPath GUARDED_BY(m_mutex);    // full path, once resolved
    long long m_registryMaxBytes GUARDED_BY(m_mutex);  // size cap read from the registry (0: default)
    int m_keepFiles GUARDED_BY(m_mutex);               // rotated files kept, as the registry last said

    const CHubClock& m_clock;
    std::atomic<int> m_currentLevel;  // the level used by the filter
    std::atomic<bool> m_paramsRead;   // the registry settings were read at least once
    CHubMutex m_mutex;
    std::shared_ptr<evdebug_detail::LogFile> m_file GUARDED_BY(m_mutex);
    // m_file once opened (it never changes after), read by every line without the lock.
    std::atomic<evdebug_detail::LogFile*> m_fastFile{nullptr};
};

class EvDebug {
public:
    // The longest text a line keeps (1 MiB): past it the text is cut there and marked as cut.
    static constexpr size_t kMaxTextBytes = 1 << 20;

    explicit EvDebug(EvDebugFileInstance* instance);
    virtual ~EvDebug();

    // Opens the instance's file: moduleId is shown in the opening line; maxBytes is the size cap
    // (0: registry or default); fresh starts the file empty; fileName is the file's name in the log
    // directory (empty: "<program name>.log"). Reads the registry settings. Returns 0.
    int initialize(unsigned int moduleId, long long maxBytes, bool fresh, const std::string& fileName);

    // The module tag written on every line of this object.
    void setPrefixMessage(const char* tag);

    void debugLvl(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Lines a caller has made together (a summary of several lines), written by one write(2) before
    // this returns; an outsider's lines are each counted as debugLvl counts them.
    void debugLines(int level, const std::vector<std::string>& texts);
    void DebugLvl(const char* function, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    void debug(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Debug(const char* function, const char* format, ...)
        __attribute__((format(printf, 3, 4)));  // level 0
    void Error(const char* function, const char* format, ...)
        __attribute__((format(printf, 3, 4)));                                  // level -1
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));  // level -1
    // The one way the process ends on a fault it cannot go on from: an error line (level -1), then
    // std::abort().
    [[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 2, 3)));

    int getDebugLevel();
    int GetDebugLevel() { return getDebugLevel(); }
    void refreshAllParams();

private:
    friend void evTaggedLogV(const char* tag, int level, bool isError, const char* format, va_list ap);
    void vwrite(const char* function, int level, bool isError, const char* format, va_list ap);
    // Writes a formatted text (`length` bytes, NUL-terminated) of a line of `kind` (its format), counted
    // against its peer when the thread works for an outsider.
    void writeText(EvDebugFileInstance* inst, const char* function, int level, bool isError, const void* kind,
                   const char* text, size_t length);
    EvDebugFileInstance* instance() const;

    EvDebugFileInstance* m_instance;  // null: the default log
    char m_tag[128];
};

// The one wrapper behind the components' tagged loggers: one whole line under `tag` in the process's
// default log, at `level` (an error line says "ERROR: "). Any thread.
void evTaggedLog(const char* tag, int level, bool isError, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void evTaggedLogV(const char* tag, int level, bool isError, const char* format, va_list ap);
