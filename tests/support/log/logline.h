// Test support: splits a line of the platform's log file into its fields, so tests can check that
// every line is whole and carries its tag and level. Header-only; any test thread.
#pragma once

#include <string>

namespace hubtest {

// One log line split into its fields: "<date> <time> <pid> <tid> <tag> <level> <text>".
struct ParsedLine {
    std::string date, time, pid, tid, tag, level, text;
};

inline bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

inline bool parseLine(const std::string& line, ParsedLine* out) {
    std::string* fields[] = {&out->date, &out->time, &out->pid, &out->tid, &out->tag, &out->level};
    size_t pos = 0;
    for (std::string* f : fields) {
        size_t sp = line.find(' ', pos);
        if (sp == std::string::npos || sp == pos) return false;
        *f = line.substr(pos, sp - pos);
        pos = sp + 1;
    }
    out->text = line.substr(pos);
    if (out->date.size() != 10 || out->date[4] != '-' || out->date[7] != '-') return false;
    if (out->time.size() != 15 || out->time[2] != ':' || out->time[5] != ':' || out->time[8] != '.')
        return false;
    if (!allDigits(out->pid) || !allDigits(out->tid)) return false;
    std::string lvl = out->level[0] == '-' ? out->level.substr(1) : out->level;
    return allDigits(lvl);
}

}  // namespace hubtest
