// Test support: a program of the build run as a child process, its standard output and error read by
// the test until a marker shows or it ends, every wait with a limit; ended with SIGTERM (SIGKILL when
// that is not enough) when the object goes. Header-only; one test thread.
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/process/deadline.h"
#include "tests/support/tls/testpki.h"

namespace hubtest {

class CChildProcess {
public:
    // The process id while it runs (-1 once it was stopped).
    pid_t pid() const { return m_pid; }

    // `program` relative to the build folder (HUB_BINARY_DIR, which hub_test sets), or an absolute path.
    CChildProcess(const std::string& program, std::vector<std::string> args) {
        withCredentials(program, args);
        const char* binaries = std::getenv("HUB_BINARY_DIR");
        const std::string path =
            program.starts_with('/') ? program : std::string(binaries ? binaries : ".") + "/" + program;
        args.insert(args.begin(), path);
        int fds[2];
        if (pipe(fds) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            close(fds[0]);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        m_out = fds[0];
    }
    ~CChildProcess() {
        stop();
        if (m_out >= 0) close(m_out);
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Reads the output until a whole line holding `marker` has come; false at the limit or its end.
    bool waitFor(const std::string& marker, std::chrono::milliseconds limit) {
        const TDeadline deadline = deadlineIn(limit);
        for (;;) {
            const size_t at = m_text.find(marker);
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
        kill(m_pid, SIGTERM);
        if (!lastWords.empty()) waitFor(lastWords, limit);
        if (waitEnd(deadline)) return m_status;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
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
        if (m_pid > 0) kill(m_pid, signal);
    }
    // The number written right after `marker` in the output (0 when absent).
    long numberAfter(const std::string& marker) const {
        const size_t at = m_text.find(marker);
        return at == std::string::npos ? 0 : std::atol(m_text.c_str() + at + marker.size());
    }
    const std::string& output() const { return m_text; }

private:
    // Waits for the process to end until `deadline` and collects its status; false while it runs.
    bool waitEnd(TDeadline deadline) {
        if (m_pid <= 0) return true;
        const int process = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        if (process < 0) return reap(WNOHANG);
        const bool ended = readableBy(process, deadline);
        close(process);
        return ended && reap(0);
    }
    // Collects the process's status when it has ended (waitpid with `flags`); false while it runs.
    bool reap(int flags) {
        int status = 0;
        const pid_t reaped = waitpid(m_pid, &status, flags);
        if (reaped == 0) return false;
        m_status = reaped == m_pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

    pid_t m_pid = -1;
    int m_status = -1;  // the exit status once it has ended
    int m_out = -1;
    std::string m_text;
};

}  // namespace hubtest
