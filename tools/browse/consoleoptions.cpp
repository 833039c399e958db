#include "tools/browse/consoleoptions.h"

#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>

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

bool number(const std::string& text, long long& value) {
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && end && *end == '\0';
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

std::string consoleUsage() {
    return "usage: browse <list|versions|count|find|media|stop|erase> [options]\n"
           "  where:  --data <folder> | --host <host> --port <n>   the Hubmaster (BrowseRouter)\n"
           "          --tls <folder>   speak as the machine whose credentials the folder holds (default:\n"
           "          anonymous, trusting the authority of --data; a user's token says who asks)\n"
           "  who:    --token <token> | --user <login> (with --data: the host program issues the token)\n"
           "  what:   --client <name> --client-id <n> --backup-set <n> --subclient <n> --app-type <n>\n"
           "          --path <path>... (erase: <path>=<size>)  --at <time>  --from <time> --to <time>\n"
           "          --name <pattern> (find: in the whole tree below --path)  --clients <a,b,...> (find\n"
           "          across clients)\n"
           "          --page-size <n> --page <n>  --session <guid>\n"
           "          --ma <media agent> --ma-host <host> (where media agents are reached)\n"
           "  road:   --via router (default: BrowseRouter prepares, the console asks the media agent)\n"
           "          --via hubmaster (list and versions: the Hubmaster browses and streams the answers,\n"
           "          older media agents included)\n"
           "  how:    --json  --quiet (no progress)  --timeout <seconds>\n"
           "  times:  seconds since 1970, or YYYY-MM-DD[ HH:MM[:SS]] (UTC)\n";
}

bool parseConsoleTime(const std::string& text, long long& seconds) {
    if (number(text, seconds)) return seconds >= 0;
    std::tm tm{};
    int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec);
    if (n < 3 || n == 4) return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    seconds = static_cast<long long>(timegm(&tm));
    return seconds >= 0;
}

bool parseConsoleArgs(int argc, char** argv, TConsoleOptions& o, std::string& error) {
    error = consoleUsage();
    if (argc < 2 || !kCommands.count(argv[1])) return false;
    o.command = kCommands.at(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            o.json = true;
            continue;
        }
        if (a == "--quiet") {
            o.progress = false;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string v = argv[++i];
        long long n = 0;
        const bool isNumber = number(v, n);
        if (a == "--data")
            o.dataFolder = v;
        else if (a == "--host")
            o.routerHost = v;
        else if (a == "--port" && isNumber)
            o.routerPort = static_cast<int>(n);
        else if (a == "--tls")
            o.tlsFolder = v;
        else if (a == "--token")
            o.token = v;
        else if (a == "--user")
            o.user = v;
        else if (a == "--ma")
            o.mediaAgent = v;
        else if (a == "--ma-host")
            o.mediaAgentHost = v;
        else if (a == "--via" && (v == "hubmaster" || v == "router"))
            o.viaHubmaster = v == "hubmaster";
        else if (a == "--client")
            o.client = v;
        else if (a == "--clients")
            o.clients = split(v);
        else if (a == "--client-id" && isNumber)
            o.clientId = static_cast<int>(n);
        else if (a == "--backup-set" && isNumber)
            o.backupSetId = static_cast<int>(n);
        else if (a == "--subclient" && isNumber)
            o.subclientId = static_cast<int>(n);
        else if (a == "--app-type" && isNumber)
            o.appType = static_cast<int>(n);
        else if (a == "--path")
            o.paths.push_back(v);
        else if (a == "--at" && parseConsoleTime(v, o.at))
            continue;
        else if (a == "--from" && parseConsoleTime(v, o.from))
            continue;
        else if (a == "--to" && parseConsoleTime(v, o.to))
            continue;
        else if (a == "--name")
            o.pattern = v;
        else if (a == "--page-size" && isNumber && n > 0)
            o.pageSize = static_cast<int>(n);
        else if (a == "--page" && isNumber && n >= 0)
            o.page = static_cast<int>(n);
        else if (a == "--session")
            o.session = v;
        else if (a == "--timeout" && isNumber && n > 0)
            o.timeoutSeconds = static_cast<int>(n);
        else
            return false;
    }
    if (o.command == EConsoleCommand::kVersions && (o.from <= 0 || o.to <= 0)) {
        error = "browse versions needs --from and --to\n" + consoleUsage();
        return false;
    }
    if (o.command == EConsoleCommand::kStop && o.session.empty()) {
        error = "browse stop needs --session\n" + consoleUsage();
        return false;
    }
    if (o.command == EConsoleCommand::kFind && o.pattern.empty()) {
        error = "browse find needs --name\n" + consoleUsage();
        return false;
    }
    if (o.viaHubmaster && o.command != EConsoleCommand::kList && o.command != EConsoleCommand::kVersions) {
        error = "--via hubmaster serves list and versions; the other commands go to BrowseRouter\n" +
                consoleUsage();
        return false;
    }
    if ((o.viaHubmaster || o.command == EConsoleCommand::kErase) && o.subclientId <= 0) {
        error = "--via hubmaster and erase need --subclient\n" + consoleUsage();
        return false;
    }
    if (o.command == EConsoleCommand::kErase && o.paths.empty()) {
        error = "browse erase needs --path <path>=<size>\n" + consoleUsage();
        return false;
    }
    if (o.client.empty() && o.clientId <= 0 && o.clients.empty() && o.command != EConsoleCommand::kStop) {
        error = "name the client with --client (or --clients for find)\n" + consoleUsage();
        return false;
    }
    error.clear();
    return true;
}

