#include "platform/log/evdebug.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

#include "platform/config/zyformat.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/log/logfile.h"
#include "platform/log/logtext.h"
#include "platform/log/peerlog.h"
#include "platform/threads/hubclock.h"

namespace evdebug_detail {

namespace {
pid_t processId();  // this process's id, renewed in a forked child
}  // namespace

// The caller outside the infrastructure a line is caused by, and the line's kind (its format).
struct TOutsiderLine {
    zylog::TPeerCaller caller;
    const void* kind;
    size_t clean;  // leading bytes of its text known to be written as they are (logtext.h)
};

namespace {

struct Shared {
    CHubMutex mutex;
    std::string dir GUARDED_BY(mutex);
    std::map<std::string, std::weak_ptr<LogFile>> files GUARDED_BY(mutex);
};

Shared& shared() {
    static Shared* s = new Shared;  // never destroyed: threads may log during static destruction
    return *s;
}

}  // namespace

namespace {

std::shared_ptr<LogFile> fileFor(const std::string& path) {
    Shared& s = shared();
    CHubMutexLock lock(s.mutex);
    std::shared_ptr<LogFile> f = s.files[path].lock();
    if (!f) {
        f = std::make_shared<LogFile>(path);
        s.files[path] = f;
    }
    return f;
}

// "<temp dir>/hub-logs-<uid>", made owner-only: the shared temp folder is every user's, and logs name
// users, sessions and paths. A folder of that name that is not ours (or not a plain folder) is never
// used: a fresh one of our own is made beside it.
std::string ownerOnlyTempFolder() {
    static const std::string folder = [] {
        std::error_code ec;
        std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
        if (ec) tmp = "/tmp";
        const std::string mine = (tmp / ("hub-logs-" + std::to_string(geteuid()))).string();
        mkdir(mine.c_str(), 0700);
        struct stat st;
        if (lstat(mine.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) {
            if ((st.st_mode & 077) != 0) chmod(mine.c_str(), 0700);
            return mine;
        }
        std::string fresh = mine + "-XXXXXX";
        if (mkdtemp(fresh.data())) return fresh;
        return mine;
    }();
    return folder;
}

std::string logDirectory() {
    Shared& s = shared();
    {
        CHubMutexLock lock(s.mutex);
        if (!s.dir.empty()) return s.dir;
    }
    const char* env = getenv("HUB_LOG_DIR");
    if (env && *env) return env;
    return ownerOnlyTempFolder();
}

std::string defaultFileName() {
    const char* prog = program_invocation_short_name;
    return std::string(prog && *prog ? prog : "hub") + ".log";
}

void registrySink(int level, const char* text) {
    EvDebug log(nullptr);
    log.setPrefixMessage("ZYPlatformInfo");
    log.debugLvl(level, "%s", text);
}

// The registry reports clamped values through the log whenever this unit is linked.
const bool g_sinkInstalled = (ZYPlatformInfo::setDiagnosticSink(&registrySink), true);

}  // namespace
}  // namespace evdebug_detail

using evdebug_detail::LogFile;

EvDebugFileInstance::EvDebugFileInstance(const CHubClock& clock)
    : m_levelOverride(-1),
      m_maxBytesArg(0),
      m_moduleId(0),
      m_appendMode(1),
      m_enabled(1),
      m_linesWritten(0),
      m_fileName(),
      m_ready(false),
      m_openedAt(0),
      m_resolvedPath(),
      m_registryMaxBytes(0),
      m_keepFiles(evdebug_detail::kDefaultKeepFiles),
      m_clock(clock),
      m_currentLevel(0),
      m_paramsRead(false) {}

EvDebugFileInstance::~EvDebugFileInstance() = default;

EvDebugFileInstance* EvDebugFileInstance::defaultInstance() {
    static EvDebugFileInstance* instance = [] {
        (void)evdebug_detail::g_sinkInstalled;
        ZYPlatformInfo::setDiagnosticSink(&evdebug_detail::registrySink);
        return new EvDebugFileInstance;
    }();
    return instance;
}

void EvDebugFileInstance::setLogDirectory(const std::string& dir) {
    auto& s = evdebug_detail::shared();
    CHubMutexLock lock(s.mutex);
    s.dir = dir;
}

std::string EvDebugFileInstance::getLogDirectory() {
    return evdebug_detail::logDirectory();
}

std::string EvDebugFileInstance::filePath() {
    CHubMutexLock lock(m_mutex);
    if (!m_resolvedPath.empty()) return m_resolvedPath;
    std::string name = m_fileName.empty() ? evdebug_detail::defaultFileName() : m_fileName;
    return (std::filesystem::path(evdebug_detail::logDirectory()) / name).string();
}

void EvDebugFileInstance::setDebugLevelOverride(int level) {
    {
        CHubMutexLock lock(m_mutex);
        m_levelOverride = level < 0 ? -1 : level;
    }
    refresh();
}

void EvDebugFileInstance::setMaxBytes(long long bytes) {
    {
        CHubMutexLock lock(m_mutex);
        m_maxBytesArg = bytes < 0 ? 0 : bytes;
    }
    refresh();
}

std::shared_ptr<LogFile> EvDebugFileInstance::file() {
    CHubMutexLock lock(m_mutex);
    if (!m_file) {
        std::string name = m_fileName.empty() ? evdebug_detail::defaultFileName() : m_fileName;
        m_resolvedPath = (std::filesystem::path(evdebug_detail::logDirectory()) / name).string();
        m_file = evdebug_detail::fileFor(m_resolvedPath);
        long long cap = m_maxBytesArg > 0        ? m_maxBytesArg
                        : m_registryMaxBytes > 0 ? m_registryMaxBytes
                                                 : evdebug_detail::kDefaultMaxBytes;
        m_file->setMaxBytes(cap);
        m_file->setKeepFiles(m_keepFiles);
        m_file->open(m_appendMode == 0);
        m_appendMode = 1;  // only the first open may start afresh
        m_openedAt = static_cast<long long>(m_clock.epochSeconds());
        m_fastFile.store(m_file.get(), std::memory_order_release);
    }
    return m_file;
}

void EvDebugFileInstance::refresh() {
    m_paramsRead.store(true);  // first: the registry may log while we read it
    unsigned int level = 0;
    ZYPlatformInfo::getNumber("EventManager", "DebugLevel", &level);
    unsigned int sizeMb = 0;
    ZYPlatformInfo::getNumber("EventManager", "DebugMaxSizeMB", &sizeMb);
    unsigned int keepFiles = evdebug_detail::kDefaultKeepFiles;
    ZYPlatformInfo::getNumber("EventManager", "DebugLogFiles", &keepFiles);
    std::shared_ptr<LogFile> f;
    long long cap;
    int effective;
    {
        CHubMutexLock lock(m_mutex);
        m_registryMaxBytes = static_cast<long long>(sizeMb) * 1024 * 1024;
        m_keepFiles = static_cast<int>(std::min(keepFiles, 1000u));
        effective =
            m_levelOverride >= 0 ? m_levelOverride : (level > INT_MAX ? INT_MAX : static_cast<int>(level));
        cap = m_maxBytesArg > 0        ? m_maxBytesArg
              : m_registryMaxBytes > 0 ? m_registryMaxBytes
                                       : evdebug_detail::kDefaultMaxBytes;
        f = m_file;
    }
    m_currentLevel.store(effective);
    if (f) {
        f->setMaxBytes(cap);
        f->setKeepFiles(static_cast<int>(std::min(keepFiles, 1000u)));  // as the file opened later takes it
    }
}

uint64_t EvDebugFileInstance::keptBytes() {
    // Asked for every line an outsider causes: the open file is read without the lock.
    if (evdebug_detail::LogFile* f = m_fastFile.load(std::memory_order_acquire))
        return static_cast<uint64_t>(f->keptBytes());
    return static_cast<uint64_t>(file()->keptBytes());
}

int EvDebugFileInstance::debugLevel() {
    if (!m_paramsRead.load()) refresh();
    return m_currentLevel.load();
}

void EvDebugFileInstance::setup(unsigned int moduleId, long long maxBytes, bool fresh,
                                const std::string& fileName) {
    {
        CHubMutexLock lock(m_mutex);
        m_moduleId = moduleId;
        if (maxBytes > 0) m_maxBytesArg = maxBytes;
        if (!m_file) {
            m_fileName = fileName;
            m_appendMode = fresh ? 0 : 1;
        }
        m_ready = true;
    }
    refresh();
    char text[160];
    snprintf(text, sizeof(text), "log opened: module [0x%08X] program [%s]", moduleId,
             program_invocation_short_name);
    write("EvDebug", -1, nullptr, false, text);
}

namespace evdebug_detail {
namespace {

// What every line repeats, kept per thread so that a line costs its formatting and one write(2): the
// kernel thread id, the process id (renewed in a forked child), and the date and time down to the second,
// formatted again only when the second changes.
std::atomic<pid_t> g_pid{0};  // 0: not known yet (a line may come before this unit is initialised)

// Plain data only: a line may be written after the thread's objects are destroyed (a static destructor
// logging at exit), so nothing per thread has a destructor.
struct TLineState {
    long tid;      // 0: not known yet
    pid_t idsPid;  // the process `ids` were written for (0: none)
    char ids[48];  // "<pid> <tid> "
    size_t idsLength;
    time_t second;
    char clock[32];  // "YYYY-MM-DD HH:MM:SS."
    size_t clockLength;
    char text[8192];  // the formatted text of most lines
    char line[8704];  // most lines, built whole for their one write
    // The last tag found to need no escaping: a thread writes runs of lines under one tag.
    char cleanTag[100];
    size_t cleanTagLength;
};

TLineState& lineState() {
    thread_local TLineState state{0, 0, {}, 0, -1, {}, 0, {}, {}, {}, 0};
    if (state.tid == 0) state.tid = static_cast<long>(syscall(SYS_gettid));
    return state;
}

pid_t processId() {
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static std::once_flag renewal;
        // In a forked child the forking thread, the only one, is a new thread of a new process.
        std::call_once(renewal, [] {
            pthread_atfork(nullptr, nullptr, [] {
                g_pid.store(0);
                lineState().tid = static_cast<long>(syscall(SYS_gettid));
            });
        });
        pid = getpid();
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

}  // namespace
}  // namespace evdebug_detail

namespace {

// The kind under which an outsider's lines made together (debugLines) are counted.
constexpr char kLinesKind[] = "%s";

// The most of a tag a line shows, and the room of a line's head (the tag escaped at its longest).
constexpr size_t kMaxTagBytes = sizeof(evdebug_detail::TLineState::cleanTag);
constexpr size_t kHeadBytes = 100 + 4 * kMaxTagBytes;

// A line's head: the thread's date and time to the second (formatted once a second), then "<microseconds,
// six digits> <pid> <tid> <tag> <level> " in `head`, put together without a formatting per line; its length.
// The tag is escaped as one word (logtext.h): whatever it holds, it stays one field of its own line.
size_t lineHead(evdebug_detail::TLineState& state, const struct timespec& ts, const char* tag, int level,
                char (&head)[kHeadBytes]) {
    if (ts.tv_sec != state.second) {
        struct tm tmv;
        localtime_r(&ts.tv_sec, &tmv);
        // "YYYY-MM-DD HH:MM:SS.", digit by digit.
        char* c = state.clock;
        auto digits = [&c](int value, int width) {
            for (int i = width - 1; i >= 0; --i, value /= 10) c[i] = static_cast<char>('0' + value % 10);
            c += width;
        };
        digits(tmv.tm_year + 1900, 4);
        *c++ = '-';
        digits(tmv.tm_mon + 1, 2);
        *c++ = '-';
        digits(tmv.tm_mday, 2);
        *c++ = ' ';
        digits(tmv.tm_hour, 2);
        *c++ = ':';
        digits(tmv.tm_min, 2);
        *c++ = ':';
        digits(tmv.tm_sec, 2);
        *c++ = '.';
        state.clockLength = static_cast<size_t>(c - state.clock);
        state.second = ts.tv_sec;
    }
    char* h = head;
    for (long us = ts.tv_nsec / 1000, i = 5; i >= 0; --i, us /= 10) h[i] = static_cast<char>('0' + us % 10);
    h += 6;
    *h++ = ' ';
    // The process and thread ids, written once per thread (and again in a forked child).
    const pid_t pid = evdebug_detail::processId();
    if (state.idsPid != pid) {
        char* at = std::to_chars(state.ids, state.ids + 20, static_cast<int>(pid)).ptr;
        *at++ = ' ';
        at = std::to_chars(at, state.ids + sizeof(state.ids) - 2, state.tid).ptr;
        *at++ = ' ';
        state.idsLength = static_cast<size_t>(at - state.ids);
        state.idsPid = pid;
    }
    std::memcpy(h, state.ids, state.idsLength);
    h += state.idsLength;
    const char* shownTag = (tag && *tag) ? tag : "-";
    const std::string_view shown(shownTag, strnlen(shownTag, kMaxTagBytes));
    const bool known =
        shown.size() == state.cleanTagLength && std::memcmp(shown.data(), state.cleanTag, shown.size()) == 0;
    if (known || logtext::cleanPrefix(shown, logtext::EForm::kWord) == shown.size()) {
        if (!known) {
            std::memcpy(state.cleanTag, shown.data(), shown.size());
            state.cleanTagLength = shown.size();
        }
        std::memcpy(h, shown.data(), shown.size());
        h += shown.size();
    } else {
        h = logtext::escapeInto(h, shown, logtext::EForm::kWord);
    }
    *h++ = ' ';
    h = std::to_chars(h, head + sizeof(head) - 1, level).ptr;
    *h++ = ' ';
    return static_cast<size_t>(h - head);
}

// What ends a text cut at EvDebug::kMaxTextBytes.
std::string cutMark(size_t cut) {
    return " [... " + std::to_string(cut) + " bytes cut]";
}

}  // namespace

void EvDebugFileInstance::write(const char* tag, int level, const char* function, bool isError,
                                const char* text) {
    const std::string_view line(text ? text : "");
    writeLines(tag, level, function, isError, &line, 1);
}

void EvDebugFileInstance::writeLines(const char* tag, int level, const char* const* texts, size_t count) {
    std::vector<std::string_view> lines;
    lines.reserve(count);
    for (size_t k = 0; k < count; ++k) lines.emplace_back(texts[k] ? texts[k] : "");
    writeLines(tag, level, nullptr, false, lines.data(), count);
}

void EvDebugFileInstance::writeLines(const char* tag, int level, const char* function, bool isError,
                                     const std::string_view* texts, size_t count,
                                     const evdebug_detail::TOutsiderLine* outsider) {
    if (level > debugLevel() || count == 0) return;
    evdebug_detail::LogFile* f = m_fastFile.load(std::memory_order_acquire);
    if (!f) f = file().get();  // the first line opens the file; it stays for the instance's life

    evdebug_detail::TLineState& state = evdebug_detail::lineState();
    struct timespec ts;
    {
        const auto since = m_clock.wallNow().time_since_epoch();
        const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
        ts.tv_sec = static_cast<time_t>(seconds.count());
        ts.tv_nsec =
            static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    }
    char head[kHeadBytes];
    const size_t n = lineHead(state, ts, tag, level, head);

    // Each text as it goes in its line: trailing line breaks dropped, a long one cut with its mark (the
    // mark is made only for such a text: most lines are short, and their parts cost no string each), and
    // escaped (logtext.h), so that nothing in it ends its line or begins another: the function name and
    // the notes of an outsider's lines left out too.
    struct TPart {
        size_t length;   // bytes of the text kept
        size_t clean;    // of those, the start written as it is
        size_t written;  // bytes the kept text takes in its line
        size_t cut;      // bytes cut off the text (0: none)
    };
    // Most calls write one line or a handful: their parts stay on the stack.
    TPart few[16];
    std::vector<TPart> many;
    if (count > std::size(few)) many.resize(count);
    TPart* parts = count > std::size(few) ? many.data() : few;
    const std::string_view functionText(function ? function : "");
    const bool functionClean = logtext::cleanPrefix(functionText) == functionText.size();
    const size_t functionLen =
        functionText.empty() ? 0
                             : (functionClean ? functionText.size() : logtext::escapedSize(functionText)) + 2;
    const size_t perLine = state.clockLength + n + functionLen + (isError ? 7 : 0) + 1;
    size_t size = 0;
    for (size_t k = 0; k < count; ++k) {
        const char* text = texts[k].data();
        size_t textLen = texts[k].size();
        while (textLen > 0 && (text[textLen - 1] == '\n' || text[textLen - 1] == '\r')) --textLen;
        parts[k].cut = 0;
        if (textLen > EvDebug::kMaxTextBytes) {
            size_t keep = EvDebug::kMaxTextBytes;
            while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80)
                --keep;  // whole UTF-8
            parts[k].cut = textLen - keep;
            textLen = keep;
        }
        parts[k].length = textLen;
        parts[k].clean =
            outsider && outsider->clean >= textLen ? textLen : logtext::cleanPrefix({text, textLen});
        parts[k].written = parts[k].clean == textLen ? textLen : logtext::escapedSize({text, textLen});
        size += perLine + parts[k].written + (parts[k].cut > 0 ? cutMark(parts[k].cut).size() : 0);
    }
    // An outsider's line is counted by all it puts in the file, what it says of the lines left out too.
    zylog::TPeerLinesLeftOut leftOut;
    if (outsider) {
        if (!zylog::admitPeerLine(outsider->caller, outsider->kind, size, keptBytes(), m_clock.steadyNow(),
                                  leftOut))
            return;
        // They name the peer, whose name or address may be anything.
        if (!leftOut.notes.empty()) leftOut.notes = logtext::escaped(leftOut.notes);
        size += leftOut.notes.size();
    }
    std::string longLine;  // only for lines longer than the thread's buffer
    char* line = state.line;
    if (size > sizeof(state.line)) {
        longLine.resize(size);
        line = longLine.data();
    }
    char* at = line;
    auto put = [&at](const char* from, size_t length) {
        std::memcpy(at, from, length);
        at += length;
    };
    for (size_t k = 0; k < count; ++k) {
        put(state.clock, state.clockLength);
        put(head, n);
        if (functionLen > 0) {
            if (functionClean)
                put(function, functionLen - 2);
            else
                at = logtext::escapeInto(at, functionText);
            put(": ", 2);
        }
        if (isError) put("ERROR: ", 7);
        if (parts[k].clean == parts[k].length) {
            if (parts[k].length > 0) put(texts[k].data(), parts[k].length);
        } else {
            at = logtext::escapeInto(at, {texts[k].data(), parts[k].length});
        }
        if (parts[k].cut > 0) {
            const std::string mark = cutMark(parts[k].cut);
            put(mark.data(), mark.size());
        }
        put(leftOut.notes.data(), leftOut.notes.size());
        *at++ = '\n';
    }
    // In the file when this returns, whatever the thread does next (waits, computes, is killed, crashes):
    // lines of calls that returned one after the other are in that order.
    f->write(line, static_cast<size_t>(at - line));
    m_linesWritten.fetch_add(count, std::memory_order_relaxed);
}

// ---- EvDebug

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance) {
    m_tag[0] = '\0';
}

