#include "bench/instructions/counts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

namespace instrbench {

namespace {

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        out.push_back(line.substr(from, tab - from));
    out.push_back(line.substr(from));
    return out;
}

bool number(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end != text.c_str() && *end == '\0' && std::isfinite(value);
}

// The name a compressed "ob=(n) name" or "ob=(n)" line gives (of an object, or a function's "fn="),
// keeping the names of earlier ids.
std::string objectName(const std::string& value, std::map<std::string, std::string>& named) {
    if (value.empty() || value[0] != '(') return value;
    const size_t close = value.find(')');
    if (close == std::string::npos) return value;
    const std::string id = value.substr(0, close + 1);
    std::string name = value.substr(close + 1);
    if (!name.empty() && name[0] == ' ') name.erase(0, 1);
    if (name.empty()) return named[id];
    named[id] = name;
    return name;
}

}  // namespace

bool isTlsLibrary(const std::string& objectPath) {
    const std::string file = objectPath.substr(objectPath.find_last_of('/') + 1);
    return startsWith(file, "libssl.so") || startsWith(file, "libcrypto.so");
}

bool readCallgrindDump(const std::string& text, TSplit& split, std::string& error) {
    split = TSplit();
    std::istringstream in(text);
    std::map<std::string, std::string> named, functions;
    std::string object, callee;
    size_t positions = 1, irAt = std::string::npos;
    bool skipNext = false, haveSummary = false;
    double summary = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const char c = line[0];
        const bool cost = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '*';
        if (cost) {
            if (skipNext) {  // a call's inclusive cost: the callee's own lines count it
                skipNext = false;
                continue;
            }
            if (irAt == std::string::npos) {
                error = "a cost line before the dump names its events";
                return false;
            }
            const std::vector<std::string> w = words(line);
            double ir = 0;
            if (w.size() > positions + irAt && !number(w[positions + irAt], ir)) {
                error = "a cost line that is not numbers: " + line;
                return false;
            }
            (isTlsLibrary(object) ? split.tls : split.rest) += ir;
            continue;
        }
        skipNext = false;
        if (startsWith(line, "ob=")) {
            object = objectName(line.substr(3), named);
        } else if (startsWith(line, "cob=")) {
            objectName(line.substr(4), named);  // names an id for later lines
        } else if (startsWith(line, "fn=")) {
            objectName(line.substr(3), functions);
        } else if (startsWith(line, "cfn=")) {
            callee = objectName(line.substr(4), functions);
        } else if (startsWith(line, "calls=")) {
            skipNext = true;
            if (callee == "sqlite3_open_v2" || callee == "sqlite3_open" || callee == "sqlite3_close_v2" ||
                callee == "sqlite3_close")
                split.connections += std::max(1, std::atoi(line.c_str() + 6));
        } else if (startsWith(line, "positions:")) {
            positions = words(line.substr(10)).size();
        } else if (startsWith(line, "events:")) {
            const std::vector<std::string> events = words(line.substr(7));
            const auto it = std::find(events.begin(), events.end(), "Ir");
            if (it == events.end()) {
                error = "the dump does not count instructions (Ir)";
                return false;
            }
            irAt = static_cast<size_t>(it - events.begin());
        } else if (startsWith(line, "summary:") || startsWith(line, "totals:")) {
            const std::vector<std::string> w = words(line.substr(line.find(':') + 1));
            if (irAt != std::string::npos && w.size() > irAt && number(w[irAt], summary)) haveSummary = true;
        }
    }
    if (irAt == std::string::npos) {
        error = "not a callgrind dump (no events line)";
        return false;
    }
    // The self costs add up to the dump's own total, or the dump was read wrongly (or cut short).
    if (haveSummary && std::fabs(summary - split.total()) > 0.5) {
        char text[160];
        std::snprintf(text, sizeof text, "the dump's lines add up to %.0f, its summary says %.0f",
                      split.total(), summary);
        error = text;
        return false;
    }
    return true;
}

long long readStraceTotal(const std::string& text) {
    std::istringstream in(text);
    long long total = -1;
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> w = words(line);
        // "100.00  0.001  3  345  [errors]  total": the calls are the fourth column.
        if (w.size() >= 5 && w.back() == "total") total = std::atoll(w[3].c_str());
    }
    return total;
}

double trimmedMean(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t cut = values.size() / 4;
    double sum = 0;
    for (size_t i = cut; i < values.size() - cut; ++i) sum += values[i];
    return sum / static_cast<double>(values.size() - 2 * cut);
}

double TFigure::mean() const {
    if (rounds.empty()) return 0;
    double sum = 0;
    for (double r : rounds) sum += r;
    return sum / static_cast<double>(rounds.size());
}

double TFigure::spread() const {
    if (rounds.size() < 2) return 0;
    const auto [lo, hi] = std::minmax_element(rounds.begin(), rounds.end());
    const double m = mean();
    return m > 0 ? (*hi - *lo) / m : 0;
}

std::string cellKey(const std::string& road, const std::string& browse) {
    return road + "/" + browse;
}

TFigure* figureNamed(TCell& cell, const std::string& name) {
    TFigure* figures[] = {&cell.hostTls,   &cell.hostRest,  &cell.agentTls,
                          &cell.agentRest, &cell.hostCalls, &cell.agentCalls};
    for (size_t i = 0; i < std::size(kFigureNames); ++i)
        if (name == kFigureNames[i]) return figures[i];
    return nullptr;
}

const TFigure* figureNamed(const TCell& cell, const std::string& name) {
    return figureNamed(const_cast<TCell&>(cell), name);
}

