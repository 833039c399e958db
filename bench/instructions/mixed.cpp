#include "bench/instructions/mixed.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string_view>

namespace instrbench {

TRotationStep rotationStep(int i, int roads, int browses) {
    return {i % roads, i % browses};
}

double plainMean(const std::vector<double>& values) {
    if (values.empty()) return 0;
    double sum = 0;
    for (double v : values) sum += v;
    return sum / static_cast<double>(values.size());
}

TMixedSummary summarise(const std::vector<TMixedBrowse>& browses, const std::vector<TCell>& cellNames) {
    TMixedSummary s;
    s.cells = cellNames;
    for (TCell& c : s.cells) c = TCell{.road = c.road, .browse = c.browse};
    std::vector<double> all, calls;
    for (const TMixedBrowse& b : browses) {
        const size_t at = static_cast<size_t>(b.browse) * 2 + static_cast<size_t>(b.road);
        if (at >= s.cells.size()) continue;
        TCell& c = s.cells[at];
        if (b.hostCalls >= 0) c.hostCalls.rounds.push_back(b.hostCalls), calls.push_back(b.hostCalls);
        if (b.agentCalls >= 0) c.agentCalls.rounds.push_back(b.agentCalls);
        if (!b.counted) continue;
        c.hostTls.rounds.push_back(b.host.tls);
        c.hostRest.rounds.push_back(b.host.rest);
        c.agentTls.rounds.push_back(b.agent.tls);
        c.agentRest.rounds.push_back(b.agent.rest);
        all.push_back(b.host.rest);
        if (b.host.rest > s.hostRestDearest) {
            s.hostRestDearest = b.host.rest;
            s.dearestCell = c.road + ", " + c.browse;
        }
    }
    s.hostRestMean = plainMean(all);
    if (!calls.empty()) s.hostCallsMean = plainMean(calls);
    return s;
}

namespace {

bool isWriteCall(std::string_view name) {
    return name == "write" || name == "writev" || name == "pwrite64" || name == "pwritev" ||
           name == "pwritev2";
}

// The path strace -y gives the first argument, "<fd><path>" (empty when it gives none).
std::string_view firstArgumentPath(std::string_view arguments) {
    size_t i = 0;
    while (i < arguments.size() && std::isdigit(static_cast<unsigned char>(arguments[i]))) ++i;
    if (i == 0 || i >= arguments.size() || arguments[i] != '<') return {};
    const size_t end = arguments.find('>', i);
    if (end == std::string_view::npos) return {};
    return arguments.substr(i + 1, end - i - 1);
}

bool isLogFile(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;  // a socket, a pipe, an anonymous file
    const size_t slash = path.rfind('/');
    return path.substr(slash + 1).find(".log") != std::string_view::npos;
}

}  // namespace

TTraceCalls readStraceTrace(const std::string& text) {
    TTraceCalls calls;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::string_view l = line;
        // "<pid> " when -f follows several threads.
        size_t i = 0;
        while (i < l.size() && std::isdigit(static_cast<unsigned char>(l[i]))) ++i;
        if (i > 0 && i < l.size() && l[i] == ' ') l.remove_prefix(i + 1);
        while (!l.empty() && l.front() == ' ') l.remove_prefix(1);
        // "<... name resumed>" finishes a call counted where it started; "---" a signal, "+++" an exit.
        if (l.empty() || l.front() == '<' || l.front() == '-' || l.front() == '+') continue;
        const size_t open = l.find('(');
        if (open == std::string_view::npos || open == 0) continue;
        const std::string_view name = l.substr(0, open);
        if (!std::all_of(name.begin(), name.end(),
                         [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }))
            continue;
        ++calls.all;
        if (isWriteCall(name) && isLogFile(firstArgumentPath(l.substr(open + 1)))) ++calls.logWrites;
    }
    return calls;
}

void printMixed(const TMixedSummary& s, int rotations, double goal, double ceiling) {
    std::printf(
        "\nthe mixed order: the ten cells in rotation (%d rotation(s) a round; no browse after one of its "
        "own kind), each browse counted;\ninstructions per browse in millions, the mean of the cell's "
        "browses and its dearest; system calls without the log's writes\n",
        rotations);
    std::printf("%-13s %-28s %7s %7s %7s | %7s %7s | %6s\n", "ROAD", "BROWSE", "own", "dearest", "TLS",
                "AGENT", "own", "host");
    auto most = [](const TFigure& f) {
        double m = 0;
        for (double v : f.rounds) m = std::max(m, v);
        return m;
    };
    for (const TCell& c : s.cells) {
        if (c.hostRest.rounds.empty() && c.hostCalls.rounds.empty()) continue;
        char calls[32] = "-";
        if (!c.hostCalls.rounds.empty()) std::snprintf(calls, sizeof calls, "%.1f", c.hostCalls.mean());
        std::printf("%-13s %-28s %7.3f %7.3f %7.3f | %7.3f %7.3f | %6s\n", c.road.c_str(), c.browse.c_str(),
                    c.hostRest.mean() / 1e6, most(c.hostRest) / 1e6, c.hostTls.mean() / 1e6,
                    (c.agentRest.mean() + c.agentTls.mean()) / 1e6, c.agentRest.mean() / 1e6, calls);
    }
    std::printf("\n");
    if (s.hostRestDearest > 0) {
        std::printf(
            "figure: mixed order: host's own instructions per browse in millions, the mean of every browse "
            "= %.3f (goal: within %g)\n",
            s.hostRestMean / 1e6, goal);
        std::printf(
            "figure: mixed order: host's own instructions of the dearest browse in millions = %.3f (goal: "
            "within %g)\n",
            s.hostRestDearest / 1e6, ceiling);
        std::printf("the mixed order's dearest browse: %s\n", s.dearestCell.c_str());
    }
    if (s.hostCallsMean >= 0)
        std::printf(
            "figure: mixed order: host system calls per browse without the log's writes, the mean of every "
            "browse = %.1f (information)\n",
            s.hostCallsMean);
}

}  // namespace instrbench
