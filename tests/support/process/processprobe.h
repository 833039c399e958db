// Test support: what a test can see of a process from outside its code: its thread count, what another
// process holds (threads, descriptors, listening and connected sockets, from /proc) and whether a
// loopback port accepts connections. Header-only; any test thread.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace hubtest {

// The ids of this process's threads now. A check that no thread was left compares these: a thread of
// earlier work that ends meanwhile does not hide one left over.
inline std::set<int> threadIds() {
    std::set<int> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
        closedir(dir);
    }
    return ids;
}
// Threads of this process (entries of /proc/self/task).
inline int threadCount() {
    return static_cast<int>(threadIds().size());
}
// Threads of this process now that were not among `before`.
inline size_t threadsBeyond(const std::set<int>& before) {
    size_t n = 0;
    for (int id : threadIds()) n += before.count(id) == 0;
    return n;
}

// Threads beyond `before` once the ones just joined have left /proc: the kernel wakes a joiner before it
// reaps the thread it joined, so a thread's entry may outlive its join by a moment on a busy machine. A
// thread still running stays counted (two seconds is far beyond that moment).
inline size_t threadsBeyondOnceJoined(const std::set<int>& before) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    size_t n = threadsBeyond(before);
    while (n > 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        n = threadsBeyond(before);
    }
    return n;
}

// Memory of process `pid` in kB, from /proc: its peak resident set (VmHWM) and its resident set now
// (VmRSS); -1 when it cannot be read.
inline long long processMemoryKb(int pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string key = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::atoll(line.c_str() + key.size());
    return -1;
}
inline long long processPeakKb(int pid) {
    return processMemoryKb(pid, "VmHWM");
}
inline long long processResidentKb(int pid) {
    return processMemoryKb(pid, "VmRSS");
}

// What process `pid` holds: threads, open descriptors, and of its TCP sockets those listening and those
// connected (but for those accepted on `servedPort`), with the connected ones' inodes: a session still
// there at a later look is the same socket. Apart, the connected sockets whose peer has closed them and
// this process has not yet: a kept session its peer ended stays so until the process next looks at it.
struct TProcessHold {
    int threads = 0, descriptors = 0, listeners = 0, sessions = 0, closedByPeer = 0;
    std::set<std::string> sessionSockets;
};
inline TProcessHold processHold(int pid, int servedPort = 0) {
    namespace fs = std::filesystem;
    const fs::path proc = "/proc/" + std::to_string(pid);
    TProcessHold h;
    std::error_code ec;
    for (fs::directory_iterator it(proc / "task", ec), end; !ec && it != end; it.increment(ec)) ++h.threads;
    std::set<std::string> sockets;  // inodes
    for (fs::directory_iterator it(proc / "fd", ec), end; !ec && it != end; it.increment(ec)) {
        ++h.descriptors;
        const std::string target = fs::read_symlink(it->path(), ec).string();
        if (!ec && target.starts_with("socket:[")) sockets.insert(target.substr(8, target.size() - 9));
    }
    for (const char* table : {"net/tcp", "net/tcp6"}) {
        std::ifstream in(proc / table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
                inode;
            if (!sockets.contains(inode)) continue;
            const int localPort = std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
            h.listeners += state == "0A";
            h.closedByPeer += state == "08";
            if (state == "01" && (servedPort == 0 || localPort != servedPort)) h.sessionSockets.insert(inode);
        }
    }
    h.sessions = static_cast<int>(h.sessionSockets.size());
    return h;
}

// True when 127.0.0.1:port accepts a connection.
inline bool canConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace hubtest
