#include "platform/log/keptlines.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/log/logfile.h"
#include "platform/waits/waitpoint.h"

namespace evdebug_detail {

namespace {

// One thread's kept lines. A node is never freed: a thread that ends gives its node (without its buffer)
// to the next one, so a crash or the exit walks every node without a lock. Whoever reads or changes the
// lines holds the node first: its thread, or the writer of a crash or of the exit.
struct TKept {
    std::atomic<long> holder{0};     // kernel thread id of the one working on the lines; 0: nobody
    std::atomic<bool> taken{false};  // a living thread owns the node
    LogFile* file = nullptr;         // where the lines go
    std::shared_ptr<LogFile> keep;   // keeps `file` open while lines wait for it
    char* data = nullptr;
    size_t size = 0;  // bytes of whole lines in data
    size_t capacity = 0;
    TKept* next = nullptr;
};

std::atomic<TKept*> g_nodes{nullptr};
// A forked child writes each line at once: it execs or ends soon, often by _exit(), which runs nothing.
std::atomic<bool> g_forkedChild{false};

// The calling thread's node. Plain data, but for the owner whose end gives the node back: a line may come
// after the thread's objects are destroyed (a static destructor logging at exit), and is written at once.
enum : int { kNoNode = 0, kOwnsNode = 1, kEnded = 2 };
thread_local TKept* t_node = nullptr;
thread_local int t_state = kNoNode;
thread_local long t_tid = 0;

long kernelThreadId() {
    return static_cast<long>(syscall(SYS_gettid));
}

// Holds `node` for `me`: waits for another holder up to `spins` tries. False when `me` holds it already (a
// write of its own is under way) or the tries ran out.
bool hold(TKept& node, long me, size_t spins) {
    for (size_t i = 0;; ++i) {
        long expected = 0;
        if (node.holder.compare_exchange_weak(expected, me, std::memory_order_acquire)) return true;
        if (expected == me || i >= spins) return false;
        if (i > 64) sched_yield();
    }
}

void release(TKept& node) {
    node.holder.store(0, std::memory_order_release);
}

// Writes the node's lines through its file (under the file's own locks); the node is held.
void writeOut(TKept& node) {
    if (node.size > 0 && node.file) node.file->write(node.data, node.size);
    node.size = 0;
}

// Every byte, with no lock and no allocation: a crash's writer.
void writeRaw(int fd, const char* data, size_t size) {
    while (size > 0 && fd >= 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Every thread's kept lines, at a crash (`fatal`: no lock, no allocation) or at the exit. A node another
// thread holds is waited for a while; one the caller holds itself (a crash inside the log) gives the
// whole lines it has.
void writeEveryKept(bool fatal) {
    constexpr size_t kSpins = 100000;
    const long me = kernelThreadId();
    for (TKept* node = g_nodes.load(std::memory_order_acquire); node; node = node->next) {
        if (!node->taken.load(std::memory_order_acquire)) continue;
        const bool held = hold(*node, me, kSpins);
        if (!held && node->holder.load(std::memory_order_relaxed) != me) continue;
        if (fatal) {
            if (node->size > 0 && node->file) writeRaw(node->file->fd(), node->data, node->size);
            if (held) node->size = 0;
        } else if (held) {
            writeOut(*node);
        }
        if (held) release(*node);
    }
}

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};
struct sigaction g_previous[std::size(kFatalSignals)];

// A fatal signal: every thread's kept lines go to their files, then the signal takes its earlier course
// (a fault happens again under it; a signal sent, abort()'s included, is sent again).
void onFatalSignal(int signal, siginfo_t* info, void*) {
    const int savedErrno = errno;
    writeEveryKept(true);
    for (size_t i = 0; i < std::size(kFatalSignals); ++i)
        if (kFatalSignals[i] == signal) sigaction(signal, &g_previous[i], nullptr);
    errno = savedErrno;
    if (info == nullptr || info->si_code <= 0) raise(signal);
}

// In a forked child every line is written at once (it execs or ends soon, often by _exit(), which runs
// nothing); the forking thread's kept lines are written once, by the parent, and the child drops the
// copies of every parent thread's lines. Set up as the program loads, so a fork before any line counts.
void forkedChild() {
    g_forkedChild.store(true, std::memory_order_relaxed);
    for (TKept* node = g_nodes.load(std::memory_order_acquire); node; node = node->next) {
        node->holder.store(0, std::memory_order_relaxed);
        node->size = 0;
        if (node == t_node) continue;
        node->file = nullptr;
        node->keep.reset();
        node->taken.store(false, std::memory_order_release);
    }
    t_tid = kernelThreadId();
}

[[maybe_unused]] const bool g_loaded = [] {
    hubwait::setFlush(writeKept);
    pthread_atfork(writeKept, nullptr, forkedChild);
    return true;
}();

// On the first kept line: a crash or the exit writes what every thread kept.
void installOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = onFatalSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kFatalSignals); ++i)
            sigaction(kFatalSignals[i], &action, &g_previous[i]);
        std::atexit([] { writeEveryKept(false); });
    });
}