databrowse::BrowseRequest buildConsoleRequest(const TConsoleOptions& o) {
    databrowse::BrowseRequest r;
    r.setint64(R::opType, operationOf(o.command));
    if (!o.session.empty())
        r.getObjectAccessor(R::session, true)->setstring(databrowse::BrowseSession::f::sessionId, o.session);
    if (!o.token.empty()) r.setstring(R::c_763531, o.token);
    if (o.command == EConsoleCommand::kStop) return r;

    const bool acrossClients = o.command == EConsoleCommand::kFind && !o.clients.empty();
    if (acrossClients) {
        std::vector<CNMessageBase> targets;
        for (const std::string& name : o.clients) {
            databrowse::EntityWithFilters target;
            target.setObjectAccessor(entityOf(o, name), databrowse::EntityWithFilters::f::entity);
            targets.push_back(target);
        }
        r.setlistobject(R::c_975f21, targets);
    } else {
        r.setObjectAccessor(entityOf(o, o.client), R::entity);
    }

    std::vector<CNMessageBase> paths;
    for (std::string text : o.paths.empty() ? std::vector<std::string>{"\\"} : o.paths) {
        if (o.command == EConsoleCommand::kFind) text = findBelow(text);
        databrowse::BrowsePath path;
        long long size = 0;
        const size_t eq = text.rfind('=');
        if (o.command == EConsoleCommand::kErase && eq != std::string::npos &&
            number(text.substr(eq + 1), size)) {
            CNMessageBase* detail = path.getObjectAccessor(databrowse::BrowsePath::f::c_afda0b, true);
            if (o.subclientId > 0) detail->setint64(databrowse::Msg2::f::at1_1, o.subclientId);
            detail->setint64(databrowse::Msg2::f::itemSize, size);
            text.erase(eq);
        }
        path.setstring(databrowse::BrowsePath::f::path, text);
        paths.push_back(path);
    }
    r.setlistobject(R::paths, paths);

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
        query.getObjectAccessor(databrowse::Query::f::c_46937c, true)
            ->setint64(databrowse::Msg70::f::queryType, kCountQueryType);
    // A classic media agent pages by the request's mode; an index service by the query alone.
    if (o.pageSize > 0 && o.viaHubmaster)
        r.getObjectAccessor(R::mode, true)->setint64(databrowse::BrowseMode::f::mode, kModePage);
    if (o.pageSize > 0) {
        CNMessageBase* paging = query.getObjectAccessor(databrowse::Query::f::dataParam, true)
                                    ->getObjectAccessor(databrowse::DataParam::f::at2_2, true);
        paging->setint64(databrowse::Msg6::f::pageSize, o.pageSize);
        paging->setint64(databrowse::Msg6::f::skipNode, static_cast<int64_t>(o.page) * o.pageSize);
    }
    if (!o.pattern.empty()) {
        databrowse::FilteredBrowseCriteriaValue value;
        value.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, kAttributeName);
        value.setint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator, kOperatorMatches);
        value.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {o.pattern});
        databrowse::Criteria criteria;
        criteria.setObjectAccessor(value, databrowse::Criteria::f::criteria);
        query.setlistobject(databrowse::Query::f::c_b4ad36, {criteria});
    }
    r.setlistobject(R::queries, {query});
    return r;
}
