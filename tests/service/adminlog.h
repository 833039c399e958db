// Test support of the administration-thread tests: the lines the process's default log holds (in the
// process's log folder, hubtest::processLogDir), so a test can check what a job logged after a mark.
// Header-only; the test's thread.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "platform/log/evdebug.h"
#include "tests/support/log/logline.h"

namespace adminlog {

inline std::vector<std::string> allLines() {
    std::ifstream in(EvDebugFileInstance::defaultInstance()->filePath());
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

inline size_t size() {
    return allLines().size();
}

// "<tag> <text>" of every whole line after the first `mark` whose tag starts with `tagPrefix`.
inline std::vector<std::string> linesSince(size_t mark, const std::string& tagPrefix) {
    std::vector<std::string> all = allLines(), out;
    for (size_t k = mark; k < all.size(); ++k) {
        hubtest::ParsedLine p;
        if (hubtest::parseLine(all[k], &p) && p.tag.rfind(tagPrefix, 0) == 0)
            out.push_back(p.tag + " " + p.text);
    }
    return out;
}

}  // namespace adminlog
