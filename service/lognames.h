// How the service's log lines name a user or a client: by name and id, so that a reader of the log
// need not look ids up ("user [alice] (id 3)"). The name is left out when the database has none. Any
// thread with a database connection.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbresult.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/threadsql.h"

inline std::string loggedUser(long long id) {
    std::vector<zydb::DbValue> row;
    const std::string number = "(id " + std::to_string(id) + ")";
    if (id > 0 &&
        hubdb::threadQueryFirstRow("SELECT login FROM UMUsers WHERE id = ?", {zydb::DbValue::ofInt(id)},
                                   row) == zydb::DB_OK &&
        !row.empty() && !row[0].asText().empty())
        return "user [" + row[0].asText() + "] " + number;
    return "user " + number;
}

inline std::string loggedClient(long long id) {
    std::string name;
    if (id > 0 && ZYClient(static_cast<unsigned long>(id)).getName(name) == 0 && !name.empty())
        return "client [" + name + "] (id " + std::to_string(id) + ")";
    return "client (id " + std::to_string(id) + ")";
}
