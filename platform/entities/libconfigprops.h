// The configuration library's handlers of client and subclient requests: LibConfigAppClientProp
// (pseudo-client creation, client deletion) and LibConfigSubClientProp (subclient deletion) over their
// base EntityProperties, carried out on the Hubmaster tables from the application manager's XML
// requests. Made on the caller's stack and used by the thread that made it.
//
// Transactions: a call works inside the transaction it is given (a DBtran*), else the one its handler
// was made with, else one of its own ("LibConfigApp") that it commits when it succeeds. Whichever it
// is, a call that fails leaves none of its own changes behind (its work runs in a savepoint).
#pragma once

#include <functional>
#include <string>

#include "platform/db/dbbackend.h"
#include "platform/log/evdebug.h"

class DBtran;

// The pseudo-client kind these handlers make (App::CreatePseudoClientRequest, field 1 of its client
// description) and what an index-backup pseudo-client is made of.
inline constexpr int kIndexBackupPseudoClientType = 29;
inline constexpr const char* kDefaultBackupSetName = "defaultBackupSet";
inline constexpr const char* kDefaultSubclientName = "default";

// Results of the handlers besides 0 and the database's own codes.
enum LibConfigResult : int {
    LIBCONFIG_BAD_REQUEST = 3001,  // not the expected request, or it lacks what it must name
    LIBCONFIG_NOT_SERVED = 3002,   // a request kind or pseudo-client type these handlers do not serve
    LIBCONFIG_EXISTS = 3003,       // a client of that name exists already
    LIBCONFIG_NOT_FOUND = 3004,    // a named client or subclient does not exist, or is another one
    LIBCONFIG_REFUSED = 3005,      // the Hubmaster's own client; an index client no media agent waits for
};

class EntityProperties {
public:
    explicit EntityProperties(void* transaction);
    virtual ~EntityProperties();
    EntityProperties(const EntityProperties&) = delete;
    EntityProperties& operator=(const EntityProperties&) = delete;

    // Why the last call failed; empty after a success.
    const std::string& getErrorString() const { return m_error; }

protected:
    using Work = std::function<int(DBtran& tran, zydb::IDbConnection& conn)>;
    // Runs `work` as described at the top, in `callTransaction` (a DBtran*) when given.
    int runInTransaction(void* callTransaction, const Work& work);
    // Records and logs the reason of a failure; returns `code`.
    int refuse(int code, const std::string& why);

private:
    DBtran* m_tran;  // not owned; null: each call has a transaction of its own
    std::string m_error;
};

class LibConfigAppClientProp : public EntityProperties {
public:
    // `flags` selects nothing in this library; kept for its callers.
    LibConfigAppClientProp(int flags, void* transaction);
    ~LibConfigAppClientProp() override;

    // Creates the pseudo-client of an App::CreatePseudoClientRequest: an index-backup client (type 29)
    // of the media agent whose index client bears that name (hubdb::indexClientName), with the named
    // instance, the backup set "defaultBackupSet" and its subclient "default" of application type 64;
    // the media agent's IdxIndexClient row links them. 0 when made.
    int createPseudoClient(const std::string& xml, void* transaction);
    // Deletes every client of an App::DeleteClientRequest (entity list: client id and, when given, its
    // name) with its subclients, their properties, contents and schedule entries, its instances, the
    // backup sets no other client uses, its properties and its index-client row. 0 when deleted.
    int deleteClient(const std::string& xml, void* transaction);
};

class LibConfigSubClientProp : public EntityProperties {
public:
    explicit LibConfigSubClientProp(void* transaction);
    ~LibConfigSubClientProp() override;

    // Serves App::DeleteSubClientRequest: deletes every subclient of its entity list with its
    // properties, contents and schedule entries. Other requests are not served. 0 when done.
    int handleSubClientPropertiesRequest(const std::string& xml, void* transaction);
};
