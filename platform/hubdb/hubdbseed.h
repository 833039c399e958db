// HubDbSeed: builds a Hubmaster database file for tests, benchmarks and the demo. It creates the
// schema, then adds rows through small typed calls that fill every column a reader may look at and
// return the new row's id (or -1, with error()). One object per file, used by one thread.
//
//   hubdb::HubDbSeed seed(dir + "/hub.db");
//   int ma = seed.addMediaAgent({.name = "ma1"}, "11.0");
//   int sp = seed.addStoragePolicy("sp1", ma);                   // with its primary copy on ma
//   int client = seed.addClient({.name = "client1"});
//   int bs = seed.addBackupSet("defaultBackupSet");
//   int sc = seed.addSubclient({.clientId = client, .appTypeId = 29, .backupSetId = bs, .storagePolicyId =
//   sp}); seed.addBackup(sc, 1, 1700000000);                           // a full job: a data and an index
//   file hubdb::openHubDatabase(dir + "/hub.db");                     // then read it through the families
//
// The seed's additions for other areas (RowSeed, FamiliesBSeed, and the archive, entity and security
// seeds of their components) are SeedParts over the same object: the schema is whole from the start,
// so they only insert. Extending it for another table: add the table to hubtables.def (or write its
// family), then one add... call that inserts through insertRow() with every column the readers use.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/hubdb/hubdb.h"

namespace hubdb {

struct ClientSeed {
    std::string name{};
    std::string hostName{};     // empty: the name
    std::string guid{};         // empty: a GUID made from the new id
    std::string displayName{};  // empty: the name
    std::string description{};  // empty: NULL
    int zydPort = 0;
    int releaseId = 0;
    int osId = 0;
    int kelmarchId = kDefaultKelmarchId;
};

struct SubclientSeed {
    int clientId = 0;
    int appTypeId = 0;
    int backupSetId = 0;
    int instanceId = 1;
    std::string name = "default";
    std::string guid{};       // empty: made from the new id
    int storagePolicyId = 0;  // data and log storage policy
    int status = 0;           // subclientStatus
    int kelmarchId = kDefaultKelmarchId;
};

struct JobSeed {
    int appId = 0;
    int level = 1;  // 1 full, 2 incremental, 4 differential, 64 synthetic full
    int startTime = 0;
    int endTime = 0;       // 0: the start time
    int status = 1;        // completion status of a finished job
    bool running = false;  // a running job goes to JMJobInfo, not JMBkpStats
    int kelmarchId = kDefaultKelmarchId;
};

// One row of a versioned property table (APP_ClientProp, APP_SubClientProp, APP_IDAProp,
// APP_InstanceProp, APP_BackupSetProp, UMUsersProp).
struct PropertySeed {
    int ownerId = 0;  // componentNameId: the client, subclient, agent, instance, backup set or user
    std::string name{};
    std::string value{};
    long long created = 0;
    long long modified = 0;  // 0: the current value
    int attrType = 0;
};

struct ArchFileSeed {
    int appId = 0;
    int jobId = 0;
    int fileType = 1;  // 1 data, 2 and 6 index
    int cTime = 0;
    int backupLevel = 1;
    std::string name{};  // empty: "Not Named"
    int flags = 0;
    bool valid = true;
    int storagePolicyId = 0;  // 0: the subclient's data storage policy
    long long physicalSize = 0;
    long long logicalSize = 0;
    int kelmarchId = kDefaultKelmarchId;
};

class HubDbSeed {
public:
    // Creates the file when missing and its schema.
    explicit HubDbSeed(const std::string& path);
    ~HubDbSeed();
    HubDbSeed(const HubDbSeed&) = delete;
    HubDbSeed& operator=(const HubDbSeed&) = delete;

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    const std::string& path() const { return m_path; }
    zydb::IDbConnection* connection() { return m_conn.get(); }

