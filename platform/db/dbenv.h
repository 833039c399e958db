// The process's Hubmaster database: which file it is, and the connection of each thread. The host (or a
// test) opens it once; any thread then gets its own connection on first use. open/close from any
// thread; connections handed out are used only by the thread that asked for them.
#pragma once

#include <memory>
#include <string>

#include "platform/db/dbbackend.h"
#include "platform/threads/hubclock.h"

namespace zydb {

class CDbEnv {
public:
    // Makes `path` the process's database and checks it by connecting once. Connections that threads
    // hold on an earlier database are replaced at their next use. Connections given back and left
    // unused for 30 seconds of `clock` are closed then. Returns a DbResult.
    static int open(const std::string& path, const DbOpenOptions& options = {}, std::string* error = nullptr,
                    const CHubClock& clock = CHubClock::real());
    // Forgets the database; later requests for a connection fail with DB_ERR_NOT_OPEN.
    static void close();
    static bool isOpen();
    static std::string path();
    // The clock the database was opened with: the present time of what its procedures decide and stamp.
    static const CHubClock& clock();
    // Changes with every open and close: connections of different generations may be of different files.
    static unsigned long long generation();

    // The calling thread's connection, opened on first use. Null with *rc set when there is no
    // database or it cannot be opened (the reason in *error).
    static std::shared_ptr<IDbConnection> threadConnection(int* rc, std::string* error = nullptr);
    // Gives the calling thread's connection back to the connections kept for the next threads (or
    // closes it when they are enough), as the end of the thread does: a thread that waits for work holds
    // none. Also run for every waiting thread through releaseThreadResources (threadresources.h).
    static void releaseThreadConnection();
    // A connection of its own, for a transaction that must not share the thread's.
    static std::shared_ptr<IDbConnection> newConnection(int* rc, std::string* error = nullptr);
};

}  // namespace zydb
