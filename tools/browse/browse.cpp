// browse: the console of the browse service. It asks the Hubmaster's "BrowseRouter" for a browse, follows
// the prepared request to the media agent as the product's consoles do, and prints what comes back as
// a table (or JSON with --json). Exit status: 0 success, 1 the service's error, 2 a bad command line,
// 3 refused (token or access), 4 a peer unreachable, 5 a peer silent past --timeout, 6 cancelled at
// the console's question.
//
//   browse <list|versions|count|find|media|stop|erase> [options]     (browse <command> --help)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

#include "platform/log/evdebug.h"
#include "platform/threads/hubclock.h"
#include "tools/browse/consolesession.h"
#include "tools/readablefiles.h"

namespace {

// Asks on the terminal; anything but "y" or "yes" is a no.
bool askOnTerminal(const std::string& question) {
    std::fprintf(stderr, "browse: %s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

// What a command got, for its line in the console's log: the figure its answer gives.
std::string loggedOutcome(int rc, const TConsoleResult& result) {
    if (rc != kExitOk) return "error [" + result.error + "]";
    std::string figure = std::to_string(result.items.size()) + " item(s)";
    if (!result.counts.empty()) {
        long long counted = 0;
        for (const auto& count : result.counts) counted += count.second;
        figure = "count " + std::to_string(counted);
    } else if (!result.media.empty()) {
        figure = std::to_string(result.media.size()) + " archive file(s)";
    }
    return result.note.empty() || !result.items.empty() || !result.counts.empty() || !result.media.empty()
               ? figure
               : result.note;
}

}  // namespace

int main(int argc, char** argv) {
    TConsoleOptions options;
    std::string error;
    if (!parseConsoleArgs(argc, argv, options, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        // A script that asked for JSON reads the failure as JSON too, wherever --json stood.
        for (int i = 1; i < argc; ++i)
            if (std::string(argv[i]) == "--json") {
                TConsoleResult usage;
                usage.error = error;
                usage.errorCode = usage.exitCode = kExitUsage;
                std::fputs(formatConsoleJson(usage).c_str(), stdout);
                break;
            }
        return kExitUsage;
    }
    if (options.version) {
        std::printf("%s\n", kConsoleVersion);
        return kExitOk;
    }
    if (options.help) {
        std::fputs((options.helpAll ? consoleUsage() : consoleCommandUsage(options.command)).c_str(), stdout);
        return kExitOk;
    }
    // Whatever file or folder cannot be read on the way is named, with the desk console's way.
    return readablefiles::runReading("browse", kConsoleAwayFromData, [&] {
        namespace fs = std::filesystem;
        const fs::path hubmaster =
            fs::canonical("/proc/self/exe").parent_path() / ".." / "hubmaster" / "hubmaster";
        CConsoleSession session(options, fs::exists(hubmaster) ? hubmaster.string() : std::string());
        // Progress goes to the terminal only, so that piped output stays the table or the JSON.
        const bool showProgress = options.progress && isatty(STDERR_FILENO);
        size_t shown = 0;
        TConsoleResult result;
        const auto started = CHubClock::real().steadyNow();
        const int rc = session.run(
            result,
            [&](size_t items) {
                if (!showProgress || items < shown + 1000) return;
                shown = items;
                std::fprintf(stderr, "\rbrowse: %zu items received...", items);
            },
            // Without a terminal to ask on, a folder's erase needs --yes.
            isatty(STDIN_FILENO) ? std::function<bool(const std::string&)>(askOnTerminal) : nullptr);
        if (shown > 0) std::fputs("\n", stderr);
        const long long elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(CHubClock::real().steadyNow() - started)
                .count();
        // One line per command in the console's log: who asked, the road, the outcome and how long it took.
        EvDebug log(nullptr);
        log.setPrefixMessage("BROWSECONSOLE");
        log.debugLvl(0, "%s of session [%s] by %s by road [%s]: %s in %lld ms",
                     consoleCommandName(options.command), result.session.c_str(), session.askedBy().c_str(),
                     session.road().c_str(), loggedOutcome(rc, result).c_str(), elapsed);
        if (options.verbose)
            std::fprintf(stderr, "browse: session %s, road %s, %lld ms\n", result.session.c_str(),
                         session.road().c_str(), elapsed);
        if (rc != kExitOk) result.exitCode = rc;
        TConsoleFormat format;
        format.human = options.human;
        format.acrossClients = !options.clients.empty();
        const std::string out = options.json ? formatConsoleJson(result) : formatConsoleTable(result, format);
        std::fputs(out.c_str(), stdout);
        // Standard output is buffered and standard error is not: what follows on standard error is
        // written once the answer is out whole, so that in one file (> f 2>&1) it follows the answer
        // and never lands inside a row or a JSON string.
        std::fflush(stdout);
        // A table's reader pipes items only: warnings go beside it, on standard error.
        if (!options.json) std::fputs(formatConsoleWarnings(result).c_str(), stderr);
        if (rc != kExitOk) std::fprintf(stderr, "browse: %s\n", result.error.c_str());
        return rc;
    });
}
