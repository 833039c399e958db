// What the console gathers from the answers of a browse (items, counts, media, warnings, the error)
// and how it prints them: a readable table, or JSON. Pure functions over one result; any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/msg/msg_classes.h"

struct TConsoleItem {
    std::string name, path;
    long long size = 0, modified = 0, backupTime = 0, version = 0;
    bool directory = false, deleted = false;
    long long subclientId = 0;  // the subclient the item was backed up from (0: not said)
    std::string client;         // its client, where the console knows it (a find across clients)
    std::string displayName;    // a name for people, shown beside an id-like path (a virtual machine's)
};

struct TConsoleMedia {
    long long archiveFileId = 0, size = 0, kelmarchId = 0;
    bool data = true;  // data or index
    // Where the medium is, when the answer carries its physical media.
    std::string label, library, location, copy, mediaAgent;
};

struct TConsoleResult {
    std::vector<TConsoleItem> items;
    std::vector<std::pair<std::string, long long>> counts;  // query id, count
    std::vector<TConsoleMedia> media;
    std::vector<std::string> warnings;
    // The warnings of a find across clients whose code says a part was left out: refused to the caller,
    // or not searched (a client the Hubmaster does not know, backups the find cannot reach by its road).
    std::vector<std::string> refused, notSearched;
    // Why an answer that ended in an error is not the whole ("": it was cut short), for a table's last
    // line; set also when no item had arrived yet.
    std::string incomplete;
    std::string error;  // empty: no error
    long long errorCode = 0;
    std::string note;            // what happened when there is nothing to list (a stop)
    bool ended = false;          // the end of the answer arrived
    int exitCode = 0;            // EConsoleExit of the outcome
    std::string session;         // the browse session the request named
    int page = 0, pageSize = 0;  // the page asked for (1-based; 0: no paging)
    long long total = -1;        // the items of the whole listing when the answer carries it
};

// The query id the console gives the count it adds to a paged request, for "page N of M".
constexpr const char* kConsoleTotalQuery = "total";

// How the console prints: sizes in K/M/G or in bytes.
struct TConsoleFormat {
    bool human = false;
    bool acrossClients = false;  // a column naming each row's client
};

// Adds one answer; true when it ends the browse (the end, or an error that carries no further answer).
bool addConsoleResponse(TConsoleResult& result, databrowse::BrowseResponse& response);

std::string formatConsoleTable(const TConsoleResult& result, const TConsoleFormat& format = {});
std::string formatConsoleJson(const TConsoleResult& result);
// The warnings of a table's answer, one "warning: ..." line each, for standard error.
std::string formatConsoleWarnings(const TConsoleResult& result);
// Seconds since 1970 as ISO 8601 in UTC ("2023-11-21T23:13:20Z").
std::string consoleIsoTime(long long seconds);
// Bytes as "1.5M" (K, M, G, T of 1024).
std::string consoleHumanSize(long long bytes);
// Seconds since 1970 as "YYYY-MM-DD HH:MM:SS" (UTC; the table's headers say so); "-" for 0.
std::string consoleTimeText(long long seconds);
