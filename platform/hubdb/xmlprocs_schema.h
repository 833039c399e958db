// Tables of the XML-answering procedures that no service family reads: which users own which clients,
// and the live-browse configuration of machines; and making a database complete for those
// procedures. Any thread, on a connection it owns; normally once, when a database is created or
// opened for tests.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/ddl.h"

namespace hubdb {

// The owners of clients: a user who owns a virtual machine (or laptop) sees it in his client list.
#define APP_ClientOwner_COLUMNS(COL) COL(clientId, i) COL(userId, i)
// Live browse of a machine: whether a proxy machine is required, which client is the proxy, and the
// user name to log on with. userId 0 is the row for every user; a user's own row takes precedence.
#define APP_LiveBrowseConfig_COLUMNS(COL) \
    COL(clientId, i) COL(userId, i) COL(proxyRequired, i) COL(proxyClientId, i) COL(userName, sN<257>)

// The helper tables above.
std::vector<zydb::TableSpec> xmlProcsTableSpecs();

// Creates what is missing of those tables and of the tables of the other procedures they read (index
// databases, checkpoints, VM links, properties), keeping every row. Returns a zydb::DbResult, the
// failing statement in `error`.
int ensureXmlProcsSchema(zydb::IDbConnection& conn, std::string* error = nullptr);

}  // namespace hubdb
