// Test support: the one parser of a line of the platform's log file, so tests can check that every line
// is whole, carries its own prefix (date, time, ids, tag and level) and holds nothing a caller could
// have made begin or imitate another line: its tag and text in the log's escaped form (logtext.h),
// which the parser undoes. Header-only; any test thread.
#pragma once

#include <string>

#include "platform/log/logtext.h"

namespace hubtest {

// One log line split into its fields: "<date> <time> <pid> <tid> <tag> <level> <text>"; `original` is
// the text as it was handed to the log (its escapes undone).
struct ParsedLine {
    std::string date, time, pid, tid, tag, level, text, original;
};

inline bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Whether `s` is `pattern` with each '9' a digit ("9999-99-99").
inline bool digitsAt(const std::string& s, const char* pattern) {
    size_t n = 0;
    for (; pattern[n] != '\0'; ++n)
        if (n >= s.size() || (pattern[n] == '9' ? s[n] < '0' || s[n] > '9' : s[n] != pattern[n]))
            return false;
    return n == s.size();
}

// False when `line` (without its line break) is not one whole line of the log's form.
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
    if (!digitsAt(out->date, "9999-99-99") || !digitsAt(out->time, "99:99:99.999999")) return false;
    if (!allDigits(out->pid) || !allDigits(out->tid)) return false;
    std::string word;
    if (!logtext::unescape(out->tag, word, logtext::EForm::kWord)) return false;
    if (!logtext::unescape(out->text, out->original)) return false;
    std::string lvl = out->level[0] == '-' ? out->level.substr(1) : out->level;
    return allDigits(lvl);
}

}  // namespace hubtest
