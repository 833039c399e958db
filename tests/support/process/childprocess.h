// Test support: a program of the build run as a child process, its standard output and error read by
// the test until a marker shows or it ends, every wait with a limit; ended with SIGTERM (SIGKILL when
// that is not enough) when the object goes. Whatever the test checks, a child that reports a sanitizer
// error, dies of a signal nobody sent it, or exits with a failure once told to stop when the object goes
// fails the test (see childFaultReport). Header-only; one test thread.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process/deadline.h"
#include "tests/support/tls/testpki.h"

namespace hubtest {

// The build folder the programs under test are in (HUB_BINARY_DIR, which hub_test sets; else ".").
inline std::string binaryDir() {
    const char* binaries = std::getenv("HUB_BINARY_DIR");
    return binaries ? binaries : ".";
}

// Where a child's fault goes: each test program sets a gtest failure (childfaults.cpp, linked by
// hub_test); elsewhere (benchmarks) it is written to standard error.
using TChildFaultReport = void (*)(const std::string& what);
inline TChildFaultReport childFaultReport = nullptr;

inline void reportChildFault(const std::string& what) {
    if (childFaultReport)
        childFaultReport(what);
    else
        std::fprintf(stderr, "child process fault: %s\n", what.c_str());
}

// The first line of a sanitizer's report in `output` (AddressSanitizer, LeakSanitizer,
// UndefinedBehaviorSanitizer, ThreadSanitizer) and what follows it, or empty when there is none.
inline std::string sanitizerReportIn(const std::string& output) {
    static const char* const kMarkers[] = {"ERROR: AddressSanitizer",  "ERROR: LeakSanitizer",
                                           "WARNING: ThreadSanitizer", "ThreadSanitizer: reported",
                                           "runtime error: ",          "SUMMARY: UndefinedBehaviorSanitizer"};
    size_t first = std::string::npos;
    for (const char* marker : kMarkers) first = std::min(first, output.find(marker));
    if (first == std::string::npos) return std::string();
    const size_t line = output.rfind('\n', first);
    const size_t from = line == std::string::npos ? 0 : line + 1;
    return output.substr(from, 6000);
}

// Reports the sanitizer report in the output of `who`, if any.
inline void reportSanitizerOutput(const std::string& who, const std::string& output) {
    const std::string report = sanitizerReportIn(output);
    if (!report.empty()) reportChildFault(who + " reported a sanitizer error:\n" + report);
}

class CChildProcess {
public:
    // The process id while it runs (-1 once it was stopped).
    pid_t pid() const { return m_pid; }

