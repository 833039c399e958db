// The processes of the instruction benchmark: a program started with its output in a file, read back
// for the line that says it is ready; a command run to its end. Header only; the benchmark's one thread.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace instrbench {

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Forks and runs `argv` with standard output and error in `log` (truncated); -1 when it cannot.
inline pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& log) {
    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (std::string& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    close(out);
    return pid;
}

// Runs `argv` to its end, its output in `log`; its exit status (128 + n when signal n ended it).
inline int run(const std::vector<std::string>& argv, const std::filesystem::path& log) {
    const pid_t pid = spawn(argv, log);
    if (pid < 0) return 127;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The processes started and not yet stopped, so that a run that gives up midway leaves none behind.
inline std::vector<pid_t>& runningChildren() {
    static std::vector<pid_t> pids;
    return pids;
}

// Ends every process still running (SIGTERM, then SIGKILL after a few seconds): the last thing a run
// that gives up does.
inline void stopChildren() {
    for (pid_t pid : runningChildren()) kill(pid, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (pid_t pid : runningChildren()) {
        while (waitpid(pid, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, WNOHANG);
    }
    runningChildren().clear();
}

class CProcess {
public:
    CProcess(const std::vector<std::string>& argv, std::filesystem::path log)
        : m_log(std::move(log)), m_pid(spawn(argv, m_log)) {
        if (m_pid > 0) runningChildren().push_back(m_pid);
    }
    ~CProcess() { stop(); }
    CProcess(const CProcess&) = delete;
    CProcess& operator=(const CProcess&) = delete;

    pid_t pid() const { return m_pid; }
    const std::filesystem::path& log() const { return m_log; }
    std::string output() const { return readFile(m_log); }

    // The number after `marker` in the output once it shows; -1 when the process ends or `limit` passes.
    long long waitForNumberAfter(const std::string& marker, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end && running()) {
            const std::string text = output();
            const size_t at = text.find(marker);
            if (at != std::string::npos && text.find('\n', at) != std::string::npos)
                return std::atoll(text.c_str() + at + marker.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    bool running() {
        if (m_pid <= 0) return false;
        int status = 0;
        // Ended, or already reaped (by stopChildren): never signalled again, whoever has its id now.
        const pid_t ended = waitpid(m_pid, &status, WNOHANG);
        if (ended == m_pid || (ended < 0 && errno == ECHILD)) {
            forget();
            return false;
        }
        return true;
    }
    // Sends `signal` and waits for the end (SIGKILL after `limit`).
    void stop(int signal = SIGTERM, std::chrono::seconds limit = std::chrono::seconds(120)) {
        if (!running()) return;
        kill(m_pid, signal);
        const auto end = std::chrono::steady_clock::now() + limit;
        while (running() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            forget();
        }
    }

private:
    void forget() {
        std::erase(runningChildren(), m_pid);
        m_pid = -1;
    }

    std::filesystem::path m_log;
    pid_t m_pid = -1;
};

}  // namespace instrbench
