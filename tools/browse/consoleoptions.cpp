#include "tools/browse/consoleoptions.h"

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <sstream>

#include "platform/entities/apptypes.h"
#include "tools/browse/consoleoutput.h"

namespace {

using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;

constexpr int64_t kOpBrowse = 0;
constexpr int64_t kOpFind = 1;
constexpr int64_t kOpAllVersions = 2;  // every version in the time range
constexpr int64_t kOpMediaPrediction = 3;
constexpr int64_t kOpStop = 5;
constexpr int64_t kOpErase = 7;
constexpr int64_t kCountQueryType = 4;
constexpr int64_t kModePage = 2;  // the classic protocol's page function
constexpr int64_t kAttributeName = 0;
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
     "browse list --client client1 --subclient 1 --path /d00 --at 2023-11-28 --token-file ~/.browse-token "
     "--data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kVersions, "versions", "every version of a file or folder's items over a time range",
     "browse versions --client client1 --subclient 1 --path /d00/d01/d00/f00000202.dat --from 2023-11-14 "
     "--to "
     "2023-11-28 --token-file ~/.browse-token --data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kCount, "count", "how many items a folder held at a point in time",
     "browse count --client client1 --subclient 1 --path /d00/d01/d00 --at 2023-11-28 --token-file "
     "~/.browse-token --data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kFind, "find",
     "items by name pattern in the whole tree below --path, in one backup set "
     "or across clients",
     "browse find --clients client1,client2 --path /d00 --name 'f0000020*' --at 2023-11-28 --token-file "
     "~/.browse-token --data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kMedia, "media",
     "the media a restore at a point in time needs: those of the subclient's backups as of --at (worked "
     "out per subclient and time, not per path; a --path must have been backed up)",
     "browse media --client client1 --subclient 1 --path /d00 --at 2023-11-28 --token-file ~/.browse-token "
     "--data build/demo --ma-host 127.0.0.1"},
    {EConsoleCommand::kStop, "stop", "ask the service to stop the browses of a session (not confirmed)",
     "browse stop --session 6f1c0e2a-... --token-file ~/.browse-token --data build/demo"},
    {EConsoleCommand::kErase, "erase", "an end user's erase of backed-up files or a folder's contents",
     "browse erase --client client1 --subclient 1 --path /d00/d01/d00/f00000203.dat=858145 --at 2023-11-28 "
     "--dry-run --token-file ~/.alice-token --data build/demo --ma-host 127.0.0.1"},
};

struct TOptionSpec {
    const char* name;
    const char* alias;  // a short form, or nullptr
    const char* value;  // the value's placeholder; nullptr: a switch
    unsigned commands;
    const char* help;
};

