#include "platform/net/zynet_options.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "platform/threads/hubmutex.h"

namespace {

// Every send and receive reads the limits, so readers take no lock: each setting is a new object
// that stays alive until the process ends (they are few), and readers see the newest one.
struct TOptionsStore {
    CHubMutex mutex;
    std::vector<std::unique_ptr<const TZyNetOptions>> kept GUARDED_BY(mutex);
    std::atomic<const TZyNetOptions*> current;

    TOptionsStore() {
        kept.push_back(std::make_unique<const TZyNetOptions>());
        current = kept.back().get();
    }
};

TOptionsStore& store() {
    static TOptionsStore options;
    return options;
}

}  // namespace

namespace {

// Signals given back unset, for the next ones made: every browse makes one, and would otherwise pay for
// an eventfd and its close each time.
constexpr size_t kKeptCancels = 64;

struct TCancelStore {
    CHubMutex mutex;
    std::vector<int> kept GUARDED_BY(mutex);
};

TCancelStore& cancels() {
    static TCancelStore* s = new TCancelStore;  // never destroyed: signals may end during static destruction
    return *s;
}

int takeCancelFd() {
    {
        TCancelStore& s = cancels();
        CHubMutexLock lock(s.mutex);
        if (!s.kept.empty()) {
            const int fd = s.kept.back();
            s.kept.pop_back();
            return fd;
        }
    }
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void giveBackCancelFd(int fd, bool set) {
    if (fd < 0) return;
    uint64_t count = 0;
    // A set signal is kept only once its counter reads zero again.
    if (!set || read(fd, &count, sizeof count) == sizeof count) {
        TCancelStore& s = cancels();
        CHubMutexLock lock(s.mutex);
        if (s.kept.size() < kKeptCancels) {
            s.kept.push_back(fd);
            return;
        }
    }
    close(fd);
}

}  // namespace

CZyNetCancel::CZyNetCancel() : m_fd(takeCancelFd()) {}

CZyNetCancel::~CZyNetCancel() {
    giveBackCancelFd(m_fd, m_set.load());
}

void CZyNetCancel::cancel() {
    const uint64_t one = 1;
    m_set.store(true);
    // A failed write leaves a counter that was already set, which is as readable.
    if (m_fd >= 0 && write(m_fd, &one, sizeof one) < 0) return;
}

TZyNetOptions zyNetOptions() {
    return zynet::options();
}

void setZyNetOptions(const TZyNetOptions& options) {
    TOptionsStore& s = store();
    CHubMutexLock lock(s.mutex);
    s.kept.push_back(std::make_unique<const TZyNetOptions>(options));
    s.current = s.kept.back().get();
}

namespace zynet {

const TZyNetOptions& options() {
    return *store().current.load(std::memory_order_acquire);
}

int effectiveSeconds(int seconds) {
    if (seconds >= 0) return seconds;
    return options().noLimitSeconds;
}

bool isInfrastructure(const std::string& clientName) {
    const auto& rule = options().isInfrastructure;
    if (!rule) return true;
    try {
        return rule(clientName);
    } catch (...) {
        return false;  // a rule that cannot tell grants nothing
    }
}

std::string localHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return "localhost";
    return name;
}

std::string localClientName() {
    std::string name = options().localClientName;
    return name.empty() ? localHostName() : name;
}

void raiseDescriptorLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

}  // namespace zynet
