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
};

struct TConsoleMedia {
    long long archiveFileId = 0, size = 0, kelmarchId = 0;
    bool data = true;  // data or index
};

struct TConsoleResult {
    std::vector<TConsoleItem> items;
    std::vector<std::pair<std::string, long long>> counts;  // query id, count
    std::vector<TConsoleMedia> media;
    std::vector<std::string> warnings;
    std::string error;  // empty: no error
    long long errorCode = 0;
    std::string note;    // what happened when there is nothing to list (a stop)
    bool ended = false;  // the end of the answer arrived
};

// Adds one answer; true when it ends the browse (the end, or an error that carries no further answer).
bool addConsoleResponse(TConsoleResult& result, databrowse::BrowseResponse& response);

std::string formatConsoleTable(const TConsoleResult& result);
std::string formatConsoleJson(const TConsoleResult& result);
// Seconds since 1970 as "YYYY-MM-DD HH:MM:SS" (UTC); "-" for 0.
std::string consoleTimeText(long long seconds);