EvDebug::~EvDebug() = default;

EvDebugFileInstance* EvDebug::instance() const {
    return m_instance ? m_instance : EvDebugFileInstance::defaultInstance();
}

int EvDebug::initialize(unsigned int moduleId, long long maxBytes, bool fresh, const std::string& fileName) {
    instance()->setup(moduleId, maxBytes, fresh, fileName);
    return 0;
}

void EvDebug::setPrefixMessage(const char* tag) {
    if (!tag) {
        m_tag[0] = '\0';
        return;
    }
    // Made for nearly every line a browse logs: a copy, not a formatting.
    const size_t n = strnlen(tag, sizeof(m_tag) - 1);
    memcpy(m_tag, tag, n);
    m_tag[n] = '\0';
}

void EvDebug::vwrite(const char* function, int level, bool isError, const char* format, va_list ap) {
    EvDebugFileInstance* inst = instance();
    if (level > inst->debugLevel()) return;
    // Formatted in the thread's buffer; a longer text is formatted again at its own size.
    char* buffer = evdebug_detail::lineState().text;
    constexpr size_t kBuffer = sizeof(evdebug_detail::TLineState::text);
    va_list again;
    va_copy(again, ap);
    const char* text = format ? format : "";
    const int n = zyVFormat(buffer, kBuffer, text, ap);
    if (n >= 0 && static_cast<size_t>(n) < kBuffer) {
        writeText(inst, function, level, isError, format, buffer, static_cast<size_t>(n));
    } else {
        const std::string longText = zyFormatV(text, again);
        writeText(inst, function, level, isError, format, longText.c_str(), longText.size());
    }
    va_end(again);
}

