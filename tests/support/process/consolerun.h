// Test support: the console program (tools/browse) run once through the shell, its standard output,
// standard error (through a file) and exit status collected. Header-only; any test thread, one file
// per concurrent run.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace hubtest {

struct TConsoleRun {
    int status = -1;
    std::string out, err;
};

// Runs `command` (a shell line) with its standard error sent to `errFile`.
inline TConsoleRun runConsole(const std::string& command, const std::string& errFile) {
    TConsoleRun run;
    FILE* pipe = popen((command + " 2>" + errFile).c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errFile);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return run;
}

}  // namespace hubtest
