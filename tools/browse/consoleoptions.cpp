#include "tools/browse/consoleoptions.h"

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <sstream>

#include "platform/entities/apptypes.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/msg/sessionidlimit.h"
#include "platform/tasks/erasebookings.h"
#include "platform/threads/hubclock.h"
#include "tools/browse/consoleoutput.h"

namespace {

// The exit-status table, the same in every usage text.
constexpr const char* kExitStatusLine =
    "exit status: 0 success, 1 service error or not found, 2 usage, 3 refused, 4 unreachable, 5 timed "
    "out, 6 cancelled (a question answered no)\n";

using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;

constexpr int64_t kModePage = 2;  // the classic protocol's page function
constexpr int64_t kOperatorMatches = 0;

const std::map<std::string, EConsoleCommand> kCommands = {
    {"list", EConsoleCommand::kList},   {"versions", EConsoleCommand::kVersions},
    {"count", EConsoleCommand::kCount}, {"find", EConsoleCommand::kFind},
    {"media", EConsoleCommand::kMedia}, {"stop", EConsoleCommand::kStop},
    {"erase", EConsoleCommand::kErase},
};

constexpr unsigned bit(EConsoleCommand c) {
    return 1u << static_cast<unsigned>(c);
}
constexpr unsigned kL = bit(EConsoleCommand::kList), kV = bit(EConsoleCommand::kVersions),
                   kC = bit(EConsoleCommand::kCount), kF = bit(EConsoleCommand::kFind),
                   kM = bit(EConsoleCommand::kMedia), kS = bit(EConsoleCommand::kStop),
                   kE = bit(EConsoleCommand::kErase);
constexpr unsigned kAll = kL | kV | kC | kF | kM | kS | kE;
constexpr unsigned kBrowsing = kAll & ~kS;

struct TCommandSpec {
    EConsoleCommand command;
    const char* name;
    const char* summary;
    const char* example;
};

const TCommandSpec kCommandSpecs[] = {
    {EConsoleCommand::kList, "list", "what a backup set, or a folder of it, held at a point in time",
     "browse list --client client1 --subclient 1 --path /d00 --at 2023-11-28 --token-file "
     "~/.browse-admin-token "
     "--data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kVersions, "versions", "every version of a file or folder's items over a time range",
     "browse versions --client client1 --subclient 1 --path /d00/d01/d00/f00000202.dat --from 2023-11-14 "
     "--to "
     "2023-11-28 --token-file ~/.browse-admin-token --data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kCount, "count", "how many items a folder held at a point in time",
     "browse count --client client1 --subclient 1 --path /d00/d01/d00 --at 2023-11-28 --token-file "
     "~/.browse-admin-token --data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kFind, "find",
     "items by name pattern in the whole tree below --path, in one backup set "
     "or across clients",
     "browse find --clients client1,client2 --path /d00 --name 'f0000020*' --at 2023-11-28 --token-file "
     "~/.browse-admin-token --data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kMedia, "media",
     "the media a restore at a point in time needs: those of the subclient's backups as of --at (worked "
     "out per subclient and time, not per path; a --path must have been backed up)",
     "browse media --client client1 --subclient 1 --path /d00 --at 2023-11-28 --token-file "
     "~/.browse-admin-token "
     "--data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kStop, "stop", "stop the browses of a session; the Hubmaster answers what it ended",
     "browse stop --session 6f1c0e2a-... --token-file ~/.browse-admin-token --data build/demo"},
    {EConsoleCommand::kErase, "erase", "an end user's erase of backed-up files or a folder's contents",
     "browse erase --client client1 --subclient 1 --path /d00/d01/d00/f00000201.dat=739056 --at 2023-11-28 "
     "--dry-run --token-file ~/.browse-alice-token --data build/demo --ma-host 127.0.0.1"},
};

// Digits only (no sign, no spaces), small enough for any field.
bool number(const std::string& text, long long& value) {
    if (text.empty() || text.size() > 18) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// Why an erase cannot take `path`, "" when it can: the top of the backup set is no item the console can
// look up and erase, and a path the Hubmaster's erase would refuse (its one rule of well-formed paths)
// is a command line to mend.
std::string erasePathProblem(const std::string& path) {
    if (!path.empty() && path.find_first_not_of("/\\") == std::string::npos)
        return "the top of the backup set is not erased whole: name the folders or files under it (list "
               "shows them)";
    if (std::string problem = CEraseBookings::pathProblem(path); !problem.empty())
        return problem + ": give the item's whole path as list shows it (/a/b, \\MB\\..., D:\\a)";
    return "";
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');)
        if (!part.empty()) out.push_back(part);
    return out;
}

// What an option does with its value: "" when taken, else the problem, in full.
using TOptionSetter = std::string (*)(TConsoleOptions&, const std::string& name, const std::string& value);

std::string wholeNumber(int& field, const std::string& name, const std::string& v, long long low,
                        long long high) {
    long long n = 0;
    if (!number(v, n) || n < low || n > high)
        return name + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
               ", not [" + v + "]";
    field = static_cast<int>(n);
    return {};
}

std::string timeValue(long long& field, const std::string& name, const std::string& v) {
    if (parseConsoleTime(v, field) && field > 0) return {};
    // A date before 1970 reads like a time but cannot be one here.
    long long year = 0;
    if (v.size() >= 5 && v[4] == '-' && number(v.substr(0, 4), year) && year < 1970)
        return name + " [" + v + "] is before 1970, where the backups' times begin: give a later time";
    return name + " [" + v +
           "] is not a time: give YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS] (UTC), ISO 8601 such as "
           "2023-11-21T23:30:00Z, or seconds since 1970";
}

constexpr long long kMaxId = 2147483647;

#define TEXT(field)                                                    \
    [](TConsoleOptions& o, const std::string&, const std::string& v) { \
        o.field = v;                                                   \
        return std::string();                                          \
    }
#define COUNT(field, low, high)                                          \
    [](TConsoleOptions& o, const std::string& n, const std::string& v) { \
        return wholeNumber(o.field, n, v, low, high);                    \
    }
#define TIME(field) \
    [](TConsoleOptions& o, const std::string& n, const std::string& v) { return timeValue(o.field, n, v); }
#define SWITCH(field, on)                                            \
    [](TConsoleOptions& o, const std::string&, const std::string&) { \
        o.field = on;                                                \
        return std::string();                                        \
    }

// Which part of a command's help an option belongs to: what the command works on comes first.
enum EOptionGroup { kWhat, kWhere, kHow };

struct TOptionSpec {
    const char* name;
    const char* alias;  // a short form, or nullptr
    const char* value;  // the value's placeholder; nullptr: a switch
    unsigned commands;
    EOptionGroup group;
    const char* help;
    TOptionSetter set;
    const char* variable = nullptr;  // the environment variable that gives its default, or nullptr
    bool repeats = false;            // may be given more than once (each adds)
};

const TOptionSpec kOptionSpecs[] = {
    {"--client", nullptr, "name", kBrowsing, kWhat, "the client browsed", TEXT(client)},
    {"--clients", nullptr, "a,b,...", kF, kWhat, "find across these clients",
     [](TConsoleOptions& o, const std::string&, const std::string& v) {
         o.clients = split(v);
         return o.clients.empty() ? "--clients [" + v + "] names no client" : std::string();
     }},
    {"--subclient", nullptr, "n", kBrowsing, kWhat,
     "the subclient browsed (needed unless --backup-set names it)", COUNT(subclientId, 1, kMaxId)},
    {"--backup-set", nullptr, "n", kBrowsing, kWhat, "the backup set", COUNT(backupSetId, 1, kMaxId)},
    {"--client-id", nullptr, "n", kBrowsing, kWhat, "the client by id", COUNT(clientId, 1, kMaxId)},
    {"--app-type", nullptr, "n", kBrowsing, kWhat, "the application type", COUNT(appType, 1, kMaxId)},
    {"--path", nullptr, "path", kBrowsing, kWhat, "the folder or file (one; erase: <path>=<size>, several)",
     [](TConsoleOptions& o, const std::string&, const std::string& v) {
         std::string path;
         long long size = 0;
         if (o.command == EConsoleCommand::kErase) {
             if (!splitErasePath(v, path, size))
                 return "--path [" + v + "]: give <path>=<size> with the size in bytes, or the path alone";
             if (std::string problem = erasePathProblem(path); !problem.empty())
                 return "--path [" + v + "]: " + problem;
         }
         // An erase names each path once: a repeat is the same path, not a second erase of it.
         for (const std::string& earlier : o.paths) {
             std::string before;
             long long beforeSize = 0;
             if (o.command != EConsoleCommand::kErase || !splitErasePath(earlier, before, beforeSize) ||
                 before != path)
                 continue;
             if (earlier == v) return "--path " + path + " is given twice: give it once";
             return "--path " + path + " is given twice, as [" + earlier + "] and [" + v + "]: give it once";
         }
         o.paths.push_back(v);
         return std::string();
     },
     nullptr, true},
    {"--at", nullptr, "time", kL | kC | kF | kM | kE, kWhat,
     "the point in time (default now; a bare date is 00:00 UTC)", TIME(at)},
    {"--from", nullptr, "time", kV, kWhat, "the start of the range (a bare date is 00:00 UTC)", TIME(from)},
    {"--to", nullptr, "time", kV, kWhat, "the end of the range (a bare date is 00:00 UTC)", TIME(to)},
    {"--name", nullptr, "pattern", kF, kWhat, "the name pattern (quote it: 'f0000021*')", TEXT(pattern)},
    {"--page-size", nullptr, "n", kL | kV | kF, kWhat, "items per page", COUNT(pageSize, 1, 1000000)},
    {"--page", nullptr, "n", kL | kV | kF, kWhat, "the page, counted from 1 (needs --page-size)",
     COUNT(page, 1, kMaxId)},
    {"--session", nullptr, "id", kAll, kWhat,
     "the browse session (the console makes one; -v shows it at the start, --json in the answer)",
     [](TConsoleOptions& o, const std::string&, const std::string& v) {
         // The service's own bound: an id it would refuse is a command line to mend.
         if (std::string why = databrowse::sessionIdRefusal(v.size()); !why.empty())
             return "--session: " + why + ": give a shorter one";
         o.session = v;
         return std::string();
     }},
    {"--dry-run", nullptr, nullptr, kE, kWhat, "list what would be erased; book nothing",
     SWITCH(dryRun, true)},
    {"--yes", nullptr, nullptr, kE, kWhat, "erase a folder's contents without asking", SWITCH(yes, true)},
    // A stop always goes to the Hubmaster's own service: it has no road to choose.
    {"--via", nullptr, "router|hubmaster", kBrowsing, kWhat,
     "hubmaster: list and versions through the Hubmaster's own service (older media agents)",
     [](TConsoleOptions& o, const std::string&, const std::string& v) {
         if (v != "hubmaster" && v != "router") return "--via takes router or hubmaster, not [" + v + "]";
         o.viaHubmaster = v == "hubmaster";
         return std::string();
     }},
    {"--live", nullptr, nullptr, kL, kWhat,
     "browse the machine live (needs --backup-set): the Hubmaster prepares the session", SWITCH(live, true)},
    {"--mine", nullptr, nullptr, kL, kWhat,
     "mine the application's database or site (--app-type 53 Exchange database, 78 SharePoint) on the "
     "media agent --ma names: the Hubmaster completes the request",
     SWITCH(mine, true)},
    {"--ma", nullptr, "media agent", kAll & ~kS, kWhat,
     "the media agent to ask (instead of the one named by the router)", TEXT(mediaAgent)},
    {"--token-file", nullptr, "file", kAll, kWhere,
     "who asks: the user's token, from a file only its owner may read", TEXT(tokenFile)},
    {"--user", nullptr, "login", kAll, kWhere, "with --data: the host program issues that user's token",
     TEXT(user)},
    {"--token", nullptr, "token", kAll, kWhere,
     "the token itself: every local user sees it in ps; prefer --token-file or $BROWSE_TOKEN", TEXT(token)},
    {"--data", nullptr, "folder", kAll, kWhere,
     "the Hubmaster's data folder: its registry names BrowseRouter, its authority is trusted and the "
     "Hubmaster must prove its own client name",
     TEXT(dataFolder), "BROWSE_DATA"},
    {"--host", nullptr, "host", kAll, kWhere, "BrowseRouter's host (without --data)", TEXT(routerHost),
     "BROWSE_HOST"},
    {"--port", nullptr, "n", kAll, kWhere, "BrowseRouter's port (without --data)",
     COUNT(routerPort, 1, 65535), "BROWSE_PORT"},
    {"--ca", nullptr, "file", kAll, kWhere,
     "the Hubmaster's authority certificate (public), for a console without --data (default "
     "~/.config/browse/authority.crt)",
     TEXT(authorityFile), "BROWSE_CA"},
    {"--hubmaster-name", nullptr, "client", kAll, kWhere,
     "the Hubmaster's client name (the host prints it at start-up): the machine reached must prove it; "
     "needed with --host and --port",
     TEXT(hubmasterName), "BROWSE_HUBMASTER_NAME"},
    {"--tls", nullptr, "folder", kAll, kWhere,
     "speak as the machine whose credentials the folder holds (default: anonymous)", TEXT(tlsFolder)},
    {"--ma-host", nullptr, "host", kAll, kWhere, "where media agents are reached (the demo: 127.0.0.1)",
     TEXT(mediaAgentHost), "BROWSE_MA_HOST"},
    // Every command takes it, as --ma-host, so that the start-up line's values serve each one (a stop
    // reaches no media agent).
    {"--ma-address", nullptr, "agent=host:port,...", kAll, kWhere,
     "where media agents listen, for a console without --data (the host prints them at start-up)",
     [](TConsoleOptions& o, const std::string& name, const std::string& v) {
         for (const std::string& entry : split(v)) {
             const size_t eq = entry.find('='), colon = entry.rfind(':');
             long long port = 0;
             if (eq == std::string::npos || eq == 0 || colon == std::string::npos || colon < eq + 2 ||
                 !number(entry.substr(colon + 1), port) || port < 1 || port > 65535)
                 return name + " [" + entry + "]: give <media agent>=<host>:<port>";
             o.mediaAgentAddresses.push_back(entry);
         }
         return std::string();
     },
     "BROWSE_MA_ADDRESS", true},
    {"--json", nullptr, nullptr, kAll, kHow, "JSON on standard output", SWITCH(json, true)},
    {"--human", nullptr, nullptr, kBrowsing, kHow, "sizes in K, M, G", SWITCH(human, true)},
    {"--quiet", nullptr, nullptr, kAll, kHow, "no progress line", SWITCH(progress, false)},
    {"--verbose", "-v", nullptr, kAll, kHow, "the session and the road on standard error, at the start",
     SWITCH(verbose, true)},
    {"--timeout", nullptr, "seconds", kAll, kHow,
     "the time limit of the whole command, every exchange included (default 120)",
     COUNT(timeoutSeconds, 1, 86400)},
    {"--help", "-h", nullptr, kAll, kHow, "this help", SWITCH(help, true)},
    {"--version", nullptr, nullptr, kAll, kHow, "the console's version", SWITCH(version, true)},
};

#undef TEXT
#undef COUNT
#undef TIME
#undef SWITCH

const TOptionSpec* optionSpec(const std::string& name) {
    for (const TOptionSpec& o : kOptionSpecs)
        if (name == o.name || (o.alias && name == o.alias)) return &o;
    return nullptr;
}

const TCommandSpec& commandSpec(EConsoleCommand c) {
    for (const TCommandSpec& s : kCommandSpecs)
        if (s.command == c) return s;
    return kCommandSpecs[0];
}

std::string pad(std::string text, size_t width) {
    if (text.size() < width)
        text.resize(width, ' ');
    else
        text += "  ";
    return text;
}

std::string timeText(long long seconds) {
    return consoleTimeText(seconds) + " UTC";
}

// One option's line of a help text: its names, its value, what it does and its variable.
std::string optionLine(const TOptionSpec& o) {
    std::string name = o.name;
    if (o.alias) name = std::string(o.alias) + ", " + name;
    if (o.value) name += std::string(" <") + o.value + ">";
    return "  " + pad(name, 28) + o.help + (o.variable ? std::string(" [$") + o.variable + "]" : "") + "\n";
}

int64_t operationOf(EConsoleCommand c) {
    switch (c) {
        case EConsoleCommand::kVersions:
            return databrowse::BROWSE_OP_ALL_VERSIONS;
        case EConsoleCommand::kFind:
            return databrowse::BROWSE_OP_FIND;
        case EConsoleCommand::kMedia:
            return databrowse::BROWSE_OP_MEDIA_PREDICTION;
        case EConsoleCommand::kStop:
            return databrowse::BROWSE_OP_STOP;
        case EConsoleCommand::kErase:
            return databrowse::BROWSE_OP_END_USER_ERASE;
        default:
            return databrowse::BROWSE_OP_BROWSE;
    }
}

ZyEntities::GenericEntity entityOf(const TConsoleOptions& o, const std::string& clientName) {
    ZyEntities::GenericEntity e;
    if (!clientName.empty()) e.setstring(E::clientName, clientName);
    if (o.clientId > 0) e.setint64(E::clientId, o.clientId);
    if (o.backupSetId > 0) e.setint64(E::backupsetId, o.backupSetId);
    if (o.subclientId > 0) e.setint64(E::subclientId, o.subclientId);
    if (o.appType > 0) e.setint64(E::applicationId, o.appType);
    return e;
}

// A find looks in the whole tree below its path: the media agent reads "<path>/**/*" so.
std::string findBelow(std::string path) {
    const char separator = path.find('\\') != std::string::npos ? '\\' : '/';
    while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    return path + separator + "**" + separator + "*";
}

}  // namespace

const char* consoleCommandName(EConsoleCommand command) {
    for (const auto& [name, c] : kCommands)
        if (c == command) return name.c_str();
    return "?";
}

std::string consoleUsage() {
    std::string out =
        "usage: browse <command> [options]      (browse help <command>: its options and an example)\n"
        "commands:\n";
    for (const TCommandSpec& c : kCommandSpecs) out += "  " + pad(c.name, 9) + c.summary + "\n";
    // The options every command takes, from the parser's own table: what a command takes besides them
    // is in its own help.
    out += "common options (a default from the environment in []):\n";
    for (const TOptionSpec& o : kOptionSpecs)
        if (o.commands == kAll) out += optionLine(o);
    out += "  " + pad("$" + std::string(kConsoleTokenVariable), 28) +
           "the token, when no other source is given\n";
    out +=
        "times: seconds since 1970, YYYY-MM-DD (00:00 UTC), YYYY-MM-DD HH:MM[:SS] (UTC), or ISO 8601\n"
        "       (2023-11-21T23:30:00Z, 2023-11-21T23:30:00+01:00)\n";
    out += kExitStatusLine;
    return out;
}

std::string consoleCommandUsage(EConsoleCommand command) {
    const TCommandSpec& c = commandSpec(command);
    std::string out = "usage: browse " + std::string(c.name) + " [options]\n  " + c.summary + "\n";
    bool times = false;
    const char* headings[] = {"options:", "where and who (a default from the environment in []):", "output:"};
    for (EOptionGroup group : {kWhat, kWhere, kHow}) {
        out += std::string(headings[group]) + "\n";
        for (const TOptionSpec& o : kOptionSpecs) {
            if (!(o.commands & bit(command)) || o.group != group) continue;
            out += optionLine(o);
            times = times || (o.value && std::string(o.value) == "time");
        }
    }
    if (times)
        out +=
            "times: seconds since 1970, YYYY-MM-DD (00:00 UTC), YYYY-MM-DD HH:MM[:SS] (UTC), or ISO 8601\n";
    out += kExitStatusLine;
    out += "example:\n  " + std::string(c.example) + "\n";
    return out;
}

bool parseConsoleTime(const std::string& text, long long& seconds) {
    if (number(text, seconds)) return true;
    // YYYY-MM-DD, then optionally [T ]HH:MM[:SS[.fff]], then optionally Z or +HH[:MM] / -HH[:MM].
    size_t at = 0;
    auto digits = [&](size_t count, int& value) {
        if (at + count > text.size()) return false;
        value = 0;
        for (size_t n = 0; n < count; ++n) {
            const char c = text[at + n];
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        at += count;
        return true;
    };
    auto literal = [&](char c) {
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(4, year) || !literal('-') || !digits(2, month) || !literal('-') || !digits(2, day))
        return false;
    if (at < text.size()) {
        // A zone comes only after a time of day, so a date is followed by its time or by nothing.
        if (!literal('T') && !literal(' ')) return false;
        if (!digits(2, hour) || !literal(':') || !digits(2, minute)) return false;
        if (literal(':')) {
            if (!digits(2, second)) return false;
            if (literal('.')) {
                int fraction = 0;
                if (!digits(1, fraction)) return false;
                while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
            }
        }
    }
    long long offset = 0;
    if (at < text.size()) {
        if (literal('Z')) {
        } else if (text[at] == '+' || text[at] == '-') {
            const int sign = text[at++] == '+' ? 1 : -1;
            int oh = 0, om = 0;
            if (!digits(2, oh)) return false;
            if (literal(':')) {
                if (!digits(2, om)) return false;
            } else if (at < text.size() && !digits(2, om)) {
                return false;
            }
            if (oh > 23 || om > 59) return false;
            offset = sign * (oh * 3600LL + om * 60LL);
        } else {
            return false;
        }
    }
    if (at != text.size()) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 || second > 59)
        return false;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    seconds = static_cast<long long>(timegm(&tm)) - offset;
    return seconds >= 0;
}

bool splitErasePath(const std::string& text, std::string& path, long long& size) {
    path = text;
    size = -1;
    const size_t eq = text.rfind('=');
    if (eq == std::string::npos) return true;
    const std::string after = text.substr(eq + 1);
    if (after.empty()) return false;
    long long n = 0;
    if (!number(after, n)) return true;  // an '=' of the path's own
    path = text.substr(0, eq);
    size = n;
    return !path.empty();
}

namespace {

// kDone: the command line is answered as it is (help, version); kRefused: the error says why.
enum class EArgsStep { kGoOn, kDone, kRefused };

// The command word (argv[1], or argv[2] after "help") into `o.command` and `name`; `next` is where its
// options begin.
EArgsStep readCommand(int argc, char** argv, TConsoleOptions& o, std::string& name, int& next,
                      std::string& error) {
    if (argc < 2) {
        error = "browse: name a command: list, versions, count, find, media, stop or erase (browse --help)";
        return EArgsStep::kRefused;
    }
    name = argv[1];
    next = 2;
    if (name == "--help" || name == "-h" || (name == "help" && argc == 2)) {
        o.help = o.helpAll = true;
        return EArgsStep::kDone;
    }
    if (name == "--version") {
        o.version = true;
        return EArgsStep::kDone;
    }
    // "browse help <command>" is "browse <command> --help".
    if (name == "help") {
        name = argv[2];
        o.help = true;
        next = argc;
    }
    if (!kCommands.count(name)) {
        error = "browse: unknown command [" + name +
                "]: the commands are list, versions, count, find, media, stop and erase (browse --help)";
        return EArgsStep::kRefused;
    }
    o.command = kCommands.at(name);
    return EArgsStep::kGoOn;
}

// The value of the option `spec` at argv[i]: `inlineValue` when it was given as <name>=<value>, else the
// next argument (and i moves to it). The problem, "" when none.
std::string optionValue(const TOptionSpec& spec, const std::optional<std::string>& inlineValue, int argc,
                        char** argv, int& i, std::string& value) {
    const std::string name = spec.name;
    if (!inlineValue && i + 1 >= argc) return name + " needs a value <" + spec.value + ">";
    // A value that is itself an option means the value was left out.
    if (!inlineValue) {
        const std::string v = argv[i + 1];
        if (v.rfind("--", 0) == 0 || optionSpec(v))
            return name + " needs a value <" + spec.value + ">, not the option [" + v +
                   "] (a value that starts with -- is given as " + name + "=<value>)";
    }
    value = inlineValue ? *inlineValue : argv[++i];
    if (value.empty()) return name + " needs a value, not an empty one";
    return "";
}

// The option at argv[i] (and its value) into `o`, `given` keeping each option's first value. The
// problem, "" when none.
std::string readOption(int argc, char** argv, int& i, const std::string& commandName, TConsoleOptions& o,
                       std::map<std::string, std::string>& given) {
    std::string a = argv[i];
    std::optional<std::string> inlineValue;
    if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
        inlineValue = a.substr(a.find('=') + 1);
        a.erase(a.find('='));
    }
    const TOptionSpec* spec = optionSpec(a);
    if (!spec) return "unknown option [" + a + "]";
    const std::string name = spec->name;
    if (!(spec->commands & bit(o.command))) return name + " is not an option of " + commandName;
    if (!spec->value) {
        if (inlineValue) return name + " takes no value";
        spec->set(o, name, {});
        return "";
    }
    std::string v;
    if (std::string problem = optionValue(*spec, inlineValue, argc, argv, i, v); !problem.empty())
        return problem;
    const bool repeats = spec->repeats && (name != "--path" || o.command == EConsoleCommand::kErase);
    if (given.count(name) && !repeats) {
        if (name == "--path") return "one --path only (a second one: [" + v + "]); erase alone takes several";
        return name + " is given twice ([" + given[name] + "], then [" + v + "]): give it once";
    }
    given.emplace(name, v);
    return spec->set(o, name, v);
}

// Every option from argv[next] on; the first problem, "" when none.
std::string readOptions(int argc, char** argv, int next, const std::string& commandName, TConsoleOptions& o,
                        std::map<std::string, std::string>& given) {
    for (int i = next; i < argc; ++i)
        if (std::string problem = readOption(argc, argv, i, commandName, o, given); !problem.empty())
            return problem;
    return "";
}

// Where and how to reach the Hubmaster may come from the environment, as a default of an option not
// `given`.
std::string readEnvironment(TConsoleOptions& o, const std::map<std::string, std::string>& given) {
    for (const TOptionSpec& spec : kOptionSpecs) {
        if (!spec.variable || given.count(spec.name) || !(spec.commands & bit(o.command))) continue;
        const char* value = std::getenv(spec.variable);
        if (!value || !*value) continue;
        if (std::string problem = spec.set(o, spec.name, value); !problem.empty())
            return "$" + std::string(spec.variable) + ": " + problem;
    }
    return "";
}

// What the command needs and what it cannot be given; "" when nothing.
std::string commandProblem(const TConsoleOptions& o) {
    if (o.command == EConsoleCommand::kVersions && (o.from <= 0 || o.to <= 0)) return "needs --from and --to";
    if (o.from > 0 && o.to > 0 && o.from > o.to)
        return "--from (" + timeText(o.from) + ") is after --to (" + timeText(o.to) + ")";
    if (o.page > 0 && o.pageSize <= 0) return "--page needs --page-size";
    if (o.command == EConsoleCommand::kStop && o.session.empty()) return "needs --session <id>";
    if (o.command == EConsoleCommand::kFind && o.pattern.empty()) return "needs --name <pattern>";
    if (o.viaHubmaster && o.command != EConsoleCommand::kList && o.command != EConsoleCommand::kVersions)
        return "--via hubmaster serves list and versions; the other commands go to BrowseRouter";
    if ((o.viaHubmaster || o.command == EConsoleCommand::kErase) && o.subclientId <= 0)
        return std::string(o.viaHubmaster ? "--via hubmaster" : "erase") + " needs --subclient";
    if (o.command == EConsoleCommand::kErase && o.paths.empty()) return "needs --path <path>=<size>";
    return "";
}

// Whose data the command reads (the client, its miner, its backup set browsed live), where the Hubmaster
// is and who asks; "" when nothing is amiss.
std::string targetProblem(const TConsoleOptions& o) {
    if (!o.clients.empty() && (!o.client.empty() || o.clientId > 0))
        return "give --client or --clients, not both";
    if (o.client.empty() && o.clientId <= 0 && o.clients.empty() && o.command != EConsoleCommand::kStop)
        return o.command == EConsoleCommand::kFind ? "name the client with --client or --clients"
                                                   : "name the client with --client";
    // Only a SharePoint server (which mines its own sites) and an Exchange recovery point (its index
    // server) have a miner the Hubmaster finds by itself.
    if (o.mine && o.mediaAgent.empty() && apptype::of(o.appType) != apptype::kSharePoint &&
        apptype::of(o.appType) != apptype::kExchangeMonorun)
        return "--mine needs --ma <media agent>: the media agent that mines the application";
    if (o.live && o.backupSetId <= 0) return "--live needs --backup-set <n>: the backup set browsed live";
    if (!o.dataFolder.empty() && o.routerPort <= 0 && !o.routerHost.empty())
        return "--host needs --port (or leave both to --data's registry)";
    int tokenSources = !o.token.empty() + !o.tokenFile.empty() + !o.user.empty();
    if (tokenSources > 1) return "give one of --token, --token-file and --user";
    return "";
}

}  // namespace

