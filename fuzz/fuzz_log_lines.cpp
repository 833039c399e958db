// Fuzzes the log's line writer with what a caller can put in a line: the input is split at NUL bytes into
// a tag, a function name, two texts and a peer's name. They are written through the real writer (a line
// with its function, lines made together, and an outsider's lines, one of them saying what was left out
// and by whom), and the file must then hold exactly the lines written, each parsing as one line of its
// own whose fields give back what was handed in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzzscratch.h"
#include "platform/log/evdebug.h"
#include "platform/log/peerlog.h"
#include "platform/threads/hubclock.h"
#include "tests/support/log/logline.h"

namespace {

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// One format for an outsider's lines, so that they are counted as one kind.
void peerLine(EvDebug& log, const std::string& text) {
    log.debugLvl(0, "%s", text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzscratch::keepLogsPrivate();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> fields(1);
    for (size_t n = 0; n < size; ++n) {
        if (data[n] == 0 && fields.size() < 5)
            fields.emplace_back();
        else if (data[n] != 0)
            fields.back() += static_cast<char>(data[n]);
    }
    fields.resize(5);
    const std::string &tag = fields[0], &function = fields[1], &text = fields[2], &more = fields[3],
                      &peer = fields[4];

    CHubManualClock clock;
    EvDebugFileInstance instance(clock);  // a fresh file each run: the last instance on a path closes it
    EvDebug log(&instance);
    log.initialize(1, 0, true, "fuzz-log-lines.log");
    log.setPrefixMessage(tag.c_str());
    std::vector<std::string> expected{"log opened"};  // the start of each line's original text
    log.DebugLvl(function.c_str(), 0, "%s", text.c_str());
    expected.push_back((function.empty() ? "" : function + ": ") + trimmed(text));
    log.debugLines(0, {text, more});
    expected.push_back(trimmed(text));
    expected.push_back(trimmed(more));
    if (!peer.empty()) {
        // A burst of one line: the second is left out, and the first of the next window says so.
        zylog::setPeerLineLimits(1, 1);
        zylog::CPeerScope scope(peer, false);
        peerLine(log, text);
        peerLine(log, text);
        clock.advance(std::chrono::seconds(2));
        peerLine(log, more);
        // Cut, an outsider's line keeps at least a quarter of its bound.
        expected.push_back(trimmed(text).substr(0, zylog::kMaxPeerLineBytes / 4));
        expected.push_back(trimmed(more).substr(0, zylog::kMaxPeerLineBytes / 4));
    }

    std::ifstream in(instance.filePath(), std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.empty() || file.back() != '\n') abort();
    size_t at = 0, line = 0;
    const std::string shownTag = tag.empty() ? "-" : tag.substr(0, 100);
    for (size_t end; (end = file.find('\n', at)) != std::string::npos; at = end + 1, ++line) {
        hubtest::ParsedLine parsed;
        if (line >= expected.size() || !hubtest::parseLine(file.substr(at, end - at), &parsed)) abort();
        std::string shown;
        if (line > 0 && (!logtext::unescape(parsed.tag, shown, logtext::EForm::kWord) || shown != shownTag))
            abort();
        // An own line is written whole (these are short); an outsider's starts as it was handed in.
        if (parsed.original.rfind(expected[line], 0) != 0) abort();
        if (line > 0 && line < 4 && parsed.original != expected[line]) abort();
        if (line == 5 && parsed.original.find("caused by " + peer) == std::string::npos) abort();
    }
    if (line != expected.size()) abort();
    return 0;
}
