// ApplicationId: the identity of one application (subclient) of a client, from the values a browse
// names (Kelmarch, client, application type, instance, backup set, subclient): resolves the
// application id, and the default subclient of a backup set when no subclient is named. Made on the
// caller's stack; any thread (reads run on the calling thread's connection, or in the transaction the
// caller hands in).
#pragma once

#include <memory>
#include <string>

#include "platform/tasks/appidinfo.h"

class BackupSet;
class Instance;
class ZYClient;

// The subclient an ApplicationId resolved to.
class ApplicationSubclient {
public:
    ApplicationSubclient(unsigned long id, std::string name) : m_id(id), m_name(std::move(name)) {}
    unsigned long getId() const { return m_id; }
    const std::string& getName() const { return m_name; }

private:
    unsigned long m_id;
    std::string m_name;
};

class ApplicationId {
public:
    ApplicationId(unsigned long kelmarchId, unsigned long clientId, unsigned long appType,
                  unsigned long instanceId, unsigned long backupSetId, unsigned long subclientId);
    explicit ApplicationId(const AppIdInfo& info);
    // An existing application (subclient) by its id.
    ApplicationId(unsigned long kelmarchId, unsigned long appId);

    // The values this object was made with, and once getAppId succeeded, what it resolved.
    const AppIdInfo& getAppIdInfo() const { return m_info; }

    // The application id: the subclient's own when one is named (it must exist and, when a client is
    // named, belong to it), else the backup set's subclient named "default" (or its first one). 0 when
    // found; 100 when there is none; else the database error. `appId` changes only on 0.
    int getAppId(unsigned long& appId, void* transaction = nullptr);
    // The subclient of the resolved application id (null when it cannot be resolved).
    std::unique_ptr<ApplicationSubclient> getSubclient(void* transaction = nullptr);

    // Builds the whole identity of an application named by its id (client, application type,
    // instance, backup set), read inside `transaction` (a DBtran*) when given. 0 when the application
    // exists; 100 when it does not; else the database error.
    int createApplicationId(void* transaction = nullptr);
    // Sends the application's data from now on to storage policy `archGroupId`, inside `transaction`
    // when given, else in a transaction of its own. 0 when set; 100 for an unknown application or
    // storage policy; else the database error.
    int setDataArchiveGroup(unsigned long archGroupId, void* transaction = nullptr);

    // The default backup set of a client's application type: the one named "defaultBackupSet", else
    // the lowest id among the backup sets of its subclients. 0 when found; 100 when the client has none;
    // else the database error. `id` and `name` change only on 0.
    static int getDefaultBackupSet(unsigned long clientId, unsigned long appType, unsigned long& id,
                                   std::string& name, void* transaction = nullptr);

    // The parts of an application named by its id (resolved on first use, inside `transaction` when
    // given): its client, its instance (an InstanceTypeVirtualServer for a virtual-server application)
    // and its backup set; null when the application or the part cannot be read. The objects are the
    // caller's.
    std::unique_ptr<ZYClient> getClient(void* transaction = nullptr);
    std::unique_ptr<Instance> getInstance(void* transaction = nullptr);
    std::unique_ptr<BackupSet> getBackupSet(void* transaction = nullptr);
    // The application type: 0 when answered; 100 for an unknown application; else the database error.
    int getAppType(unsigned long& appType, void* transaction = nullptr);

private:
    int resolve(void* transaction);
    int read(void* transaction);           // from the database
    void take(const AppIdInfo& resolved);  // the parts a resolution sets

    AppIdInfo m_info;
    bool m_resolved = false;
};