    int addClient(const ClientSeed& client);
    // A client that is a media agent: its release text (the leading number is the major version) and
    // whether its index cache is online (1).
    int addMediaAgent(const ClientSeed& client, const std::string& version = "11.0",
                      int idxCacheSoftState = 1);
    // A storage policy with its primary copy (precedence 1) on the media agent.
    int addStoragePolicy(const std::string& name, int mediaAgentClientId);
    // A further copy of a storage policy; archive files added afterwards get a copy on it too.
    int addCopy(int storagePolicyId, int precedence, int mediaAgentClientId, const std::string& name = "");
    // The id of the copy of `precedence` of a storage policy, or -1.
    int copyId(int storagePolicyId, int precedence);
    // Makes `copyId` the storage policy's default copy (0: none).
    int setDefaultCopy(int storagePolicyId, int copyId);
    // Marks a copy as a snapshot copy (or not).
    int setSnapCopy(int copyId, bool snap = true);
    int addBackupSet(const std::string& name, const std::string& guid = "");
    int addSubclient(const SubclientSeed& subclient);
    // Links a virtual machine's client to its parent (hypervisor) and child (its own) backup sets.
    int linkVirtualMachine(int vmClientId, int parentBackupSetId, int childBackupSetId);
    // A row of a property table (`table` is one of PropertySeed's, never outside text); its id.
    int addProperty(const char* table, const PropertySeed& property);
    // A new version at `at` through setVersionedProperty: the current row of the name ends there and
    // the new value starts there (the same value and type change nothing); the id of the row in force.
    int changeProperty(const char* table, int ownerId, const std::string& name, const std::string& value,
                       long long at, int attrType = 0);
    int addSubclientProperty(int subclientId, const std::string& name, const std::string& value,
                             long long created = 0, long long modified = 0, int attrType = 0);
    // A job; returns its id.
    int addJob(const JobSeed& job);
    // An archive file with a valid copy on every copy of its storage policy (on each copy's media
    // agent); returns its id.
    int addArchFile(const ArchFileSeed& file);
    // Marks an archive file aged on the copy of `precedence`.
    int ageArchFile(int archFileId, int precedence);
    // The job is finished: it leaves JMJobInfo for JMBkpStats.
    int finishJob(int jobId, int endTime);

    // One job of `level` at `time` with `dataFiles` data files and, when asked, an index file.
    struct Backup {
        int jobId = -1;
        std::vector<int> dataFiles;
        int indexFile = 0;
    };
    Backup addBackup(int appId, int level, int time, int dataFiles = 1, bool indexFile = true,
                     bool running = false);

    // Runs several adds in one transaction (much faster for large seeds).
    int begin();
    int commit();

    // The GUID the seed gives a row of `kind` (1 client, 2 instance, 3 backup set, 4 subclient, 5 user)
    // that names none: unique per kind and id, the same in every run.
    static std::string makeGuid(int kind, long long id);

    // Any statement, with bound parameters; a cached statement is reused.
    int exec(const std::string& sql, const std::vector<zydb::DbValue>& params = {});
    // Inserts one row by column name; returns the row id (the serial column's value).
    long long insertRow(const std::string& table,
                        const std::vector<std::pair<std::string, zydb::DbValue>>& columns);
    // The first column of the first row of a query, as an integer (def when there is none).
    long long queryInt(const std::string& sql, const std::vector<zydb::DbValue>& params = {},
                       long long def = 0);

private:
    int fail(const std::string& what);

    std::string m_path;
    std::string m_error;
    std::unique_ptr<zydb::IDbConnection> m_conn;
    std::map<std::string, std::unique_ptr<zydb::IDbStatement>> m_cache;
    std::map<int, int> m_subclientPolicy;  // subclient -> storage policy
};

// What the seed's additions share: the seed they add rows through, and turning a failed insert into
// -1 with the first reason kept in error().
class SeedPart {
public:
    bool ok() const { return m_error.empty() && m_seed.ok(); }
    const std::string& error() const { return m_error.empty() ? m_seed.error() : m_error; }

protected:
    explicit SeedPart(HubDbSeed& seed) : m_seed(seed) {}
    // `id` (a row id, or 0 for success), or -1 when it is negative.
    int checked(long long id);
    // -1, keeping `what` and the seed's reason unless a reason is kept already.
    int fail(const std::string& what);

    HubDbSeed& m_seed;
    std::string m_error;
};

// Bound values of the seed's inserts, short because every insert lists many.
namespace seedvalues {
inline zydb::DbValue I(long long v) {
    return zydb::DbValue::ofInt(v);
}
inline zydb::DbValue T(const std::string& v) {
    return zydb::DbValue::ofText(v);
}
// Empty text is stored as NULL (the owned-text columns' "not set").
inline zydb::DbValue TextOrNull(const std::string& v) {
    return v.empty() ? zydb::DbValue{} : zydb::DbValue::ofText(v);
}
}  // namespace seedvalues

}  // namespace hubdb
