#include "platform/entities/zyglobalparam.h"

#include <cstdlib>

#include "platform/db/dbresult.h"
#include "platform/hubdb/threadsql.h"

int ZYGlobalParam::get(const std::string& name, std::string& value, void*) {
    std::vector<zydb::DbValue> row;
    int rc = hubdb::threadQueryFirstRow(
        "SELECT value FROM NBGlobalParam WHERE name = ? AND modified = 0 ORDER BY id DESC LIMIT 1",
        {zydb::DbValue::ofText(name)}, row);
    if (rc == zydb::DB_OK) value = row[0].asText();
    return rc;
}

int ZYGlobalParam::get(const std::string& name, int& value, void* transaction) {
    std::string text;
    int rc = get(name, text, transaction);
    if (rc == zydb::DB_OK) value = static_cast<int>(std::strtol(text.c_str(), nullptr, 0));
    return rc;
}
