#include "tools/browse/consoleoutput.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "platform/msg/errorresponse.h"
#include "tools/browse/consoleoptions.h"

namespace {

using Resp = databrowse::BrowseResponse::f;
using D = databrowse::BrowseData::f;

CNMessageBase* childOf(CNMessageBase& owner, const MsgFieldRef& f) {
    return owner.isSet(f) ? owner.getObjectAccessor(f, false) : nullptr;
}

TConsoleItem itemOf(CNMessageBase& data) {
    TConsoleItem item;
    // A page of a classic browse names each item "<node>\x12<path>", the node for the next page.
    auto afterNode = [](std::string text) {
        const size_t node = text.find('\x12');
        return node == std::string::npos ? text : text.substr(node + 1);
    };
    item.name = afterNode(data.getstring(D::name));
    item.path = afterNode(data.getstring(D::path));
    const bool classic = item.path.empty() && item.name.find_first_of("/\\") != std::string::npos;
    if (classic) {
        // A classic media agent's item (through the Hubmaster) holds the whole path where the index
        // service puts the name, and the name as its second path.
        item.path = item.name;
        const std::string second = data.getstring(D::displayName);
        item.name = second.empty() ? item.path.substr(item.path.find_last_of("/\\") + 1) : second;
    }
    // A name for people beside an id-like path (a virtual machine's, a mailbox's), when it says more.
    const std::string shown = classic ? item.name : data.getstring(D::displayName);
    const std::string path = item.path.empty() ? item.name : item.path;
    const std::string last = path.substr(path.find_last_of("/\\") + 1);
    if (!shown.empty() && shown != last && (classic || shown != item.name)) item.displayName = shown;
    item.size = data.getint64(D::size);
    item.modified = data.getint64(D::modificationTime);
    item.version = data.getint64(D::version);
    if (CNMessageBase* flags = childOf(data, D::flags)) {
        item.directory = flags->getint64(databrowse::BrowseItemFlags::f::directory) != 0;
        item.deleted = flags->getint64(databrowse::BrowseItemFlags::f::deleted) != 0;
    }
    if (CNMessageBase* advanced = childOf(data, D::advancedData)) {
        item.backupTime = advanced->getint64(databrowse::Msg93::f::backupTime);
        if (CNMessageBase* subclient = childOf(*advanced, databrowse::Msg93::f::subclientEntity))
            item.subclientId = subclient->getint64(ZyEntities::Msg10::f::subclientId);
    }
    if (classic) {
        // The classic protocol's item has one time word, the backup time: it carries no modification
        // time to show.
        if (item.backupTime == 0) item.backupTime = item.modified;
        item.modified = 0;
    }
    return item;
}

std::string pad(std::string text, size_t width) {
    text.resize(std::max(text.size() + 1, width), ' ');
    return text;
}

std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

bool addConsoleResponse(TConsoleResult& result, databrowse::BrowseResponse& response) {
    const int64_t type = response.getint64(Resp::respType);
    if (type == databrowse::BROWSE_RESP_ITEMS) {
        if (CNMessageBase* browseResult = childOf(response, Resp::browseResult)) {
            const std::string queryId = browseResult->getstring(databrowse::BrowseResult::f::queryId);
            if (auto* data = browseResult->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
                for (CNMessageBase& d : *data) result.items.push_back(itemOf(d));
            if (auto* aggregates =
                    browseResult->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false))
                for (CNMessageBase& a : *aggregates) {
                    const long long count = a.getint64(databrowse::AggregateResult::f::count);
                    if (queryId == kConsoleTotalQuery)
                        result.total = count;
                    else
                        result.counts.emplace_back(queryId, count);
                }
        }
    } else if (type == databrowse::BROWSE_RESP_PREDICTIONS) {
        if (auto* predictions = response.getlistobject(Resp::predictions, false))
            for (CNMessageBase& p : *predictions) {
                CNMessageBase* logical = childOf(p, databrowse::PredictionData::f::logicalMedia);
                if (!logical) continue;
                TConsoleMedia m;
                m.archiveFileId = logical->getint64(databrowse::LogicalMedia::f::archFileId);
                m.size = logical->getint64(databrowse::LogicalMedia::f::size);
                m.data = (logical->getint64(databrowse::LogicalMedia::f::flags) & 0x8) != 0;
                if (CNMessageBase* k = childOf(*logical, databrowse::LogicalMedia::f::kelmarch))
                    m.kelmarchId = k->getint64(ZyEntities::KelmarchEntity::f::kelmarchId);
                if (CNMessageBase* physical = childOf(p, databrowse::PredictionData::f::physicalMedia)) {
                    using P = databrowse::PhysicalMedia::f;
                    m.label = physical->getstring(P::barcode);
                    m.library = physical->getstring(P::libraryName);
                    m.location = physical->getstring(P::location);
                    m.copy = physical->getstring(P::copyName);
                    if (m.copy.empty() && physical->getint64(P::copyId) > 0)
                        m.copy = std::to_string(physical->getint64(P::copyId));
                    m.mediaAgent = physical->getstring(P::mediaAgentName);
                }
                result.media.push_back(m);
            }
    } else if (type == databrowse::BROWSE_RESP_ERROR || type == databrowse::BROWSE_RESP_WARNING) {
        auto* messages = response.getlistobject(Resp::messages, false);
        for (size_t n = 0; messages && n < messages->size(); ++n) {
            CNMessageBase& m = (*messages)[n];
            const std::string text = m.getstring(databrowse::BrowseError::f::errorMessage);
            if (type == databrowse::BROWSE_RESP_WARNING) {
                result.warnings.push_back(text);
                switch (errorresponse::findPartOf(m.getint64(databrowse::BrowseError::f::errorCode))) {
                    case errorresponse::EFindPart::kRefused:
                        result.refused.push_back(text);
                        break;
                    case errorresponse::EFindPart::kNotSearched:
                        result.notSearched.push_back(text);
                        break;
                    case errorresponse::EFindPart::kWhole:
                        break;
                }
            } else if (result.error.empty()) {
                result.error = text.empty() ? "the browse failed without a message" : text;
                result.errorCode = m.getint64(databrowse::BrowseError::f::errorCode);
            }
        }
        if (type == databrowse::BROWSE_RESP_ERROR && result.error.empty())
            result.error = "the browse failed without a message";
    } else if (type == databrowse::BROWSE_RESP_END) {
        result.ended = true;
        return true;
    }
    return false;
}

namespace {

std::string utcText(long long seconds, const char* format) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

}  // namespace

std::string consoleTimeText(long long seconds) {
    return seconds <= 0 ? "-" : utcText(seconds, "%Y-%m-%d %H:%M:%S");
}

std::string consoleIsoTime(long long seconds) {
    return utcText(seconds, "%Y-%m-%dT%H:%M:%SZ");
}

std::string formatConsoleWarnings(const TConsoleResult& r) {
    std::string out;
    for (const std::string& w : r.warnings) out += "warning: " + w + "\n";
    return out;
}

std::string consoleHumanSize(long long bytes) {
    static const char* const kUnits[] = {"K", "M", "G", "T", "P"};
    if (bytes < 1024) return std::to_string(bytes);
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f%s" : "%.0f%s", value, kUnits[unit]);
    return text;
}

std::string formatConsoleTable(const TConsoleResult& r, const TConsoleFormat& format) {
    std::ostringstream out;
    char line[1024];
    auto size = [&](long long bytes) {
        return format.human ? consoleHumanSize(bytes) : std::to_string(bytes);
    };
    if (!r.items.empty()) {
        if (format.acrossClients) out << pad("CLIENT", 12);
        std::snprintf(line, sizeof line, "%-4s %14s  %-19s  %-19s  %s\n", "TYPE", "SIZE", "MODIFIED (UTC)",
                      "BACKED UP (UTC)", "PATH");
        out << line;
        for (const TConsoleItem& i : r.items) {
            if (format.acrossClients)
                out << pad(i.client.empty() ? "subclient " + std::to_string(i.subclientId) : i.client, 12);
            std::snprintf(line, sizeof line, "%-4s %14s  %-19s  %-19s  %s%s\n", i.directory ? "dir" : "file",
                          size(i.size).c_str(), consoleTimeText(i.modified).c_str(),
                          consoleTimeText(i.backupTime).c_str(),
                          ((i.path.empty() ? i.name : i.path) +
                           (i.displayName.empty() ? "" : "  (" + i.displayName + ")"))
                              .c_str(),
                          i.deleted ? "  (deleted)" : "");
            out << line;
        }
    }
    // Items before a failure are what arrived, never the whole listing: said even when none had.
    const bool partial = !r.error.empty() && !r.incomplete.empty();
    if (!r.items.empty() || partial) {
        out << r.items.size() << (r.items.size() == 1 ? " item" : " items");
        if (r.pageSize > 0 && !r.items.empty()) {
            const long long first = static_cast<long long>(r.page - 1) * r.pageSize + 1;
            out << " (" << first << "-" << first + static_cast<long long>(r.items.size()) - 1;
            if (r.total >= 0)
                out << " of " << r.total << "), page " << r.page << " of "
                    << (r.total + r.pageSize - 1) / r.pageSize;
            else
                out << "), page " << r.page;
        }
        if (!r.error.empty())
            out << "; incomplete: "
                << (!r.incomplete.empty()        ? r.incomplete
                    : r.exitCode == kExitRefused ? std::string("a part of it was refused")
                                                 : std::string("the answer was cut short"))
                << " (the error follows)";
        out << "\n";
    } else if (r.pageSize > 0 && r.error.empty() && r.note.empty()) {
        out << "no items on page " << r.page;
        if (r.total >= 0)
            out << " of " << (r.total + r.pageSize - 1) / r.pageSize << " (" << r.total << " items)";
        out << "\n";
    }
    for (const auto& [query, count] : r.counts)
        out << (query.empty() || query == "count" ? "count" : "count " + query) << ": " << count << "\n";
    if (!r.media.empty()) {
        std::snprintf(line, sizeof line, "%-5s %12s %10s %14s  %-12s %-14s %-20s %s\n", "KIND",
                      "ARCHIVE FILE", "KELMARCH", "SIZE", "LABEL", "LIBRARY", "COPY", "MEDIA AGENT");
        out << line;
        long long total = 0;
        auto text = [](const std::string& t) { return t.empty() ? std::string("-") : t; };
        for (const TConsoleMedia& m : r.media) {
            std::snprintf(line, sizeof line, "%-5s %12lld %10lld %14s  %-12s %-14s %-20s %s\n",
                          m.data ? "data" : "index", m.archiveFileId, m.kelmarchId, size(m.size).c_str(),
                          text(m.label).c_str(), text(m.library).c_str(), text(m.copy).c_str(),
                          text(m.mediaAgent).c_str());
            out << line;
            total += m.size;
        }
        out << r.media.size() << " archive files, "
            << (format.human ? size(total) : std::to_string(total) + " bytes") << "\n";
    }
    // Warnings are not part of the answer: they go to standard error (formatConsoleWarnings).
    if (!r.note.empty()) out << r.note << "\n";
    if (r.items.empty() && r.counts.empty() && r.media.empty() && r.note.empty() && r.error.empty() &&
        r.pageSize <= 0)
        out << "no items\n";
    return out.str();
}

std::string formatConsoleJson(const TConsoleResult& r) {
    std::ostringstream out;
    out << "{\"session\":" << jsonText(r.session) << ",\"items\":[";
    for (size_t n = 0; n < r.items.size(); ++n) {
        const TConsoleItem& i = r.items[n];
        out << (n ? "," : "") << "{\"name\":" << jsonText(i.name) << ",\"path\":" << jsonText(i.path)
            << ",\"type\":" << (i.directory ? "\"dir\"" : "\"file\"") << ",\"size\":" << i.size
            << ",\"modified\":" << i.modified << ",\"backupTime\":" << i.backupTime;
        // The same times as ISO 8601 (UTC), for readers that do not count seconds since 1970.
        if (i.modified > 0) out << ",\"modifiedIso\":" << jsonText(consoleIsoTime(i.modified));
        if (i.backupTime > 0) out << ",\"backupTimeIso\":" << jsonText(consoleIsoTime(i.backupTime));
        out << ",\"version\":" << i.version << ",\"deleted\":" << (i.deleted ? "true" : "false");
        if (i.subclientId > 0) out << ",\"subclientId\":" << i.subclientId;
        if (!i.client.empty()) out << ",\"client\":" << jsonText(i.client);
        if (!i.displayName.empty()) out << ",\"displayName\":" << jsonText(i.displayName);
        out << "}";
    }
    out << "],\"counts\":[";
    for (size_t n = 0; n < r.counts.size(); ++n)
        out << (n ? "," : "") << "{\"query\":" << jsonText(r.counts[n].first)
            << ",\"count\":" << r.counts[n].second << "}";
    out << "],\"media\":[";
    for (size_t n = 0; n < r.media.size(); ++n) {
        const TConsoleMedia& m = r.media[n];
        out << (n ? "," : "") << "{\"archiveFileId\":" << m.archiveFileId
            << ",\"kelmarchId\":" << m.kelmarchId << ",\"size\":" << m.size
            << ",\"kind\":" << (m.data ? "\"data\"" : "\"index\"");
        for (const auto& [key, value] : {std::pair<const char*, const std::string*>{"label", &m.label},
                                         {"library", &m.library},
                                         {"location", &m.location},
                                         {"copy", &m.copy},
                                         {"mediaAgent", &m.mediaAgent}})
            if (!value->empty()) out << ",\"" << key << "\":" << jsonText(*value);
        out << "}";
    }
    out << "],\"warnings\":[";
    for (size_t n = 0; n < r.warnings.size(); ++n) out << (n ? "," : "") << jsonText(r.warnings[n]);
    out << "]";
    if (r.pageSize > 0) {
        out << ",\"page\":" << r.page << ",\"pageSize\":" << r.pageSize;
        if (r.total >= 0) out << ",\"total\":" << r.total;
    }
    if (!r.note.empty()) out << ",\"note\":" << jsonText(r.note);
    out << ",\"complete\":" << (r.error.empty() ? "true" : "false");
    // The code is the exit status table's, whatever code the service gave its error.
    if (!r.error.empty())
        out << ",\"error\":{\"code\":" << r.exitCode << ",\"exitStatus\":" << r.exitCode
            << ",\"message\":" << jsonText(r.error) << "}";
    out << "}\n";
    return out.str();
}
