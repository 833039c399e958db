// The entity-configuration classes of the platform: instances, backup sets and subclients of a client,
// each built on the stack with the entity's id, asked one or two questions and destroyed. An object
// reads its entity's row and the properties in force at its reference time (now, unless setRefTime
// says otherwise) when it is made; it belongs to the thread that made it.
//
// Every question has the form question(out&, transaction) and returns 0 when answered. A question that
// fails (no such entity, a database error, a property that is not set or is not a number) returns
// non-zero and leaves `out` as the caller set it. A switch (bool) that was never set is answered false.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "platform/entities/adaptersbase.h"
#include "platform/msg/msg_classes.h"
#include "platform/tasks/applproperties.h"
#include "platform/tasks/zydate.h"

// How the entity library hands content lines to the entity it loads.
class ContentCallBack {
public:
    virtual ~ContentCallBack();
    virtual int initContentCallback(unsigned long type, std::string text) = 0;
    virtual void SetCaseSensitive(bool on) = 0;
};

// At which level the backups of a virtual-server subclient are seen.
enum VirtualServerBackupViewLevelType : int {
    VS_BACKUP_VIEW_LEVEL_DEFAULT = 0,
    VS_BACKUP_VIEW_LEVEL_VOLUME = 1,
    VS_BACKUP_VIEW_LEVEL_FILE = 2,
};

// Results of a question besides 0 and the database's own codes.
enum EntityQuestionResult : int {
    ENTITY_PROPERTY_NOT_SET = 1,     // the entity exists but the property has no current value
    ENTITY_PROPERTY_NOT_NUMBER = 2,  // the property's value is not a number of the asked type
};

namespace zyent {
// What an entity object read when it loaded: its id, the reference time of its properties (0: the
// current ones), its GUID and the outcome (0 loaded; 100 no such entity; else the database error).
struct TEntityState {
    explicit TEntityState(unsigned long entityId) : id(entityId) {}
    unsigned long id;
    long long refTime = 0;
    std::string guid;
    int loadStatus = -7;  // not loaded yet
};
}  // namespace zyent

// ---- instances --------------------------------------------------------------------------------------

class Instance : public virtual ApplBackupContent,
                 public virtual ApplProperties,
                 public virtual PropCallBack {
public:
    explicit Instance(unsigned long instanceId);
    ~Instance() override;

    virtual int initContentCallback(unsigned long id, std::string content);
    virtual void SetCaseSensitive(bool on);
    // Reloads the instance (its properties) from the database.
    virtual int initAll(void* transaction);
    virtual Instance* getInstInterface() { return this; }
    int getPropertiesCallback(std::string name, unsigned long type, std::string value,
                              unsigned long extra) override;
    int getPropertiesCallbackUpdate(std::string name, unsigned long type, std::string value,
                                    unsigned long extra, bool unused) override;
    // Loads the instance row and, when `properties`, its properties in force at the reference time.
    // The platform keeps no content lines for instances, so `content` loads nothing.
    virtual int initContent(void* transaction, bool properties, bool content);

    unsigned long getInstanceId() const { return m_entity.id; }
    unsigned long getClientId() const { return m_clientId; }
    unsigned long getAppType() const { return m_appType; }
    // Properties are then those in force at `date` (reloaded now).
    void setRefTime(ZYDate& date);

    // True for an instance of one virtual machine (property "VM Level Instance").
    int isVMInstance(bool& out, void* transaction = nullptr);

protected:
    template <class T>
    int answer(const char* property, T& out) const;

private:
    zyent::TEntityState m_entity;
    unsigned long m_clientId = 0;
    unsigned long m_appType = 0;
};

class InstanceTypeVirtualServer : public Instance {
public:
    explicit InstanceTypeVirtualServer(unsigned long instanceId) : Instance(instanceId) {}
    ~InstanceTypeVirtualServer() override;
    // The hypervisor type (property "Virtual Server Instance Type").
    int getInstanceType(unsigned long& out, void* transaction = nullptr);
};