    // `program` relative to the build folder (HUB_BINARY_DIR, which hub_test sets), or an absolute path.
    CChildProcess(const std::string& program, std::vector<std::string> args) {
        withCredentials(program, args);
        const std::string path = program.starts_with('/') ? program : binaryDir() + "/" + program;
        args.insert(args.begin(), path);
        m_name = program;
        // Everything the child needs is made before the fork: a test's other threads may hold the
        // allocator's locks at that instant, and the child would then wait for them for ever.
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        // Close-on-exec, so that a child another thread starts meanwhile keeps no end of this pipe open
        // (its reader would then wait for that child's end); dup2 gives this child its own ends.
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        if (m_pid < 0) close(fds[0]);
        close(fds[1]);
        if (m_pid > 0) m_out = fds[0];
    }
    ~CChildProcess() {
        const bool running = alive();  // not one that ended by itself, whose status the test may expect
        const int status = stop();
        drainOutput();
        if (m_out >= 0) close(m_out);
        reportSanitizerOutput(m_name, m_text);
        if (m_signal != 0 && !(m_sent & (1ull << m_signal)))
            reportChildFault(m_name + " died of signal " + std::to_string(m_signal) + " (" +
                             strsignal(m_signal) + "), which the test did not send:\n" + tail());
        else if (running && status > 0)
            reportChildFault(m_name + " exited with status " + std::to_string(status) +
                             " when told to stop at the end of the test:\n" + tail());
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Reads the output until the `nth` whole line holding `marker` has come; false at the limit or its end.
    bool waitFor(const std::string& marker, std::chrono::milliseconds limit, size_t nth = 1) {
        const TDeadline deadline = deadlineIn(limit);
        for (;;) {
            size_t at = m_text.find(marker);
            for (size_t seen = 1; seen < nth && at != std::string::npos; ++seen)
                at = m_text.find(marker, at + 1);
            if (at != std::string::npos && m_text.find('\n', at) != std::string::npos) return true;
            if (!readSome(deadline)) return false;
        }
    }
    // Stops the process with SIGTERM, reads its output until `lastWords` (if given), and waits for it
    // to end within `limit` (then it is killed): its exit status, -1 when it did not exit by itself.
    int stop(const std::string& lastWords = std::string(),
             std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        if (m_pid <= 0) return -1;
        const TDeadline deadline = deadlineIn(limit);
        signal(SIGTERM);
        if (!lastWords.empty()) waitFor(lastWords, limit);
        if (waitEnd(deadline)) return m_status;
        signal(SIGKILL);
        reap(0);
        m_status = -1;
        return -1;
    }

    // A media agent started by a test holds credentials from the test's authority unless the test
    // names some: the test plays the Hubmaster that issues them.
    static void withCredentials(const std::string& program, std::vector<std::string>& args) {
        if (program.find("mediaagent") == std::string::npos) return;
        std::string client;
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == "--tls") return;
            if (args[i] == "--client") client = args[i + 1];
        }
        if (client.empty()) return;
        const std::string folder = testCredentialsFor(client);
        if (folder.empty()) return;
        args.insert(args.end(), {"--tls", folder});
        // The clients whose services the world has this machine host go with its credentials.
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] != "--hub") continue;
            const std::filesystem::path hosted =
                std::filesystem::path(args[i + 1]).parent_path() / "machines" / client / "tls" / "hosted";
            std::error_code ec;
            if (std::filesystem::is_directory(hosted, ec))
                std::filesystem::copy(hosted, std::filesystem::path(folder) / "hosted",
                                      std::filesystem::copy_options::recursive |
                                          std::filesystem::copy_options::overwrite_existing,
                                      ec);
        }
    }
    // Reads the output until the process closes it and waits for the process to end, both within
    // `limit` (no polling: the process's own descriptor tells when it ends); false when it still runs.
    bool waitExit(std::chrono::milliseconds limit) {
        const TDeadline deadline = deadlineIn(limit);
        while (m_out >= 0 && readSome(deadline)) {
        }
        return waitEnd(deadline);
    }
    // Once it has ended: its exit status, -1 when it did not exit by itself (or still runs).
    int exitStatus() const { return m_pid > 0 ? -1 : m_status; }
    bool alive() const {
        if (m_pid <= 0) return false;
        // WNOWAIT: a process that has ended stays to be collected, its status with it.
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }
    // Sends `signal` (SIGKILL: the process vanishes without a word).
    void signal(int signal) const {
        if (m_pid <= 0) return;
        if (signal > 0 && signal < 64) m_sent |= 1ull << signal;
        kill(m_pid, signal);
    }
    // The number written right after `marker` in the output (0 when absent).
    long numberAfter(const std::string& marker) const {
        const size_t at = m_text.find(marker);
        return at == std::string::npos ? 0 : std::atol(m_text.c_str() + at + marker.size());
    }
    const std::string& output() const { return m_text; }
    // How many lines so far hold `marker`, with all the output written by now read first.
    size_t countNow(const std::string& marker) {
        drainOutput();
        size_t n = 0;
        for (size_t at = m_text.find(marker); at != std::string::npos; at = m_text.find(marker, at + 1)) ++n;
        return n;
    }

private:
    // Waits for the process to end until `deadline` and collects its status; false while it runs. Its
    // output is read meanwhile, so a process that writes much (a sanitizer's report) is never held on a
    // full pipe.
    bool waitEnd(TDeadline deadline) {
        if (m_pid <= 0) return true;
        const int process = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        if (process < 0) return reap(WNOHANG);
        bool ended = false;
        for (;;) {
            pollfd p[2] = {{process, POLLIN, 0}, {m_out, POLLIN, 0}};
            const int ready = poll(p, m_out >= 0 ? 2 : 1, msUntil(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            if (p[0].revents & POLLIN) {
                ended = true;
                break;
            }
            if (p[1].revents && !readAvailable()) {
                close(m_out);
                m_out = -1;
            }
        }
        close(process);
        return ended && reap(0);
    }
    // Reads what the output holds now; false at its end.
    bool readAvailable() {
        char buffer[4096];
        const ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n <= 0) return false;
        m_text.append(buffer, static_cast<size_t>(n));
        return true;
    }
    // What the output holds now and the test did not read yet (a process it left behind and that still
    // holds the output is not waited for).
    void drainOutput() {
        while (m_out >= 0 && readableBy(m_out, deadlineIn(std::chrono::milliseconds(0))) && readAvailable()) {
        }
    }
    // The end of the output, for a report.
    std::string tail() const { return m_text.size() > 4000 ? m_text.substr(m_text.size() - 4000) : m_text; }
    // Collects the process's status when it has ended (waitpid with `flags`); false while it runs.
    bool reap(int flags) {
        int status = 0;
        const pid_t reaped = waitpid(m_pid, &status, flags);
        if (reaped == 0) return false;
        m_status = reaped == m_pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_signal = reaped == m_pid && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        m_pid = -1;
        return true;
    }
    // Appends what the output holds, waiting for it until `deadline`; false at the deadline or its end.
    bool readSome(TDeadline deadline) {
        if (!readableBy(m_out, deadline)) return false;
        char buffer[4096];
        const ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n <= 0) return false;
        m_text.append(buffer, static_cast<size_t>(n));
        return true;
    }

    std::string m_name;  // the program, as the test named it
    pid_t m_pid = -1;
    int m_status = -1;                      // the exit status once it has ended
    int m_signal = 0;                       // the signal it died of, once it has
    mutable unsigned long long m_sent = 0;  // the signals sent to it, one bit each
    int m_out = -1;
    std::string m_text;
};

}  // namespace hubtest
