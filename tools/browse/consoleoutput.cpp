#include "tools/browse/consoleoutput.h"

#include <cstdio>
#include <ctime>
#include <sstream>

namespace {

using Resp = databrowse::BrowseResponse::f;
using D = databrowse::BrowseData::f;

constexpr int64_t kItems = 0, kPredictions = 1, kError = 3, kWarning = 4, kEnd = 5;

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
    if (item.path.empty() && item.name.find_first_of("/\\") != std::string::npos) {
        // A classic media agent's item (through the Hubmaster) holds the whole path where the index
        // service puts the name, and the name as its second path.
        item.path = item.name;
        const std::string second = data.getstring(D::displayName);
        item.name = second.empty() ? item.path.substr(item.path.find_last_of("/\\") + 1) : second;
    }
    item.size = data.getint64(D::size);
    item.modified = data.getint64(D::modificationTime);
    item.version = data.getint64(D::version);
    if (CNMessageBase* flags = childOf(data, D::flags)) {
        item.directory = flags->getint64(databrowse::BrowseItemFlags::f::directory) != 0;
        item.deleted = flags->getint64(databrowse::BrowseItemFlags::f::deleted) != 0;
    }
    if (CNMessageBase* advanced = childOf(data, D::advancedData))
        item.backupTime = advanced->getint64(databrowse::Msg93::f::backupTime);
    return item;
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
    if (type == kItems) {
        if (CNMessageBase* browseResult = childOf(response, Resp::browseResult)) {
            const std::string queryId = browseResult->getstring(databrowse::BrowseResult::f::queryId);
            if (auto* data = browseResult->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
                for (CNMessageBase& d : *data) result.items.push_back(itemOf(d));
            if (auto* aggregates =
                    browseResult->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false))
                for (CNMessageBase& a : *aggregates)
                    result.counts.emplace_back(queryId, a.getint64(databrowse::AggregateResult::f::count));
        }
    } else if (type == kPredictions) {
        if (auto* predictions = response.getlistobject(Resp::c_728cd9, false))
            for (CNMessageBase& p : *predictions) {
                CNMessageBase* logical = childOf(p, databrowse::PredictionData::f::logicalMedia);
                if (!logical) continue;
                TConsoleMedia m;
                m.archiveFileId = logical->getint64(databrowse::LogicalMedia::f::archFileId);
                m.size = logical->getint64(databrowse::LogicalMedia::f::size);
                m.data = (logical->getint64(databrowse::LogicalMedia::f::flags) & 0x8) != 0;
                if (CNMessageBase* k = childOf(*logical, databrowse::LogicalMedia::f::kelmarch))
                    m.kelmarchId = k->getint64(ZyEntities::KelmarchEntity::f::kelmarchId);
                result.media.push_back(m);
            }
    } else if (type == kError || type == kWarning) {
        auto* messages = response.getlistobject(Resp::messages, false);
        for (size_t n = 0; messages && n < messages->size(); ++n) {
            CNMessageBase& m = (*messages)[n];
            const std::string text = m.getstring(databrowse::BrowseError::f::errorMessage);
            if (type == kWarning) {
                result.warnings.push_back(text);
            } else if (result.error.empty()) {
                result.error = text.empty() ? "the browse failed without a message" : text;
                result.errorCode = m.getint64(databrowse::BrowseError::f::errorCode);
            }
        }
        if (type == kError && result.error.empty()) result.error = "the browse failed without a message";
    } else if (type == kEnd) {
        result.ended = true;
        return true;
    }
    return false;
}

std::string consoleTimeText(long long seconds) {
    if (seconds <= 0) return "-";
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string formatConsoleTable(const TConsoleResult& r) {
    std::ostringstream out;
    char line[512];
    if (!r.items.empty()) {
        std::snprintf(line, sizeof line, "%-4s %14s  %-19s  %-19s  %s\n", "TYPE", "SIZE", "MODIFIED",
                      "BACKED UP", "PATH");
        out << line;
        for (const TConsoleItem& i : r.items) {
            std::snprintf(line, sizeof line, "%-4s %14lld  %-19s  %-19s  %s%s\n",
                          i.directory ? "dir" : "file", i.size, consoleTimeText(i.modified).c_str(),
                          consoleTimeText(i.backupTime).c_str(), (i.path.empty() ? i.name : i.path).c_str(),
                          i.deleted ? "  (deleted)" : "");
            out << line;
        }
        out << r.items.size() << (r.items.size() == 1 ? " item\n" : " items\n");
    }
    for (const auto& [query, count] : r.counts)
        out << "count" << (query.empty() ? "" : " " + query) << ": " << count << "\n";
    if (!r.media.empty()) {
        std::snprintf(line, sizeof line, "%-5s %12s %10s %14s\n", "KIND", "ARCHIVE FILE", "KELMARCH", "SIZE");
        out << line;
        long long total = 0;
        for (const TConsoleMedia& m : r.media) {
            std::snprintf(line, sizeof line, "%-5s %12lld %10lld %14lld\n", m.data ? "data" : "index",
                          m.archiveFileId, m.kelmarchId, m.size);
            out << line;
            total += m.size;
        }
        out << r.media.size() << " archive files, " << total << " bytes\n";
    }
    for (const std::string& w : r.warnings) out << "warning: " << w << "\n";
    if (!r.note.empty()) out << r.note << "\n";
    if (r.items.empty() && r.counts.empty() && r.media.empty() && r.note.empty() && r.error.empty())
        out << "no items\n";
    return out.str();
}

std::string formatConsoleJson(const TConsoleResult& r) {
    std::ostringstream out;
    out << "{\"items\":[";
    for (size_t n = 0; n < r.items.size(); ++n) {
        const TConsoleItem& i = r.items[n];
        out << (n ? "," : "") << "{\"name\":" << jsonText(i.name) << ",\"path\":" << jsonText(i.path)
            << ",\"type\":" << (i.directory ? "\"dir\"" : "\"file\"") << ",\"size\":" << i.size
            << ",\"modified\":" << i.modified << ",\"backupTime\":" << i.backupTime
            << ",\"version\":" << i.version << ",\"deleted\":" << (i.deleted ? "true" : "false") << "}";
    }
    out << "],\"counts\":[";
    for (size_t n = 0; n < r.counts.size(); ++n)
        out << (n ? "," : "") << "{\"query\":" << jsonText(r.counts[n].first)
            << ",\"count\":" << r.counts[n].second << "}";
    out << "],\"media\":[";
    for (size_t n = 0; n < r.media.size(); ++n)
        out << (n ? "," : "") << "{\"archiveFileId\":" << r.media[n].archiveFileId
            << ",\"kelmarchId\":" << r.media[n].kelmarchId << ",\"size\":" << r.media[n].size
            << ",\"kind\":" << (r.media[n].data ? "\"data\"" : "\"index\"") << "}";
    out << "],\"warnings\":[";
    for (size_t n = 0; n < r.warnings.size(); ++n) out << (n ? "," : "") << jsonText(r.warnings[n]);
    out << "]";
    if (!r.note.empty()) out << ",\"note\":" << jsonText(r.note);
    if (!r.error.empty())
        out << ",\"error\":{\"code\":" << r.errorCode << ",\"message\":" << jsonText(r.error) << "}";
    out << "}\n";
    return out.str();
}
