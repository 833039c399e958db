// Where a client's listener is, as the Hubmaster database records it (APP_Client: host name and zyd
// port), for programs that serve the network directory from that database. Any thread with a database
// connection.
#pragma once

#include <string>

#include "platform/net/zynetwork.h"

// The listener of the client named `name` (by client name or host name); false when the client is
// unknown or has no port.
bool ZyClientAddressFromDatabase(const std::string& name, TZyNetAddress& address);
