// Test support: the console program (tools/browse) run once through the shell, its standard output,
// standard error (through a file) and exit status collected within a limit. Header-only; any test
// thread, one file per concurrent run.
#pragma once

#include <signal.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/process/childprocess.h"

namespace hubtest {

struct TConsoleRun {
    int status = -1;  // -1 also when it was still running at the limit (then stopped)
    std::string out, err;
};

// Runs `command` (a shell line) with its standard error sent to `errFile`.
inline TConsoleRun runConsole(const std::string& command, const std::string& errFile,
                              std::chrono::milliseconds limit = std::chrono::seconds(120)) {
    TConsoleRun run;
    // The whole line's standard error, not only its last command's.
    CChildProcess shell("/bin/sh", {"-c", "exec 2>" + errFile + "\n" + command});
    if (shell.waitExit(limit)) run.status = shell.exitStatus();
    run.out = shell.output();
    std::ifstream err(errFile);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    // Its standard error bypassed the child's output: read here for a sanitizer's report, and a program
    // of the line that crashed (the shell tells 128 + the signal) fails the test as well.
    reportSanitizerOutput("the console line [" + command + "]", run.err);
    const int signal = run.status > 128 ? run.status - 128 : 0;
    if (signal == SIGSEGV || signal == SIGABRT || signal == SIGBUS || signal == SIGILL || signal == SIGFPE)
        reportChildFault("the console line [" + command + "] died of signal " + std::to_string(signal) +
                         ":\n" + run.err.substr(run.err.size() > 4000 ? run.err.size() - 4000 : 0));
    return run;
}

}  // namespace hubtest
