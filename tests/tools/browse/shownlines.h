// Test support: whether a command printed what a document shows of it: its lines in order, each whole, on
// standard output or standard error; "..." stands for lines left out (of either stream), a line ending in
// "..." for its beginning. Nothing is left out without a "...", first and last lines included. Header-only.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace hubtest {

// "" when `shown` is what was printed, else the first line that is not.
inline std::string shownLinesProblem(const std::vector<std::string>& shown, const std::string& out,
                                     const std::string& err) {
    std::vector<std::string> printed[2];
    size_t next[2] = {0, 0};
    bool gap[2] = {false, false};
    for (int s = 0; s < 2; ++s)
        for (std::istringstream in(s ? err : out); std::getline(in, printed[s].emplace_back());) {
        }
    for (std::vector<std::string>& lines : printed) lines.pop_back();
    for (const std::string& want : shown) {
        if (want == "...") gap[0] = gap[1] = true;
        const bool prefix = want.size() > 3 && want.ends_with("...");
        bool found = want == "...";
        // The next line of a stream first, then one further on where a "..." allows it.
        for (size_t pass = 0, s = 0, n = 0; pass < 2 && !found; s == 1 ? (++pass, s = 0) : ++s)
            for (n = next[s]; !found && n < printed[s].size() && (n == next[s] || (pass && gap[s])); ++n)
                if (prefix ? printed[s][n].starts_with(want.substr(0, want.size() - 3))
                           : printed[s][n] == want)
                    found = true, next[s] = n + 1, gap[s] = false;
        if (!found) return "shows [" + want + "], which is not the next line printed";
    }
    for (int s = 0; s < 2; ++s)
        if (!gap[s] && next[s] < printed[s].size())
            return "leaves out [" + printed[s][next[s]] + "] without ...";
    return "";
}

}  // namespace hubtest