void EvDebug::writeText(EvDebugFileInstance* inst, const char* function, int level, bool isError,
                        const void* kind, const char* text, size_t length) {
    const zylog::TPeerCaller caller = zylog::currentCaller();
    if (caller.peer.empty()) {
        const std::string_view line(text, length);
        inst->writeLines(m_tag, level, function, isError, &line, 1);
        return;
    }
    // An outsider's lines are counted past a burst, so that it cannot flush the log. What one line carries
    // of an outsider's text is bounded, as it is written (escaped: a text of few bytes may take four times
    // as many), and its count is of the line as written (peerlog.h).
    // Only as much of the text as a line may carry is looked at, once: what is found here is not looked
    // for again.
    std::string cut;  // only for a line that is cut
    std::string_view line(text, length);
    size_t clean = 0;
    if (length > zylog::kMaxPeerLineBytes / 4) {
        const size_t head = std::min(length, zylog::kMaxPeerLineBytes);
        clean = logtext::cleanPrefix(line.substr(0, head));
        const size_t kept = clean < head ? logtext::fittingPrefix(line, zylog::kMaxPeerLineBytes) : head;
        if (kept < length) {
            cut.assign(text, kept);
            cut += " [" + std::to_string(length - kept) + " more bytes of this line were not written]";
            line = cut;
            clean = clean >= kept ? cut.size() : clean;
        }
    }
    const evdebug_detail::TOutsiderLine outsider{caller, kind, clean};
    inst->writeLines(m_tag, level, function, isError, &line, 1, &outsider);
}

