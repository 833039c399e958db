// Test support: how many read(2)- and write(2)-like system calls this process has made, from its own
// /proc/self/io, for tests that check work is done without a call per item. Header-only; any thread.
#pragma once

#include <fstream>
#include <string>

namespace hubtest {

// The count under `key` ("syscr:" reads, "syscw:" writes); -1 when the kernel does not tell.
inline long long ioCalls(const std::string& key) {
    std::ifstream in("/proc/self/io");
    std::string name;
    long long value = 0;
    while (in >> name >> value)
        if (name == key) return value;
    return -1;
}

}  // namespace hubtest