class MsExchangeMBoxInstance : public Instance {
public:
    explicit MsExchangeMBoxInstance(unsigned long instanceId) : Instance(instanceId) {}
    ~MsExchangeMBoxInstance() override;
    // The Exchange agent account (properties "Exchange Agent User Name" and "Exchange Agent Password").
    int getUserName(std::string& out, void* transaction = nullptr);
    int getUserPassword(std::string& out, void* transaction = nullptr);
};

class MsExchange2000MBoxInstance : public MsExchangeMBoxInstance {
public:
    explicit MsExchange2000MBoxInstance(unsigned long instanceId) : MsExchangeMBoxInstance(instanceId) {}
    ~MsExchange2000MBoxInstance() override;
};

class MsTitaniumMBoxInstance : public MsExchange2000MBoxInstance {
public:
    explicit MsTitaniumMBoxInstance(unsigned long instanceId) : MsExchange2000MBoxInstance(instanceId) {}
    ~MsTitaniumMBoxInstance() override;
};

class MsTitaniumDbInstance : public MsTitaniumMBoxInstance {
public:
    explicit MsTitaniumDbInstance(unsigned long instanceId) : MsTitaniumMBoxInstance(instanceId) {}
    ~MsTitaniumDbInstance() override;
};

class CloudAppsInstance : public Instance {
public:
    explicit CloudAppsInstance(unsigned long instanceId) : Instance(instanceId) {}
    ~CloudAppsInstance() override;
};

class OneDriveInstance : public CloudAppsInstance {
public:
    explicit OneDriveInstance(unsigned long instanceId) : CloudAppsInstance(instanceId) {}
    ~OneDriveInstance() override;
    // The cloud provider (property "Cloud Provider").
    int getProvider(int& out, void* transaction = nullptr);
};

// ---- backup sets ------------------------------------------------------------------------------------

class BackupSet : public PropCallBack, public virtual ApplProperties {
public:
    explicit BackupSet(unsigned long backupSetId);
    ~BackupSet() override;

    int getPropertiesCallback(std::string name, unsigned long type, std::string value,
                              unsigned long extra) override;
    virtual int initAll(void* transaction);
    virtual BackupSet* getBSInterface() { return this; }
    unsigned long getBackupSetId() const { return m_entity.id; }
    // Another backup set: the object reloads for it.
    void setBackupSetId(unsigned long backupSetId);
    void setRefTime(ZYDate& date);

    int getGUIDStr(std::string& out, void* transaction = nullptr);
    // The client that owns the backup set (the client of its subclients).
    int getClientIdForBackupSet(unsigned long& out, void* transaction = nullptr);

protected:
    template <class T>
    int answer(const char* property, T& out) const;

private:
    void load();

    zyent::TEntityState m_entity;
};

class FsBackupSet : public BackupSet {
public:
    explicit FsBackupSet(unsigned long backupSetId) : BackupSet(backupSetId) {}
    ~FsBackupSet() override;
};

class PostgreSQLBackupSet : public FsBackupSet {
public:
    explicit PostgreSQLBackupSet(unsigned long backupSetId) : FsBackupSet(backupSetId) {}
    ~PostgreSQLBackupSet() override;
    // True for the default file-system backup set of a PostgreSQL instance ("Default FS BackupSet").
    int isDefaultFSBackupSet(bool& out, void* transaction = nullptr);
};

// ---- subclients -------------------------------------------------------------------------------------

class Subclient : public PropCallBack, public virtual ApplProperties {
public:
    explicit Subclient(unsigned long subclientId);
    ~Subclient() override;

    int getPropertiesCallback(std::string name, unsigned long type, std::string value,
                              unsigned long extra) override;
    int getPropertiesCallbackUpdate(std::string name, unsigned long type, std::string value,
                                    unsigned long extra, bool unused) override;
    virtual int initAll(void* transaction);
    virtual void resetAll();
    unsigned long getSubclientId() const { return m_entity.id; }
    // Properties are then those in force at `date` (reloaded now).
    void setRefTime(ZYDate& date);

