// Test support: a program of the build run as a child process, its standard output and error read by
// the test until a marker shows, ended with SIGTERM when the object goes. Header-only; one test thread.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/tls/testpki.h"

namespace hubtest {

class CChildProcess {
public:
    // The process id while it runs (-1 once it was stopped).
    pid_t pid() const { return m_pid; }

    // `program` relative to the build folder (HUB_BINARY_DIR, which hub_test sets).
    CChildProcess(const std::string& program, std::vector<std::string> args) {
        withCredentials(program, args);
        const char* binaries = std::getenv("HUB_BINARY_DIR");
        const std::string path = std::string(binaries ? binaries : ".") + "/" + program;
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
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) close(m_out);
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Reads the output until a whole line holding `marker` has come; false at the limit or its end.
    bool waitFor(const std::string& marker, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const size_t at = m_text.find(marker);
            if (at != std::string::npos && m_text.find('\n', at) != std::string::npos) return true;
            if (!readSome(deadline)) return false;
        }
    }
    // Stops the process with SIGTERM, reads its output until `lastWords` (if given), and waits for it:
    // its exit status, -1 when it did not exit normally.
    int stop(const std::string& lastWords = std::string()) {
        if (m_pid <= 0) return -1;
        kill(m_pid, SIGTERM);
        if (!lastWords.empty()) waitFor(lastWords, std::chrono::seconds(30));
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
        if (!folder.empty()) args.insert(args.end(), {"--tls", folder});
    }
    // Reads the output until the process closes it and waits for the process to end, both within
    // `limit` (no polling: the process's own descriptor tells when it ends); false when it still runs.
    bool waitExit(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_out >= 0 && readSome(deadline)) {
        }
        if (m_pid <= 0) return true;
        const int process = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        if (process < 0) return !alive();  // already reaped
        pollfd p{process, POLLIN, 0};
        const bool ended = poll(&p, 1, static_cast<int>(leftUntil(deadline).count())) == 1;
        close(process);
        if (!ended) return false;
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return true;
    }
    bool alive() const { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }
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
    static std::chrono::milliseconds leftUntil(std::chrono::steady_clock::time_point deadline) {
        return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                          deadline - std::chrono::steady_clock::now()));
    }
    // Appends what the output holds, waiting for it until `deadline`; false at the deadline or its end.
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        const auto left = leftUntil(deadline);
        pollfd p{m_out, POLLIN, 0};
        if (m_out < 0 || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[4096];
        const ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n <= 0) return false;
        m_text.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_text;
};

}  // namespace hubtest
