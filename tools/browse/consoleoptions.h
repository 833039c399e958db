// The console's command line and the databrowse::BrowseRequest each command sends: browse a backup set's
// root or a directory at a point in time, versions over a range, counts, find by name pattern (in one
// backup set or across clients), media needed for a restore, stop a session, end-user erase. Pure
// functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/msg/msg_classes.h"

enum class EConsoleCommand { kList, kVersions, kCount, kFind, kMedia, kStop, kErase };

struct TConsoleOptions {
    EConsoleCommand command = EConsoleCommand::kList;
    // Where and who.
    std::string dataFolder;  // the Hubmaster's data folder (registry: router address, token issuing)
    std::string routerHost;  // empty: the data folder's registry
    int routerPort = 0;      // 0: the data folder's registry
    // A machine's credentials folder (its certificate proves who the console is); empty: anonymous, with
    // the authority's certificate of the data folder.
    std::string tlsFolder;
    std::string token;  // the authentication token
    std::string user;            // a user whose token the host program issues (when no token is given)
    std::string mediaAgent;      // overrides the media agent a prepared request names
    std::string mediaAgentHost;  // where media agents are reached (their own host names otherwise)
    bool viaHubmaster = false;   // through the Hubmaster's own browse service, not BrowseRouter
    // What.
    std::string client;                // client name of the entity
    std::vector<std::string> clients;  // find across several clients
    int clientId = 0, backupSetId = 0, subclientId = 0, appType = 0;
    std::vector<std::string> paths;      // browse paths ("\" when none); erase paths take "path=size"
    long long at = 0, from = 0, to = 0;  // seconds since 1970; 0: not given
    std::string pattern;                 // find: name pattern, matched in the whole tree below the path
    int pageSize = 0, page = 0;          // paging (page counted from 0)
    std::string session;                 // session GUID (a new one when empty)
    // How.
    bool json = false;
    bool progress = true;
    int timeoutSeconds = 120;
};

// Parses argv (the command first, then options). False with `error` (a usage line) on a bad line.
bool parseConsoleArgs(int argc, char** argv, TConsoleOptions& options, std::string& error);
// The usage text.
std::string consoleUsage();
// Times as the console reads them: seconds since 1970, or "YYYY-MM-DD[ HH:MM[:SS]]" (UTC).
bool parseConsoleTime(const std::string& text, long long& seconds);

// The request the command sends to "BrowseRouter".
databrowse::BrowseRequest buildConsoleRequest(const TConsoleOptions& options);