std::string writeRows(const std::vector<TCell>& cells) {
    std::string out;
    char value[64];
    for (const TCell& cell : cells)
        for (const char* name : kFigureNames) {
            const TFigure* f = figureNamed(cell, name);
            for (size_t r = 0; r < f->rounds.size(); ++r) {
                std::snprintf(value, sizeof value, "%.1f", f->rounds[r]);
                out += cell.road + "\t" + cell.browse + "\t" + name + "\t" + std::to_string(r + 1) + "\t" +
                       value + "\n";
            }
        }
    return out;
}

bool readRows(const std::string& text, std::vector<TCell>& cells, std::string& error) {
    cells.clear();
    std::istringstream in(text);
    std::map<std::string, size_t> at;
    int lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = fields(line);
        double round = 0, value = 0;
        if (f.size() != 5 || !number(f[3], round) || round < 1 || !number(f[4], value)) {
            error = "line " + std::to_string(lineNumber) + " is not <road> <browse> <figure> <round> <value>";
            return false;
        }
        const std::string key = cellKey(f[0], f[1]);
        if (!at.contains(key)) {
            at[key] = cells.size();
            cells.push_back({.road = f[0], .browse = f[1]});
        }
        TFigure* figure = figureNamed(cells[at[key]], f[2]);
        if (figure == nullptr) {
            error = "line " + std::to_string(lineNumber) + " names no figure: " + f[2];
            return false;
        }
        const size_t r = static_cast<size_t>(round);
        if (figure->rounds.size() < r) figure->rounds.resize(r);
        figure->rounds[r - 1] = value;
    }
    return true;
}

bool readBudgets(const std::string& text, TBudgets& budgets, std::string& error) {
    budgets.clear();
    std::istringstream in(text);
    int lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = fields(line);
        double budget = 0;
        TCell probe;
        if (f.size() != 4 || !number(f[3], budget) || budget <= 0 || figureNamed(probe, f[2]) == nullptr) {
            error = "budget line " + std::to_string(lineNumber) +
                    " is not <road> <browse> <figure> <instructions per browse>";
            return false;
        }
        budgets[cellKey(f[0], f[1])][f[2]] = budget;
    }
    return true;
}

std::string writeBudgets(const std::vector<TCell>& cells, const std::vector<std::string>& figures,
                         double smallest, double headroom) {
    std::string out;
    char value[64];
    for (const TCell& cell : cells)
        for (const std::string& name : figures) {
            const TFigure* f = figureNamed(cell, name);
            if (f == nullptr || f->rounds.empty() || f->mean() < smallest) continue;
            std::snprintf(value, sizeof value, "%.0f", f->mean() * (1 + headroom));
            out += cell.road + "\t" + cell.browse + "\t" + name + "\t" + value + "\n";
        }
    return out;
}

std::vector<TBudgetCheck> checkBudgets(const std::vector<TCell>& cells, const TBudgets& budgets,
                                       double tolerance, double cellTolerance) {
    std::vector<TBudgetCheck> checks, roads;
    std::set<std::string> measured;
    // Per road and figure: the budgets and the measures of its budgeted cells, summed.
    std::map<std::pair<std::string, std::string>, std::pair<double, double>> sums;
    bool complete = true;  // every budgeted figure was measured, every measured cell budgeted
    for (const TCell& cell : cells) {
        const std::string key = cellKey(cell.road, cell.browse);
        measured.insert(key);
        const auto it = budgets.find(key);
        if (it == budgets.end()) {
            checks.push_back({key, "(no budget)", 0, 0, false});
            complete = false;
            continue;
        }
        for (const auto& [name, budget] : it->second) {
            const TFigure* f = figureNamed(cell, name);
            const double value = f && !f->rounds.empty() ? f->mean() : 0;
            checks.push_back({key, name, value, budget, value > 0 && value <= budget * (1 + cellTolerance)});
            complete = complete && value > 0;
            auto& [spent, allowed] = sums[{cell.road, name}];
            spent += value;
            allowed += budget;
        }
    }
    for (const auto& [key, figures] : budgets)
        if (!measured.contains(key))
            for (const auto& [name, budget] : figures) {
                checks.push_back({key, name, 0, budget, false});
                complete = false;
            }
    for (const auto& [road, sum] : sums)
        roads.push_back({road.first + " (every browse)", road.second, sum.first, sum.second,
                         complete && sum.first <= sum.second * (1 + tolerance)});
    checks.insert(checks.end(), roads.begin(), roads.end());
    return checks;
}

TComparison compareFigure(const TFigure& newer, const TFigure& older, double margin, double maxSpread) {
    TComparison c;
    const size_t n = std::min(newer.rounds.size(), older.rounds.size());
    for (size_t i = 0; i < n; ++i)
        c.ratios.push_back(older.rounds[i] > 0 ? newer.rounds[i] / older.rounds[i] : 0);
    c.spread = std::max(newer.spread(), older.spread());
    if (n < 2 || c.spread >= maxSpread) {
        c.verdict = EVerdict::kUnsettled;
        return c;
    }
    const bool cheaper =
        std::all_of(c.ratios.begin(), c.ratios.end(), [&](double r) { return r < 1 - margin; });
    const bool dearer =
        std::all_of(c.ratios.begin(), c.ratios.end(), [&](double r) { return r > 1 + margin; });
    c.verdict = cheaper ? EVerdict::kCheaper : dearer ? EVerdict::kDearer : EVerdict::kLevel;
    return c;
}

const char* verdictName(EVerdict verdict) {
    switch (verdict) {
        case EVerdict::kCheaper:
            return "cheaper";
        case EVerdict::kDearer:
            return "DEARER";
        case EVerdict::kUnsettled:
            return "unsettled";
        case EVerdict::kLevel:
            break;
    }
    return "level";
}

}  // namespace instrbench
