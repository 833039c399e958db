#include "platform/config/zyplatforminfo.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/config/privatefile.h"
#include "platform/config/zyformat.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

namespace {

std::string lower(const std::string& s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return s.substr(b, e - b);
}

std::string makeKey(const char* section, const char* name) {
    return lower(trim(section ? section : "")) + '\n' + lower(trim(name ? name : ""));
}

// makeKey written into `buffer` without an allocation (a setting is read several times per browse);
// false when it does not fit, and the caller makes the key.
bool keyInto(const char* section, const char* name, char (&buffer)[128], std::string_view& key) {
    size_t at = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    auto put = [&](const char* text) {
        if (!text) return true;
        while (blank(*text)) ++text;
        const size_t start = at;
        size_t kept = at;  // the end of the text without its trailing blanks
        for (; *text; ++text) {
            if (at == sizeof buffer) return false;
            const char c = *text;
            buffer[at++] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            if (!blank(c)) kept = at;
        }
        at = kept > start ? kept : start;
        return true;
    };
    if (!put(section) || at == sizeof buffer) return false;
    buffer[at++] = '\n';
    if (!put(name)) return false;
    key = std::string_view(buffer, at);
    return true;
}

// Looks keys up by view as well as by string.
struct TKeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view k) const { return std::hash<std::string_view>()(k); }
};

// One parsed version of the file, identified by what stat() says about it.
struct Snapshot {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    long long mtimeNs = 0;
    long long ctimeNs = 0;
    long long parsedAtNs = 0;  // wall clock when parsed
    std::unordered_map<std::string, std::string, TKeyHash, std::equal_to<>> values;
};

}  // namespace

// The registry as a thread's open CReadScope first found it.
struct TZyRegistryPin {
    bool taken = false;  // snapshot holds what the first read found
    std::shared_ptr<const Snapshot> snapshot;
    int privateFile = -1;  // -1: not checked in this scope; else the check's answer
    std::string why;       // why the file is not private
};

namespace {

// Tells whether the registry file may have changed since it was last looked at, without walking its
// path: every setting read (several per browse) would otherwise cost a stat(2). An inotify watch on the
// file sees writes through any path; one on its folder sees it replaced, created or removed (only events
// that name it count, so the logs and databases beside it cost nothing). Where no watch can be set (a
// symbolic link, no inotify), nothing is ever quiet and the file's times decide as before.
class CRegistryWatch {
public:
    ~CRegistryWatch() {
        if (m_fd >= 0) close(m_fd);
    }

    // True when nothing happened to `path` since arm(path); drains what did happen.
    bool quiet(const std::string& path) {
        if (m_fd < 0 || !m_armed || path != m_path) return false;
        alignas(struct inotify_event) char buffer[4096];
        bool changed = false;
        for (;;) {
            const ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            if (n <= 0) {
                changed = true;
                break;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const struct inotify_event*>(buffer + at);
                if (e->mask & IN_Q_OVERFLOW)
                    changed = true;
                else if (e->wd == m_fileWatch)
                    changed = true;
                else if (e->wd == m_folderWatch && (e->len == 0 || m_name == e->name))
                    changed = true;
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
            }
        }
        if (changed) m_armed = false;
        return !changed;
    }

    // Watches `path` from now on; false when it cannot, and the caller must not trust what it reads.
    bool arm(const std::string& path) {
        m_armed = false;
        if (m_unavailable) return false;
        if (m_fd < 0 && (m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) < 0) {
            m_unavailable = true;
            return false;
        }
        struct stat link;
        if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) return false;
        if (path != m_path) {
            if (m_folderWatch >= 0) inotify_rm_watch(m_fd, m_folderWatch);
            if (m_fileWatch >= 0) inotify_rm_watch(m_fd, m_fileWatch);
            m_folderWatch = m_fileWatch = -1;
            m_path = path;
            const size_t slash = path.rfind('/');
            m_name = slash == std::string::npos ? path : path.substr(slash + 1);
            m_folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        }
        m_folderWatch = inotify_add_watch(
            m_fd, m_folder.c_str(),
            IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        if (m_folderWatch < 0) return false;
        // A file made again is another inode: its watch replaces the old one's (which may still fire).
        m_fileWatch = inotify_add_watch(
            m_fd, path.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF);
        if (m_fileWatch < 0 && errno != ENOENT) return false;
        m_armed = true;
        return true;
    }