    int isTranLogSubclient(bool& out, void* transaction = nullptr);
    int getEnableSnapBackups(bool& out, void* transaction = nullptr);
    int getItemPastExpiryDays(int& out, void* transaction = nullptr);
    int getItemPastExpiryDaysType(int& out, void* transaction = nullptr);
    int isReferenceCopySubclient(bool& out, void* transaction = nullptr);
    int getGUIDStr(std::string& out, void* transaction = nullptr);
    int isLogOnlySubclient(bool& out, void* transaction = nullptr);
    // The description users see (property "User Description") from now on, inside `transaction` (a
    // DBtran*) when given, else in a transaction of its own.
    int setUserDescription(const std::string& text, void* transaction);

protected:
    // Reads the subclient row and its properties again (the cache is rebuilt), inside `transaction`
    // (a DBtran*) when given.
    int reload(void* transaction = nullptr);
    template <class T>
    int answer(const char* property, T& out) const;
    int loadStatus() const { return m_entity.loadStatus; }

private:
    zyent::TEntityState m_entity;
};

class SubclientConf : public Subclient, public virtual ApplBackupContent, public ContentCallBack {
public:
    explicit SubclientConf(unsigned long subclientId);
    ~SubclientConf() override;

    int initContentCallback(unsigned long type, std::string text) override;
    void SetCaseSensitive(bool on) override;
    // Reads the subclient again, inside `transaction` (a DBtran*) when given: a subclient made in that
    // transaction is then seen.
    int initAll(void* transaction) override;
    void resetAll() override;
    virtual SubclientConf* getSCInterface() { return this; }

    // Marks (or unmarks) the subclient as an index subclient from now on (property "Index SubClient"),
    // inside `transaction` when given (a DBtran*), else in a transaction of its own.
    int setIndexSubClient(bool on, void* transaction);
};

class VirtualServerSubclientConfiguration : public SubclientConf {
public:
    explicit VirtualServerSubclientConfiguration(unsigned long subclientId) : SubclientConf(subclientId) {}
    ~VirtualServerSubclientConfiguration() override;
    // The backup view level in force at the reference time (property "Backup View Level").
    int getBackupViewLevel(VirtualServerBackupViewLevelType& out, void* transaction = nullptr);
};

// ---- adapters ---------------------------------------------------------------------------------------

// The id of a subclient from its name, among the subclients of one backup set and application type.
class SubclientIdFromName : public AdaptersBase {
public:
    SubclientIdFromName(int appType, int backupSetId);
    ~SubclientIdFromName() override;

    // 0 when the question was answered: `id` is the subclient's, or 0 when no subclient has that name
    // (names compare without regard to letter case). A database error returns it and leaves `id`.
    int getSubclientId(const std::string& name, unsigned long& id, void* transaction = nullptr);

private:
    int m_appType;
    int m_backupSetId;
    bool m_loaded = false;
    std::list<std::string> m_names;  // subclient names of the backup set, read on first use
    std::list<unsigned long> m_ids;  // their ids, in the same order
};

// The miscellaneous options the job manager keeps per job (JMMiscOptions), such as option 28, the
// Exchange database status XML of a backup job.
class App_MiscOptions : public AdaptersBase {
public:
    App_MiscOptions();
    ~App_MiscOptions() override;

    // Option `optionId` of job (jobId, kelmarchId; Kelmarch 0: the default): its number, flags and
    // text. 0 when read; 100 when the job has no such option; else the database error, with the
    // outputs untouched and the reason in getErrorString(). Read inside `transaction` (a DBtran*) when
    // given.
    int getMiscOption(unsigned long jobId, int optionId, int& number, int& flags, std::string& value,
                      unsigned& kelmarchId, void* transaction = nullptr);
};

class SharePointWebSitePlanPolicyAssociation : public AdaptersBase {
public:
    SharePointWebSitePlanPolicyAssociation();
    ~SharePointWebSitePlanPolicyAssociation() override;

    // The member servers of the SharePoint farm behind `pseudoClientId`, the primary one first, each
    // with its client id, name and GUID, into `servers` (replaced). 0 when answered (perhaps with none);
    // otherwise the database error, `servers` untouched and the reason in getErrorString() and, when
    // given, `errorMessage`.
    int GetO365SharePointMemberServers(int pseudoClientId, std::vector<ZyEntities::ClientEntity>* servers,
                                       std::string* errorMessage = nullptr);
};
