// The instruction benchmark's mixed order and its system calls without the log's lines: the ten cells in
// rotation as consoles really arrive (no browse follows one of its own kind, both roads used in turn), each
// browse counted; and a full strace of a browse read back as its calls, less the writes to log files. Pure
// functions over what the driver (instructions.cpp) counts; any thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bench/instructions/counts.h"

namespace instrbench {

// The cell of the rotation's i-th browse: roads alternate and browses step by one, so that over ten
// browses every cell comes once and no browse follows one of its own road and kind.
struct TRotationStep {
    int road = 0, browse = 0;
};
TRotationStep rotationStep(int i, int roads, int browses);

// One counted browse of the mixed order.
struct TMixedBrowse {
    int road = 0, browse = 0;
    bool counted = true;  // its instructions (false: a browse of the natively run processes)
    TSplit host{}, agent{};
    double hostCalls = -1, agentCalls = -1;  // without the log's writes; -1 when not counted
};

// The mixed order's figures: per cell, the mean of its browses; over every browse, the mean and the
// dearest (by the host's own).
struct TMixedSummary {
    std::vector<TCell> cells;  // each figure's rounds: the cell's browses, one value each
    double hostRestMean = 0, hostRestDearest = 0;
    std::string dearestCell;
    double hostCallsMean = -1;  // of the browses whose calls were counted
};
TMixedSummary summarise(const std::vector<TMixedBrowse>& browses, const std::vector<TCell>& cellNames);

// The mean of every value (0 for none): the figure the goals are judged on, beside a trimmed mean.
double plainMean(const std::vector<double>& values);

// System calls of a trace written by `strace -f -y -o` (one line per call; a call a thread left unfinished
// is counted once, at its start): all of them, and the writes whose descriptor is a log file (a path
// whose name has ".log" in it), which the log's own line-at-a-time writes make vary with what is logged.
struct TTraceCalls {
    long long all = 0, logWrites = 0;
    long long counted() const { return all - logWrites; }
};
TTraceCalls readStraceTrace(const std::string& text);

// Prints the mixed order's table and its "figure:" lines (the goal: the host's own at most `goal` million
// per browse on average, and no browse over `ceiling` million).
void printMixed(const TMixedSummary& s, int rotations, double goal, double ceiling);

}  // namespace instrbench