const TOptionSpec kOptionSpecs[] = {
    {"--data", nullptr, "folder", kAll, "the Hubmaster's data folder (its registry names BrowseRouter)"},
    {"--host", nullptr, "host", kAll, "BrowseRouter's host (instead of --data's registry)"},
    {"--port", nullptr, "n", kAll, "BrowseRouter's port"},
    {"--tls", nullptr, "folder", kAll,
     "speak as the machine whose credentials the folder holds (default: anonymous, trusting the "
     "authority of --data)"},
    {"--token-file", nullptr, "file", kAll, "the user's token, from a file only its owner may read"},
    {"--user", nullptr, "login", kAll, "with --data: the host program issues that user's token"},
    {"--token", nullptr, "token", kAll,
     "the token itself: every local user sees it in ps; prefer --token-file or $BROWSE_TOKEN"},
    {"--client", nullptr, "name", kBrowsing, "the client browsed"},
    {"--clients", nullptr, "a,b,...", kF, "find across these clients"},
    {"--client-id", nullptr, "n", kBrowsing, "the client by id"},
    {"--backup-set", nullptr, "n", kBrowsing, "the backup set"},
    {"--subclient", nullptr, "n", kBrowsing, "the subclient browsed (needed unless --backup-set names it)"},
    {"--app-type", nullptr, "n", kBrowsing, "the application type"},
    {"--path", nullptr, "path", kBrowsing, "the folder or file (one; erase: <path>=<size>, several)"},
    {"--at", nullptr, "time", kL | kC | kF | kM | kE,
     "the point in time (default now; a bare date is 00:00 UTC)"},
    {"--from", nullptr, "time", kV, "the start of the range (a bare date is 00:00 UTC)"},
    {"--to", nullptr, "time", kV, "the end of the range (a bare date is 00:00 UTC)"},
    {"--name", nullptr, "pattern", kF, "the name pattern (quote it: 'f0000021*')"},
    {"--page-size", nullptr, "n", kL | kV | kF, "items per page"},
    {"--page", nullptr, "n", kL | kV | kF, "the page, counted from 1 (needs --page-size)"},
    {"--session", nullptr, "id", kAll, "the browse session (the console makes one; shown by -v and --json)"},
    {"--ma", nullptr, "media agent", kAll, "the media agent to ask (instead of the one named by the router)"},
    {"--ma-host", nullptr, "host", kAll, "where media agents are reached (the demo: 127.0.0.1)"},
    {"--via", nullptr, "router|hubmaster", kL | kV | kC | kF | kM | kE,
     "hubmaster: list and versions through the Hubmaster's own service (older media agents)"},
    {"--live", nullptr, nullptr, kL, "browse the machine live: the Hubmaster prepares the session"},
    {"--mine", nullptr, nullptr, kL,
     "mine the application's database or site (--app-type 53 Exchange database, 78 SharePoint) on the "
     "media agent --ma names: the Hubmaster completes the request"},
    {"--dry-run", nullptr, nullptr, kE, "list what would be erased; book nothing"},
    {"--yes", nullptr, nullptr, kE, "erase a folder's contents without asking"},
    {"--json", nullptr, nullptr, kAll, "JSON on standard output"},
    {"--human", nullptr, nullptr, kAll, "sizes in K, M, G"},
    {"--quiet", nullptr, nullptr, kAll, "no progress line"},
    {"--verbose", "-v", nullptr, kAll, "the session and the road on standard error"},
    {"--timeout", nullptr, "seconds", kAll,
     "the time limit of the whole command, every exchange included (default 120)"},
    {"--help", "-h", nullptr, kAll, "this help"},
};

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

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');)
        if (!part.empty()) out.push_back(part);
    return out;
}

