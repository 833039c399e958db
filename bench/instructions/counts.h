// What the instruction benchmark reads and decides, apart from the processes it runs: a callgrind dump's
// instructions split into the TLS libraries (libssl, libcrypto) and the rest, strace's count of system
// calls, a cell's figures over rounds (their mean and spread), the budgets CI holds the cells to, and the
// verdict of one commit's counts against another's. Pure functions; any thread.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace instrbench {

// Instructions of one dump of one process.
struct TSplit {
    double tls = 0;   // in libssl and libcrypto
    double rest = 0;  // everywhere else (the program, its own libraries, libc, libstdc++, SQLite, ...)
    // Database connections opened or closed (calls of SQLite's open and close): what the platform does
    // when a thread first needs one, and 30 s of wall time after its last use (an idle expiry that under
    // callgrind, fifty times slower, lands on whichever browse runs then).
    int connections = 0;
    double total() const { return tls + rest; }
};

// The self cost ("Ir") of a callgrind dump's text, by the object (ob=) it was spent in, and the calls of
// SQLite's open and close it records; false with `error` when the text is not a dump of instructions.
bool readCallgrindDump(const std::string& text, TSplit& split, std::string& error);
// Whether an object's path names one of the TLS libraries.
bool isTlsLibrary(const std::string& objectPath);

// The number of system calls in the summary `strace -c` writes (its "total" row); -1 when there is none.
long long readStraceTotal(const std::string& text);

// The mean of `values` without their n/4 largest and n/4 smallest: a browse that paid for something
// once in a while (a timer's work, a cache refilled) does not move the figure of the others.
double trimmedMean(std::vector<double> values);

// One measured figure of a cell over the rounds.
struct TFigure {
    std::vector<double> rounds;
    double mean() const;
    // (max - min) / mean: how far apart the rounds are; 0 with fewer than two rounds.
    double spread() const;
};

// The figures of one cell (a road and a browse), per browse.
struct TCell {
    std::string road, browse;
    TFigure hostTls{}, hostRest{}, agentTls{}, agentRest{};
    TFigure hostCalls{}, agentCalls{};  // system calls; empty when not counted
};

// A cell's key in the rows and budget files: "<road>/<browse>".
std::string cellKey(const std::string& road, const std::string& browse);

// The rows file of one measurement: a line per cell, figure and round,
// "<road>\t<browse>\t<figure>\t<round>\t<value>", figures named as in kFigureNames.
inline constexpr const char* kFigureNames[] = {"host_tls",   "host_rest",  "agent_tls",
                                               "agent_rest", "host_calls", "agent_calls"};
std::string writeRows(const std::vector<TCell>& cells);
// The cells of a rows file, in their first appearance's order; false with `error` on a malformed line.
bool readRows(const std::string& text, std::vector<TCell>& cells, std::string& error);
// The figure of `cell` named `name` (one of kFigureNames); null for an unknown name.
TFigure* figureNamed(TCell& cell, const std::string& name);
const TFigure* figureNamed(const TCell& cell, const std::string& name);

// Budgets: instructions per browse a cell's figure may reach, by cell key and figure name. Their file
// holds "<road>\t<browse>\t<figure>\t<budget>" lines; '#' starts a comment.
using TBudgets = std::map<std::string, std::map<std::string, double>>;
bool readBudgets(const std::string& text, TBudgets& budgets, std::string& error);
// The budgets of `cells`: each figure named's mean with `headroom` added (0.005: half a per cent, for
// what one run of the processes differs from another's), those below `smallest` left out (a figure of a
// few thousand instructions moves by more than the tolerance from run to run, and costs nothing to speak
// of).
std::string writeBudgets(const std::vector<TCell>& cells, const std::vector<std::string>& figures,
                         double smallest = 0, double headroom = 0);
// One figure held to its budget, of a cell or of a road (its budgeted cells summed).
struct TBudgetCheck {
    std::string cell, figure;
    double measured = 0, budget = 0;
    bool within = true;
};
// Every budgeted figure of `cells` against `budgets`, a check per cell and figure (over its budget by more
// than `cellTolerance` is a failure), then one per road and figure: the road's cells summed against their
// budgets summed, held to `tolerance`. A cell's count moves by up to a per cent from run to run (the
// heap's work depends on how the threads met); the sum of a road's five browses moves by a fraction of
// that, so a regression of the browse path shows there first. A budgeted cell or figure that was not
// measured is a failure (measured 0), as is a measured cell without a budget, and either fails its road.
std::vector<TBudgetCheck> checkBudgets(const std::vector<TCell>& cells, const TBudgets& budgets,
                                       double tolerance, double cellTolerance);

// New against old for one figure of a cell, round by round (round i of each side).
enum class EVerdict { kCheaper, kDearer, kLevel, kUnsettled };
struct TComparison {
    std::vector<double> ratios;  // new/old per round
    double spread = 0;           // the larger of the two sides' spreads
    EVerdict verdict = EVerdict::kLevel;
};
// "Cheaper" only when new/old is below 1 - margin in every round (at least two) and both sides' spreads
// are under `maxSpread`; "dearer" the same above 1 + margin; "unsettled" when a spread reaches maxSpread
// or fewer than two rounds were measured; "level" otherwise.
TComparison compareFigure(const TFigure& newer, const TFigure& older, double margin = 0.01,
                          double maxSpread = 0.005);
const char* verdictName(EVerdict verdict);

}  // namespace instrbench