    void forget() { m_armed = false; }

private:
    int m_fd = -1;
    bool m_unavailable = false;
    bool m_armed = false;
    std::string m_path, m_folder, m_name;
    int m_folderWatch = -1, m_fileWatch = -1;
};

struct Registry {
    CHubMutex mutex;
    std::string path GUARDED_BY(mutex);          // set by the host; empty: HUB_REGISTRY
    std::string snapshotPath GUARDED_BY(mutex);  // the file the snapshot was read from
    std::shared_ptr<const Snapshot> snapshot GUARDED_BY(mutex);
    CRegistryWatch watch GUARDED_BY(mutex);  // quiet: the snapshot (or the file's absence) still holds
    CHubMutex writeMutex;                    // serialises setString/removeValue within the process
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: readers may run during static destruction
    return *r;
}

std::atomic<ZYPlatformInfo::DiagnosticSink> g_sink{nullptr};

void diagnose(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void diagnose(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = zyFormatV(fmt, ap);
    va_end(ap);
    ZYPlatformInfo::DiagnosticSink sink = g_sink.load();
    if (sink) {
        sink(level, text.c_str());
    } else {
        fprintf(stderr, "ZYPlatformInfo: %s\n", text.c_str());
    }
}

std::string currentPath(Registry& r) REQUIRES(r.mutex) {
    if (!r.path.empty()) return r.path;
    const char* env = getenv("HUB_REGISTRY");
    return env ? std::string(env) : std::string();
}

long long nanos(const struct timespec& ts) {
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

std::shared_ptr<Snapshot> parse(const std::string& path) {
    auto snap = std::make_shared<Snapshot>();
    std::ifstream in(path);
    if (!in) return nullptr;
    std::string line, section;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        if (t[0] == '[') {
            size_t close = t.find(']');
            section = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        std::string name = trim(t.substr(0, eq));
        if (name.empty()) continue;
        snap->values[makeKey(section.c_str(), name.c_str())] = trim(t.substr(eq + 1));
    }
    return snap;
}

// The current parsed registry, re-read when the file changed; null when there is no readable file.
std::shared_ptr<const Snapshot> current() {
    Registry& r = registry();
    CHubMutexLock lock(r.mutex);
    std::string path = currentPath(r);
    if (path.empty()) return nullptr;
    if (r.watch.quiet(path)) return r.snapshot;
    // Armed before the look, so that a change from here on is an event for the next read.
    const bool watched = r.watch.arm(path);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        r.snapshot.reset();
        r.snapshotPath.clear();
        return nullptr;
    }
    const std::shared_ptr<const Snapshot> old = r.snapshot;
    // File times are on the calendar clock, so the parse is dated on it too.
    const long long nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(CHubClock::real().wallNow().time_since_epoch())
            .count();
    // File times are coarse (a few ms): a file changed within a second of our last parse may have
    // changed again since without its times moving, so such a snapshot is not trusted. A watched file
    // is looked at only after an event: it is read again, whatever its times say.
    if (!watched && old && r.snapshotPath == path && old->dev == st.st_dev && old->ino == st.st_ino &&
        old->size == st.st_size && old->mtimeNs == nanos(st.st_mtim) && old->ctimeNs == nanos(st.st_ctim) &&
        old->parsedAtNs - old->ctimeNs > 1000000000LL && old->parsedAtNs - old->mtimeNs > 1000000000LL) {
        return old;
    }
    std::shared_ptr<Snapshot> snap = parse(path);
    if (!snap) {
        r.snapshot.reset();
        r.snapshotPath.clear();
        return nullptr;
    }
    snap->dev = st.st_dev;
    snap->ino = st.st_ino;
    snap->size = st.st_size;
    snap->mtimeNs = nanos(st.st_mtim);
    snap->ctimeNs = nanos(st.st_ctim);
    snap->parsedAtNs = nowNs;
    r.snapshot = snap;
    r.snapshotPath = path;
    return snap;
}

thread_local TZyRegistryPin* t_pin =
    nullptr;  // the thread's open CReadScope's (plain pointer: no destructor)

// A write of the thread's own: its next read looks at the file again.
void unpin();

bool lookup(const char* section, const char* key, std::string* out) {
    if (!key) return false;
    std::shared_ptr<const Snapshot> snap;
    if (TZyRegistryPin* p = t_pin) {
        if (!p->taken) {
            p->snapshot = current();
            p->taken = true;
        }
        snap = p->snapshot;
    } else {
        snap = current();
    }
    if (!snap) return false;
    char buffer[128];
    std::string_view made;
    auto it = keyInto(section, key, buffer, made) ? snap->values.find(made)
                                                  : snap->values.find(makeKey(section, key));
    if (it == snap->values.end()) return false;
    *out = it->second;
    return true;
}

// Parses a registry number; false for text that is not one.
bool parseNumber(const std::string& text, unsigned long* out) {
    std::string t = trim(text);
    if (t.empty()) return false;
    bool negative = false;
    size_t pos = 0;
    if (t[0] == '-' || t[0] == '+') {
        negative = t[0] == '-';
        pos = 1;
    }
    int base = 10;
    if (t.size() > pos + 1 && t[pos] == '0' && (t[pos + 1] == 'x' || t[pos + 1] == 'X')) {
        base = 16;
        pos += 2;
    }
    if (pos >= t.size()) return false;
    for (size_t i = pos; i < t.size(); ++i) {
        char c = t[i];
        bool ok = base == 16 ? isxdigit(static_cast<unsigned char>(c)) : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    errno = 0;
    unsigned long long v = strtoull(t.c_str() + pos, nullptr, base);
    if (errno == ERANGE) v = ULLONG_MAX;
    if (negative) {
        const unsigned long long most = static_cast<unsigned long long>(LLONG_MAX) + 1ULL;
        if (v > most) v = most;
        v = 0ULL - v;  // two's complement
    }
    *out = static_cast<unsigned long>(v);
    return true;
}

bool rewrite(const char* section, const char* key, const std::string* value) {
    Registry& r = registry();
    std::string path;
    {
        CHubMutexLock lock(r.mutex);
        path = currentPath(r);
    }
    if (path.empty() || !key) return false;
    CHubMutexLock wlock(r.writeMutex);

    std::vector<std::string> lines;
    {
        std::ifstream in(path);
        std::string line;
        while (in && std::getline(in, line)) lines.push_back(line);
    }
    const std::string wantSection = lower(trim(section ? section : ""));
    const std::string wantName = lower(trim(key));
    std::string cur;  // section of the line being looked at ("" before the first header)
    long sectionEnd = wantSection.empty() ? 0 : -1;  // index after the last line of the wanted section
    bool replaced = false;
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        std::string t = trim(line);
        if (!t.empty() && t[0] == '[') {
            size_t close = t.find(']');
            cur = lower(trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
            out.push_back(line);
            if (cur == wantSection) sectionEnd = static_cast<long>(out.size());
            continue;
        }
        size_t eq = t.find('=');
        if (cur == wantSection && !t.empty() && t[0] != '#' && t[0] != ';' && eq != std::string::npos &&
            lower(trim(t.substr(0, eq))) == wantName) {
            // drop every line of this key; a replacement goes where the first one was
            if (value && !replaced) out.push_back(trim(key) + " = " + *value);
            replaced = true;
            if (cur == wantSection) sectionEnd = static_cast<long>(out.size());
            continue;
        }
        out.push_back(line);
        if (cur == wantSection && !t.empty()) sectionEnd = static_cast<long>(out.size());
    }
    if (value && !replaced) {
        std::string entry = trim(key) + " = " + *value;
        if (sectionEnd < 0) {
            out.push_back("[" + trim(section ? section : "") + "]");
            out.push_back(entry);
        } else {
            out.insert(out.begin() + sectionEnd, entry);
        }
    }
    std::string text;
    for (const std::string& l : out) text += l + '\n';
    // The registry holds the installation's keys: owner-only, and durable before it replaces the old.
    std::string error;
    if (!zyconfig::writePrivateFile(path, text, &error)) {
        diagnose(-1, "registry file not written: %s", error.c_str());
        return false;
    }
    return true;
}

}  // namespace

int ZYPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    std::string text;
    if (!value || !lookup(section, key, &text)) return 0;
    unsigned long v = 0;
    if (!parseNumber(text, &v)) {
        diagnose(-1, "registry value [%s][%s] = [%s] is not a number; ignored", section ? section : "", key,
                 text.c_str());
        return 0;
    }
    *value = v;
    return 1;
}

int ZYPlatformInfo::getNumber(const char* section, const char* key, unsigned int* value) {
    unsigned long wide = 0;
    int found = getNumber(section, key, &wide);
    if (found && value) {
        if (wide > 0xFFFFFFFFUL) {
            diagnose(-1, "registry value [%s][%s] = %lu does not fit in 32 bits; clamped to %u",
                     section ? section : "", key, wide, 0xFFFFFFFFU);
            *value = 0xFFFFFFFFU;
        } else {
            *value = static_cast<unsigned int>(wide);
        }
    }
    return found;
}

int ZYPlatformInfo::getRegInt(const char* section, const char* key, int* value) {
    unsigned long wide = 0;
    int found = getNumber(section, key, &wide);
    if (found && value) {
        long long v = static_cast<long long>(wide);
        if (v > INT_MAX || v < INT_MIN) {
            int clamped = v > INT_MAX ? INT_MAX : INT_MIN;
            diagnose(-1, "registry value [%s][%s] = %lld does not fit in an int; clamped to %d",
                     section ? section : "", key, v, clamped);
            *value = clamped;
        } else {
            *value = static_cast<int>(v);
        }
    }
    return found;
}

int ZYPlatformInfo::getString(const char* section, const char* key, std::string* value) {
    std::string text;
    if (!value || !lookup(section, key, &text)) return 0;
    *value = text;
    return 1;
}

int ZYPlatformInfo::getSecret(const char* section, const char* key, std::string* value) {
    std::string text;
    if (!value || !lookup(section, key, &text)) return 0;
    TZyRegistryPin* p = t_pin;
    std::string why;
    bool privateFile = false;
    if (p && p->privateFile >= 0) {
        privateFile = p->privateFile == 1;
        why = p->why;
    } else {
        privateFile = zyconfig::isPrivateFile(getRegistryPath(), &why);
        if (p) {
            p->privateFile = privateFile ? 1 : 0;
            p->why = why;
        }
    }
    if (!privateFile) {
        // Said on every refusal: a service that will not start must say why each time it is asked.
        diagnose(-1, "ERROR: the secret [%s][%s] is refused: the registry file %s", section ? section : "",
                 key, why.c_str());
        return 0;
    }
    *value = text;
    return 1;
}

bool ZYPlatformInfo::setString(const char* section, const char* key, const std::string& value) {
    if (value.find('\n') != std::string::npos) return false;
    unpin();
    return rewrite(section, key, &value);
}

bool ZYPlatformInfo::setNumber(const char* section, const char* key, unsigned long value) {
    return setString(section, key, std::to_string(value));
}

bool ZYPlatformInfo::removeValue(const char* section, const char* key) {
    unpin();
    return rewrite(section, key, nullptr);
}

void ZYPlatformInfo::setRegistryPath(const std::string& path) {
    Registry& r = registry();
    CHubMutexLock lock(r.mutex);
    r.path = path;
    unpin();
    r.snapshot.reset();
    r.snapshotPath.clear();
    r.watch.forget();
}

std::string ZYPlatformInfo::getRegistryPath() {
    Registry& r = registry();
    CHubMutexLock lock(r.mutex);
    return currentPath(r);
}

void ZYPlatformInfo::setDiagnosticSink(DiagnosticSink sink) {
    g_sink.store(sink);
}

namespace {

void unpin() {
    if (TZyRegistryPin* p = t_pin) {
        p->taken = false;
        p->snapshot.reset();
        p->privateFile = -1;
    }
}

}  // namespace

ZYPlatformInfo::CReadScope::CReadScope() {
    if (t_pin) return;
    m_pin = std::make_unique<TZyRegistryPin>();
    t_pin = m_pin.get();
}

ZYPlatformInfo::CReadScope::~CReadScope() {
    if (m_pin) t_pin = nullptr;
}