int64_t operationOf(EConsoleCommand c) {
    switch (c) {
        case EConsoleCommand::kVersions:
            return kOpAllVersions;
        case EConsoleCommand::kFind:
            return kOpFind;
        case EConsoleCommand::kMedia:
            return kOpMediaPrediction;
        case EConsoleCommand::kStop:
            return kOpStop;
        case EConsoleCommand::kErase:
            return kOpErase;
        default:
            return kOpBrowse;
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
        "usage: browse <command> [options]      (browse <command> --help: its options and an example)\n"
        "commands:\n";
    for (const TCommandSpec& c : kCommandSpecs) out += "  " + pad(c.name, 9) + c.summary + "\n";
    out +=
        "common options:\n"
        "  --data <folder> | --host <host> --port <n>   the Hubmaster (BrowseRouter)\n"
        "  --token-file <file> | $" +
        std::string(kConsoleTokenVariable) +
        " | --user <login> | --token <token>   who asks\n"
        "  --json  --human  --quiet  -v  --timeout <seconds>  --version\n"
        "times: seconds since 1970, YYYY-MM-DD (00:00 UTC), YYYY-MM-DD HH:MM[:SS] (UTC), or ISO 8601\n"
        "       (2023-11-21T23:30:00Z, 2023-11-21T23:30:00+01:00)\n"
        "exit status: 0 success, 1 the service's error, 2 usage, 3 refused, 4 unreachable, 5 timed out\n";
    return out;
}

std::string consoleCommandUsage(EConsoleCommand command) {
    const TCommandSpec& c = commandSpec(command);
    std::string out = "usage: browse " + std::string(c.name) + " [options]\n  " + c.summary + "\noptions:\n";
    for (const TOptionSpec& o : kOptionSpecs) {
        if (!(o.commands & bit(command))) continue;
        std::string name = o.name;
        if (o.alias) name = std::string(o.alias) + ", " + name;
        if (o.value) name += std::string(" <") + o.value + ">";
        out += "  " + pad(name, 28) + o.help + "\n";
    }
    out += "times: seconds since 1970, YYYY-MM-DD (00:00 UTC), YYYY-MM-DD HH:MM[:SS] (UTC), or ISO 8601\n";
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

bool parseConsoleArgs(int argc, char** argv, TConsoleOptions& o, std::string& error) {
    error.clear();
    if (argc < 2) {
        error = "browse: name a command: list, versions, count, find, media, stop or erase (browse --help)";
        return false;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        o.help = true;
        return true;
    }
    if (first == "--version") {
        o.version = true;
        return true;
    }
    if (!kCommands.count(first)) {
        error = "browse: unknown command [" + first +
                "]: the commands are list, versions, count, find, media, stop and erase (browse --help)";
        return false;
    }
    o.command = kCommands.at(first);
    const std::string command = "browse " + first;
    const std::string hint = " (" + command + " --help)";
    auto refuse = [&](const std::string& problem) {
        error = command + ": " + problem + hint;
        return false;
    };
    bool pathGiven = false, clientsGiven = false;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        std::optional<std::string> inlineValue;
        if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
            inlineValue = a.substr(a.find('=') + 1);
            a.erase(a.find('='));
        }
        const TOptionSpec* spec = optionSpec(a);
        if (!spec) return refuse("unknown option [" + a + "]");
        if (!(spec->commands & bit(o.command)))
            return refuse(std::string(spec->name) + " is not an option of " + first);
        if (!spec->value) {
            if (inlineValue) return refuse(std::string(spec->name) + " takes no value");
            const std::string name = spec->name;
            if (name == "--help")
                o.help = true;
            else if (name == "--json")
                o.json = true;
            else if (name == "--quiet")
                o.progress = false;
            else if (name == "--human")
                o.human = true;
            else if (name == "--verbose")
                o.verbose = true;
            else if (name == "--dry-run")
                o.dryRun = true;
            else if (name == "--live")
                o.live = true;
            else if (name == "--mine")
                o.mine = true;
            else if (name == "--yes")
                o.yes = true;
            continue;
        }
        if (!inlineValue && i + 1 >= argc)
            return refuse(std::string(spec->name) + " needs a value <" + spec->value + ">");
        const std::string v = inlineValue ? *inlineValue : argv[++i];
        const std::string name = spec->name;
        long long n = 0;
        auto count = [&](int& field, long long low, long long high) {
            if (!number(v, n) || n < low || n > high) {
                error = command + ": " + name + " takes a whole number from " + std::to_string(low) + " to " +
                        std::to_string(high) + ", not [" + v + "]" + hint;
                return false;
            }
            field = static_cast<int>(n);
            return true;
        };
        auto time = [&](long long& field) {
            if (parseConsoleTime(v, field) && field > 0) return true;
            error = command + ": " + name + " [" + v +
                    "] is not a time: give YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS] (UTC), ISO 8601 such as "
                    "2023-11-21T23:30:00Z, or seconds since 1970" +
                    hint;
            return false;
        };
        if (v.empty()) return refuse(name + " needs a value, not an empty one");
        constexpr long long kMaxId = 2147483647;
        if (name == "--data")
            o.dataFolder = v;
        else if (name == "--host")
            o.routerHost = v;
        else if (name == "--port") {
            if (!count(o.routerPort, 1, 65535)) return false;
        } else if (name == "--tls")
            o.tlsFolder = v;
        else if (name == "--token")
            o.token = v;
        else if (name == "--token-file")
            o.tokenFile = v;
        else if (name == "--user")
            o.user = v;
        else if (name == "--ma")
            o.mediaAgent = v;
        else if (name == "--ma-host")
            o.mediaAgentHost = v;
        else if (name == "--via") {
            if (v != "hubmaster" && v != "router")
                return refuse("--via takes router or hubmaster, not [" + v + "]");
            o.viaHubmaster = v == "hubmaster";
        } else if (name == "--client")
            o.client = v;
        else if (name == "--clients") {
            o.clients = split(v);
            if (o.clients.empty()) return refuse("--clients [" + v + "] names no client");
            clientsGiven = true;
        } else if (name == "--client-id") {
            if (!count(o.clientId, 1, kMaxId)) return false;
        } else if (name == "--backup-set") {
            if (!count(o.backupSetId, 1, kMaxId)) return false;
        } else if (name == "--subclient") {
            if (!count(o.subclientId, 1, kMaxId)) return false;
        } else if (name == "--app-type") {
            if (!count(o.appType, 1, kMaxId)) return false;
        } else if (name == "--path") {
            if (pathGiven && o.command != EConsoleCommand::kErase)
                return refuse("one --path only (a second one: [" + v + "]); erase alone takes several");
            if (o.command == EConsoleCommand::kErase) {
                std::string path;
                long long size = 0;
                if (!splitErasePath(v, path, size))
                    return refuse("--path [" + v +
                                  "]: give <path>=<size> with the size in bytes, or the path alone");
            }
            o.paths.push_back(v);
            pathGiven = true;
        } else if (name == "--at") {
            if (!time(o.at)) return false;
        } else if (name == "--from") {
            if (!time(o.from)) return false;
        } else if (name == "--to") {
            if (!time(o.to)) return false;
        } else if (name == "--name")
            o.pattern = v;
        else if (name == "--page-size") {
            if (!count(o.pageSize, 1, 1000000)) return false;
        } else if (name == "--page") {
            if (!count(o.page, 1, kMaxId)) return false;
        } else if (name == "--session")
            o.session = v;
        else if (name == "--timeout") {
            if (!count(o.timeoutSeconds, 1, 86400)) return false;
        }
    }
    if (o.help) return true;
    if (o.command == EConsoleCommand::kVersions && (o.from <= 0 || o.to <= 0))
        return refuse("needs --from and --to");
    if (o.from > 0 && o.to > 0 && o.from > o.to)
        return refuse("--from (" + timeText(o.from) + ") is after --to (" + timeText(o.to) + ")");
    if (o.page > 0 && o.pageSize <= 0) return refuse("--page needs --page-size");
    if (o.command == EConsoleCommand::kStop && o.session.empty()) return refuse("needs --session <id>");
    if (o.command == EConsoleCommand::kFind && o.pattern.empty()) return refuse("needs --name <pattern>");
    if (o.viaHubmaster && o.command != EConsoleCommand::kList && o.command != EConsoleCommand::kVersions)
        return refuse("--via hubmaster serves list and versions; the other commands go to BrowseRouter");
    if ((o.viaHubmaster || o.command == EConsoleCommand::kErase) && o.subclientId <= 0)
        return refuse(std::string(o.viaHubmaster ? "--via hubmaster" : "erase") + " needs --subclient");
    if (o.command == EConsoleCommand::kErase && o.paths.empty()) return refuse("needs --path <path>=<size>");
    if (clientsGiven && (!o.client.empty() || o.clientId > 0))
        return refuse("give --client or --clients, not both");
    if (o.client.empty() && o.clientId <= 0 && o.clients.empty() && o.command != EConsoleCommand::kStop)
        return refuse(o.command == EConsoleCommand::kFind ? "name the client with --client or --clients"
                                                          : "name the client with --client");
    int tokenSources = !o.token.empty() + !o.tokenFile.empty() + !o.user.empty();
    if (tokenSources > 1) return refuse("give one of --token, --token-file and --user");
    return true;
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
        if (o.appType == apptype::kSharePoint)
            mining->getObjectAccessor(databrowse::Msg60::f::sharePointBlock, true)
                ->getObjectAccessor(databrowse::Msg57::f::at3_6, true)
                ->setint64(databrowse::Msg53::f::firstId, o.subclientId > 0 ? o.subclientId : 1);
        if (!o.mediaAgent.empty())
            r.getObjectAccessor(R::ma, true)
                ->setstring(ZyEntities::ClientEntity::f::clientName, o.mediaAgent);
    }

    CNMessageBase* range = r.getObjectAccessor(R::timeRange, true);
    const long long to = o.command == EConsoleCommand::kVersions ? o.to : o.at;
    range->setint64(databrowse::BrowseTimeRange::f::toTime,
                    to > 0 ? to : static_cast<long long>(std::time(nullptr)));
    if (o.command == EConsoleCommand::kVersions)
        range->setint64(databrowse::BrowseTimeRange::f::fromTime, o.from);

    databrowse::Query query;
    query.setint64(databrowse::Query::f::type, 0);
    query.setstring(databrowse::Query::f::queryId, o.command == EConsoleCommand::kCount ? "count" : "items");
    if (o.command == EConsoleCommand::kCount)
        query.getObjectAccessor(databrowse::Query::f::queryOptions, true)
            ->setint64(databrowse::Msg70::f::queryType, kCountQueryType);
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
        value.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, kAttributeName);
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
            ->setint64(databrowse::Msg70::f::queryType, kCountQueryType);
        queries.push_back(total);
    }
    r.setlistobject(R::queries, queries);
    return r;
}
