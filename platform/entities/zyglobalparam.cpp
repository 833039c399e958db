#include "platform/entities/zyglobalparam.h"

#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/threadsql.h"

namespace {

// A request asks for the same few parameters again and again: read once per request, outside a
// transaction (the thread's own connection never holds one open). The memo (zydb::DatabaseMemo) holds the
// rows of the names asked, nothing but the database's.
int readParameter(zydb::CRequestReads* reads, const std::string& name, std::string& value) {
    using TAsked = std::map<std::string, std::pair<int, std::string>>;
    TAsked* memo = reads ? reads->memo<TAsked>() : nullptr;
    if (memo)
        if (auto it = memo->find(name); it != memo->end()) {
            if (it->second.first == zydb::DB_OK) value = it->second.second;
            return it->second.first;
        }
    std::vector<zydb::DbValue> row;
    int rc = hubdb::threadQueryFirstRow(
        "SELECT value FROM NBGlobalParam WHERE name = ? AND modified = 0 ORDER BY id DESC LIMIT 1",
        {zydb::DbValue::ofText(name)}, row);
    if (rc == zydb::DB_OK) value = row[0].asText();
    if (memo && (rc == zydb::DB_OK || rc == zydb::DB_NO_DATA))
        (*memo)[name] = {rc, rc == zydb::DB_OK ? value : std::string()};
    return rc;
}

}  // namespace

int ZYGlobalParam::get(const std::string& name, std::string& value, void*) {
    return readParameter(nullptr, name, value);
}

int ZYGlobalParam::get(zydb::CRequestReads* reads, const std::string& name, std::string& value) {
    return readParameter(reads, name, value);
}

int ZYGlobalParam::get(const std::string& name, int& value, void*) {
    return get(nullptr, name, value);
}

int ZYGlobalParam::get(zydb::CRequestReads* reads, const std::string& name, int& value) {
    std::string text;
    int rc = readParameter(reads, name, text);
    if (rc == zydb::DB_OK) value = static_cast<int>(std::strtol(text.c_str(), nullptr, 0));
    return rc;
}