void EvDebug::debugLines(int level, const std::vector<std::string>& texts) {
    EvDebugFileInstance* inst = instance();
    if (level > inst->debugLevel() || texts.empty()) return;
    if (!zylog::currentPeer().empty()) {
        // Each counted as a line of its own, of one kind.
        for (const std::string& text : texts)
            writeText(inst, nullptr, level, false, kLinesKind, text.c_str(), text.size());
        return;
    }
    std::vector<std::string_view> lines(texts.begin(), texts.end());
    inst->writeLines(m_tag, level, nullptr, false, lines.data(), lines.size());
}

void EvDebug::debugLvl(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite(nullptr, level, false, format, ap);
    va_end(ap);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite(function, level, false, format, ap);
    va_end(ap);
}

void EvDebug::debug(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite(nullptr, level, false, format, ap);
    va_end(ap);
}

void EvDebug::Debug(const char* function, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite(function, 0, false, format, ap);
    va_end(ap);
}

void EvDebug::Error(const char* function, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite(function, -1, true, format, ap);
    va_end(ap);
}

void EvDebug::error(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite(nullptr, -1, true, format, ap);
    va_end(ap);
}

void EvDebug::fatal(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite(nullptr, -1, true, format, ap);
    va_end(ap);
    // The line is in its file (every line is by the time its call returns): nothing else to write.
    std::abort();
}

int EvDebug::getDebugLevel() {
    return instance()->debugLevel();
}

void evTaggedLogV(const char* tag, int level, bool isError, const char* format, va_list ap) {
    EvDebug log(nullptr);
    log.setPrefixMessage(tag);
    log.vwrite(nullptr, level, isError, format, ap);
}

void evTaggedLog(const char* tag, int level, bool isError, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    evTaggedLogV(tag, level, isError, format, ap);
    va_end(ap);
}

void EvDebug::refreshAllParams() {
    instance()->refresh();
}