bool parseConsoleArgs(int argc, char** argv, TConsoleOptions& o, std::string& error) {
    error.clear();
    std::string name;
    int next = 0;
    switch (readCommand(argc, argv, o, name, next, error)) {
        case EArgsStep::kGoOn:
            break;
        case EArgsStep::kDone:
            return true;
        case EArgsStep::kRefused:
            return false;
    }
    std::map<std::string, std::string> given;  // option: its first value
    std::string problem = readOptions(argc, argv, next, name, o, given);
    if (problem.empty()) problem = readEnvironment(o, given);
    // Help and the version are answered whatever else the command line lacks.
    const bool answered = o.help || o.version;
    if (problem.empty() && !answered) problem = commandProblem(o);
    if (problem.empty() && !answered) problem = targetProblem(o);
    if (problem.empty()) return true;
    error = "browse " + name + ": " + problem + " (browse " + name + " --help)";
    return false;
}

databrowse::BrowseRequest buildConsoleRequest(const TConsoleOptions& o) {
    databrowse::BrowseRequest r;
    r.setint64(R::opType, operationOf(o.command));
    if (!o.session.empty())
        r.getObjectAccessor(R::session, true)->setstring(databrowse::BrowseSession::f::sessionId, o.session);
    if (!o.token.empty()) r.setstring(R::token, o.token);
    if (o.command == EConsoleCommand::kStop) return r;

    const bool acrossClients = o.command == EConsoleCommand::kFind && !o.clients.empty();
    if (acrossClients) {
        std::vector<CNMessageBase> targets;
        for (const std::string& name : o.clients) {
            databrowse::EntityWithFilters target;
            target.setObjectAccessor(entityOf(o, name), databrowse::EntityWithFilters::f::entity);
            targets.push_back(target);
        }
        r.setlistobject(R::filteredEntities, targets);
    } else {
        r.setObjectAccessor(entityOf(o, o.client), R::entity);
    }

    std::vector<CNMessageBase> paths;
    for (std::string text : o.paths.empty() ? std::vector<std::string>{"\\"} : o.paths) {
        if (o.command == EConsoleCommand::kFind) text = findBelow(text);
        databrowse::BrowsePath path;
        long long size = -1;
        if (o.command == EConsoleCommand::kErase && splitErasePath(std::string(text), text, size) &&
            size >= 0) {
            CNMessageBase* detail = path.getObjectAccessor(databrowse::BrowsePath::f::detail, true);
            if (o.subclientId > 0) detail->setint64(databrowse::Msg2::f::subclientId, o.subclientId);
            detail->setint64(databrowse::Msg2::f::itemSize, size);
        }
        path.setstring(databrowse::BrowsePath::f::path, text);
        paths.push_back(path);
    }
    r.setlistobject(R::paths, paths);
    if (o.live)
        r.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::initMachineBrowse, 1);
    if (o.mine) {
        // The Hubmaster completes it (subclient, jobs, where to answer) for the named miner.
        CNMessageBase* mining =
            r.getObjectAccessor(R::advOptions, true)
                ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
                ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::appMiningBlock, true);
        mining->setint64(databrowse::Msg60::f::appMining, 1);
        mining->setint64(databrowse::Msg60::f::appType, o.appType);
        mining->getObjectAccessor(databrowse::Msg60::f::miningDetails, true);
        if (apptype::of(o.appType) == apptype::kSharePoint)
            mining->getObjectAccessor(databrowse::Msg60::f::sharePointBlock, true)
                ->getObjectAccessor(databrowse::Msg57::f::at3_6, true)
                ->setint64(databrowse::Msg53::f::firstId, o.subclientId > 0 ? o.subclientId : 1);
        if (!o.mediaAgent.empty())
            r.getObjectAccessor(R::ma, true)
                ->setstring(ZyEntities::ClientEntity::f::clientName, o.mediaAgent);
    }

    CNMessageBase* range = r.getObjectAccessor(R::timeRange, true);
    const long long to = o.command == EConsoleCommand::kVersions ? o.to : o.at;
    range->setint64(databrowse::BrowseTimeRange::f::toTime, to > 0 ? to : CHubClock::real().epochSeconds());
    if (o.command == EConsoleCommand::kVersions)
        range->setint64(databrowse::BrowseTimeRange::f::fromTime, o.from);

    databrowse::Query query;
    query.setint64(databrowse::Query::f::type, 0);
    query.setstring(databrowse::Query::f::queryId, o.command == EConsoleCommand::kCount ? "count" : "items");
    if (o.command == EConsoleCommand::kCount)
        query.getObjectAccessor(databrowse::Query::f::queryOptions, true)
            ->setint64(databrowse::Msg70::f::queryType, databrowse::kQueryOptionsCount);
    // A classic media agent pages by the request's mode; an index service by the query alone.
    if (o.pageSize > 0 && o.viaHubmaster)
        r.getObjectAccessor(R::mode, true)->setint64(databrowse::BrowseMode::f::mode, kModePage);
    if (o.pageSize > 0) {
        CNMessageBase* paging = query.getObjectAccessor(databrowse::Query::f::dataParam, true)
                                    ->getObjectAccessor(databrowse::DataParam::f::paging, true);
        paging->setint64(databrowse::Msg6::f::pageSize, o.pageSize);
        paging->setint64(databrowse::Msg6::f::skipNode,
                         static_cast<int64_t>(o.page > 0 ? o.page - 1 : 0) * o.pageSize);
    }
    if (!o.pattern.empty()) {
        databrowse::FilteredBrowseCriteriaValue value;
        value.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, criteriaattr::kName);
        value.setint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator, kOperatorMatches);
        value.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {o.pattern});
        databrowse::Criteria criteria;
        criteria.setObjectAccessor(value, databrowse::Criteria::f::criteria);
        query.setlistobject(databrowse::Query::f::criteriaList, {criteria});
    }
    std::vector<CNMessageBase> queries = {query};
    // A page of a listing also asks how many items the whole listing has, for "page N of M".
    if (o.pageSize > 0 && !o.viaHubmaster && o.command == EConsoleCommand::kList) {
        databrowse::Query total;
        total.setint64(databrowse::Query::f::type, 0);
        total.setstring(databrowse::Query::f::queryId, kConsoleTotalQuery);
        total.getObjectAccessor(databrowse::Query::f::queryOptions, true)
            ->setint64(databrowse::Msg70::f::queryType, databrowse::kQueryOptionsCount);
        queries.push_back(total);
    }
    r.setlistobject(R::queries, queries);
    return r;
}
