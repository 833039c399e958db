// The console's command line and the databrowse::BrowseRequest each command sends: browse a backup set's
// root or a directory at a point in time, versions over a range, counts, find by name pattern (in one
// backup set or across clients), media needed for a restore, stop a session, end-user erase. Pure
// functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/msg/msg_classes.h"

enum class EConsoleCommand { kList, kVersions, kCount, kFind, kMedia, kStop, kErase };

// What the console's exit status tells a script.
enum EConsoleExit {
    kExitOk = 0,
    kExitServiceError = 1,  // the service answered with an error
    kExitUsage = 2,         // the command line is wrong
    kExitRefused = 3,       // the user may not do this (token refused, access denied)
    kExitUnreachable = 4,   // the Hubmaster or media agent could not be reached
    kExitTimedOut = 5,      // the command did not end within --timeout (a peer stopped answering)
    kExitCancelled = 6,     // the user answered no to the console's question: nothing was done
};

struct TConsoleOptions {
    EConsoleCommand command = EConsoleCommand::kList;
    // Where and who.
    std::string dataFolder;  // the Hubmaster's data folder (registry: router address, token issuing)
    std::string routerHost;  // empty: the data folder's registry
    int routerPort = 0;      // 0: the data folder's registry
    // A machine's credentials folder (its certificate proves who the console is); empty: anonymous, with
    // the authority's certificate of the data folder or of `authorityFile`.
    std::string tlsFolder;
    std::string authorityFile;   // the Hubmaster's authority certificate, for a console without --data
    std::string hubmasterName;   // the client name the Hubmaster must prove (empty: --data's, or unchecked)
    std::string token;           // the authentication token
    std::string tokenFile;       // a file holding it (owner-only)
    std::string user;            // a user whose token the host program issues (when no token is given)
    std::string mediaAgent;      // overrides the media agent a prepared request names
    std::string mediaAgentHost;  // where media agents are reached (their own host names otherwise)
    std::vector<std::string> mediaAgentAddresses;  // "<agent>=<host>:<port>", without the Hubmaster's data
    bool viaHubmaster = false;  // through the Hubmaster's own browse service, not BrowseRouter
    // What.
    std::string client;                // client name of the entity
    std::vector<std::string> clients;  // find across several clients
    int clientId = 0, backupSetId = 0, subclientId = 0, appType = 0;
    std::vector<std::string> paths;      // browse paths ("\" when none); erase paths take "path=size"
    long long at = 0, from = 0, to = 0;  // seconds since 1970; 0: not given
    std::string pattern;                 // find: name pattern, matched in the whole tree below the path
    int pageSize = 0, page = 0;          // paging (page counted from 1; 0: not given)
    std::string session;                 // session GUID (the console makes one when empty)
    // How.
    bool json = false;
    bool progress = true;
    bool human = false;        // sizes in K/M/G
    bool verbose = false;      // the session and the road on standard error
    bool dryRun = false;       // erase: list what would be erased, book nothing
    bool live = false;         // list: a live browse of the machine, prepared by the Hubmaster
    bool mine = false;         // list: application mining of --app-type's database or site on --ma
    bool yes = false;          // erase: no question before erasing a folder's contents
    int timeoutSeconds = 120;  // the whole command's time limit
    // Asked for help or the version instead of a command.
    bool help = false, version = false;
    bool helpAll = false;  // the usage of every command, not of one
};

// The environment variable a token may come from instead of the command line.
constexpr const char* kConsoleTokenVariable = "BROWSE_TOKEN";
constexpr const char* kConsoleVersion = "browse 1.2 (fastbrowse console)";
// Where a console without --data looks for the Hubmaster's authority certificate, below $HOME.
constexpr const char* kConsoleDefaultAuthority = ".config/browse/authority.crt";
// The way of a console that cannot read the Hubmaster's data (another user's, or another machine's).
constexpr const char* kConsoleAwayFromData =
    "a console away from the Hubmaster's data gives --host, --port and --ca <the Hubmaster's "
    "tls/authority.crt> with a token (--token-file <file>, which the Hubmaster's owner writes with "
    "hubmaster token --user <login> --out <file>)";

// Parses argv (the command first, then options). False with `error` (one line naming the bad argument,
// with a hint) on a bad line.
bool parseConsoleArgs(int argc, char** argv, TConsoleOptions& options, std::string& error);
// The usage text of every command, and of one command (its options and an example).
std::string consoleUsage();
std::string consoleCommandUsage(EConsoleCommand command);
const char* consoleCommandName(EConsoleCommand command);
// Times as the console reads them: seconds since 1970, "YYYY-MM-DD" (00:00 UTC), "YYYY-MM-DD HH:MM[:SS]"
// (UTC), or ISO 8601 "YYYY-MM-DDTHH:MM[:SS[.fff]]" with "Z" or an offset "+HH:MM". Anything else,
// trailing text or an impossible date or time included, is refused.
bool parseConsoleTime(const std::string& text, long long& seconds);
// "path=size" of an erase: the path, and the size (-1 when none is given). False when what follows '='
// is meant as a size but is not a number.
bool splitErasePath(const std::string& text, std::string& path, long long& size);

// The request the command sends to "BrowseRouter".
databrowse::BrowseRequest buildConsoleRequest(const TConsoleOptions& options);