TKept* takeNode() {
    for (TKept* node = g_nodes.load(std::memory_order_acquire); node; node = node->next) {
        bool taken = false;
        if (!node->taken.load(std::memory_order_relaxed) &&
            node->taken.compare_exchange_strong(taken, true, std::memory_order_acquire))
            return node;
    }
    auto* node = new TKept;
    node->taken.store(true, std::memory_order_relaxed);
    TKept* head = g_nodes.load(std::memory_order_relaxed);
    do {
        node->next = head;
    } while (
        !g_nodes.compare_exchange_weak(head, node, std::memory_order_release, std::memory_order_relaxed));
    return node;
}

// Gives the node back as its thread ends, its lines written and its buffer freed.
struct TOwner {
    bool armed = false;
    ~TOwner() {
        if (!armed || t_state != kOwnsNode) return;
        writeKept();
        TKept& node = *t_node;
        hold(node, t_tid, SIZE_MAX);
        std::free(node.data);
        node.data = nullptr;
        node.capacity = 0;
        node.size = 0;
        node.file = nullptr;
        node.keep.reset();
        release(node);
        node.taken.store(false, std::memory_order_release);
        t_node = nullptr;
        t_state = kEnded;
    }
};
thread_local TOwner t_owner;

TKept* ownNode() {
    if (t_state == kOwnsNode) return t_node;
    if (t_state == kEnded) return nullptr;
    installOnce();
    t_tid = kernelThreadId();
    t_node = takeNode();
    t_owner.armed = true;  // its end is registered now
    t_state = kOwnsNode;
    return t_node;
}

}  // namespace

char* keepRoom(LogFile& file, size_t size) {
    const size_t most = file.keepBytes();
    if (size > most || g_forkedChild.load(std::memory_order_relaxed)) {
        writeKept();  // the longer lines come after the kept ones
        return nullptr;
    }
    TKept* node = ownNode();
    if (node == nullptr) return nullptr;
    hold(*node, t_tid, SIZE_MAX);
    hubwait::setPending(false);  // while the node is held its lines are written here, if at all
    if (node->file != &file) {
        writeOut(*node);
        node->keep = file.shared_from_this();
        node->file = &file;
    }
    if (node->size + size > most) writeOut(*node);
    if (node->size + size > node->capacity) {
        const size_t capacity = std::min(static_cast<size_t>(LogFile::kKeepMostBytes),
                                         std::max({node->capacity * 2, node->size + size, size_t(4096)}));
        auto* grown = static_cast<char*>(std::realloc(node->data, capacity));
        if (grown == nullptr) {
            writeOut(*node);
            release(*node);
            return nullptr;
        }
        node->data = grown;
        node->capacity = capacity;
    }
    return node->data + node->size;
}

void kept(size_t size) {
    TKept& node = *t_node;
    node.size += size;
    const bool any = node.size > 0;
    release(node);
    hubwait::setPending(any);
}

void writeKept() {
    hubwait::setPending(false);
    if (t_state != kOwnsNode) return;
    TKept& node = *t_node;
    if (!hold(node, t_tid, SIZE_MAX)) return;  // a write of this thread's is under way
    writeOut(node);
    release(node);
}

}  // namespace evdebug_detail
