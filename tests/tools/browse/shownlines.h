// Test support: whether a command printed what a document shows of it: its lines, in order, each whole, on
// standard output or standard error, where "..." stands for lines left out (of either stream) and a line
// ending in "..." for its beginning. Nothing is left out without a "...", first and last lines included.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace hubtest {

// "" when `shown` is what was printed, else the first line that is not.
inline std::string shownLinesProblem(const std::vector<std::string>& shown, const std::string& out,
                                     const std::string& err) {
    std::vector<std::string> printed[2];
    for (int s = 0; s < 2; ++s) {
        std::istringstream in(s ? err : out);
        for (std::string line; std::getline(in, line);) printed[s].push_back(line);
    }
    size_t next[2] = {0, 0};
    bool gap[2] = {false, false};
    auto is = [](const std::string& line, const std::string& want) {
        return want.size() > 3 && want.ends_with("...") ? line.starts_with(want.substr(0, want.size() - 3))
                                                        : line == want;
    };
    for (const std::string& want : shown) {
        if (want == "...") gap[0] = gap[1] = true;
        bool found = want == "...";
        // The next line of a stream first, then one further on where a "..." allows it.
        for (int pass = 0; pass < 2 && !found; ++pass)
            for (int s = 0; s < 2 && !found; ++s)
                for (size_t n = next[s]; n < printed[s].size() && (n == next[s] || (pass && gap[s])); ++n)
                    if (is(printed[s][n], want)) {
                        next[s] = n + 1;
                        gap[s] = false;
                        found = true;
                        break;
                    }
        if (!found) return "shows [" + want + "], which is not the next line printed";
    }
    for (int s = 0; s < 2; ++s)
        if (!gap[s] && next[s] < printed[s].size()) return "leaves out [" + printed[s][next[s]] + "] without ...";
    return "";
}

}  // namespace hubtest
