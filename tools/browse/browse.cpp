// browse: the console of the browse service. It asks the Hubmaster's "BrowseRouter" for a browse, follows
// the prepared request to the media agent as the product's consoles do, and prints what comes back as
// a table (or JSON with --json). Exits 0 on success, 1 with the service's error text on failure, 2 on
// a bad command line.
//
//   browse <list|versions|count|find|media|stop|erase> [options]     (browse --help for the options)
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/browse/consolesession.h"

int main(int argc, char** argv) {
    TConsoleOptions options;
    std::string error;
    if (argc > 1 && std::string(argv[1]) == "--help") {
        std::fputs(consoleUsage().c_str(), stdout);
        return 0;
    }
    if (!parseConsoleArgs(argc, argv, options, error)) {
        std::fputs(error.c_str(), stderr);
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path hubmaster =
        fs::canonical("/proc/self/exe").parent_path() / ".." / "hubmaster" / "hubmaster";
    CConsoleSession session(options, fs::exists(hubmaster) ? hubmaster.string() : std::string());
    // Progress goes to the terminal only, so that piped output stays the table or the JSON.
    const bool showProgress = options.progress && isatty(STDERR_FILENO);
    size_t shown = 0;
    TConsoleResult result;
    const int rc = session.run(result, [&](size_t items) {
        if (!showProgress || items < shown + 1000) return;
        shown = items;
        std::fprintf(stderr, "\rbrowse: %zu items received...", items);
    });
    if (shown > 0) std::fputs("\n", stderr);
    const std::string out = options.json ? formatConsoleJson(result) : formatConsoleTable(result);
    std::fputs(out.c_str(), stdout);
    if (rc != 0) std::fprintf(stderr, "browse: %s\n", result.error.c_str());
    return rc == 0 ? 0 : 1;
}
