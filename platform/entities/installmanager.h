// The install manager's database readers: the operating system of a client, the physical machines
// behind a virtual (cluster) client, and the clients that carry a property. Readers are locals of one
// thread, made with the caller's transaction (null: they read on the thread's own connection).
#pragma once

#include <list>
#include <string>
#include <vector>

#include "platform/log/evdebug.h"

class DBtran;

class ZyInstallManagerDBInterface {
public:
    ZyInstallManagerDBInterface();
    virtual ~ZyInstallManagerDBInterface();
    ZyInstallManagerDBInterface(const ZyInstallManagerDBInterface&) = delete;
    ZyInstallManagerDBInterface& operator=(const ZyInstallManagerDBInterface&) = delete;

    // The text of the last failure; empty after a success.
    const std::string& getLastError() const { return m_lastError; }

protected:
    std::string m_lastError;
    EvDebug m_log;
};

class ZyInstallManagerDBReaderInterface : public ZyInstallManagerDBInterface {
public:
    explicit ZyInstallManagerDBReaderInterface(DBtran* transaction) : m_tran(transaction) {}
    ~ZyInstallManagerDBReaderInterface() override;

protected:
    // Records a failed read (logged once here) and hands its code back.
    int failed(int rc, const std::string& what);
    DBtran* m_tran;  // not owned; null: the thread's connection
};

class ZYSimOperatingSystem : private ZyInstallManagerDBReaderInterface {
public:
    explicit ZYSimOperatingSystem(DBtran* transaction) : ZyInstallManagerDBReaderInterface(transaction) {}
    ~ZYSimOperatingSystem() override;

    // Whether operating system `id` is a Windows one. 0 when answered; 100 for an unknown id, another
    // value for a failed read; `isWindows` is left alone then.
    int IsWindows(const int& id, bool& isWindows);
    using ZyInstallManagerDBInterface::getLastError;
};

class ZyAPP_VMToPMMap : private ZyInstallManagerDBReaderInterface {
public:
    explicit ZyAPP_VMToPMMap(DBtran* transaction) : ZyInstallManagerDBReaderInterface(transaction) {}
    ~ZyAPP_VMToPMMap() override;

    // The physical clients mapped to virtual client `virtualClientId`, ascending; an empty list when
    // there are none. 0 when answered; a failed read returns its code and leaves the list alone.
    int GetAllPMsMappedToAVM(const int& virtualClientId, std::vector<int>& physicalClientIds);
    using ZyInstallManagerDBInterface::getLastError;
};

// One client as the client-property query returns it.
struct _AppClientInfo {
    long clientId = 0;
    long simOperatingSystemId = 0;
    long releaseId = 0;
    long status = 0;
    std::string clientName;
    std::string displayName;
    std::string hostName;
    std::string clientGuid;
    std::string hubmasterHostName;
    std::string jobResultDir;
    std::string description;
    std::string propertyValue;  // the value of the property the query asked for
};

class ClientProperties {
public:
    // The properties of one client (0: none, every change fails), read and written inside
    // `transaction` when given, else each change in a transaction of its own.
    ClientProperties(unsigned long clientId, DBtran* transaction)
        : m_clientId(clientId), m_tran(transaction) {}

    // The storage policy that the backups of the client's index server go to, from now on (versioned
    // client property "Index Server Storage Policy"). 0 when set; 100 for an unknown client or storage
    // policy; else the database error.
    int setIndexServerArchGroup(unsigned long archGroupId);

    // The clients whose current property `propertyName` has the value `value` (compared without
    // regard to letter case), in client id order, appended to `clients`. 0 when answered (perhaps with
    // no client); otherwise the database error, with its text in `errorText` and `clients` untouched.
    static int getClientInfoWithProperty(std::list<_AppClientInfo>& clients, const std::string& propertyName,
                                         const std::string& value, std::string& errorText,
                                         DBtran* transaction);
    // Whether the client's virtual machines are indexed per VM (indexing V2): its current property
    // "IndexingV2_VSA" is a non-zero number. A client without the property is not. 0 when answered;
    // 100 for an unknown client; else the database error, `useV2` untouched.
    static int getUseIndexingV2ForVSA(unsigned long clientId, bool& useV2, DBtran* transaction = nullptr);

    // The versioned client property that records when the client's agent was last upgraded (seconds
    // since 1970).
    static constexpr const char* kUpgradeTimeProperty = "Client Upgrade Time";
    // When the client's agent was last upgraded: 0 with `upgradeTime` set (0 when it never was); 100 for
    // an unknown client; another value when it cannot be read (a value that is not a time included).
    static int getClientUpgradeTime(unsigned long clientId, unsigned long& upgradeTime,
                                    DBtran* transaction = nullptr);

    // The release text of the client's media-agent software ("11.0 SP3b"): 0 with `version` set; 100
    // when the client is no media agent; else the database error, `version` untouched.
    int getVersionInfo(std::string& version);

    // The name of the client's operating system as the install manager knows it ("Windows Server
    // 2019 Datacenter"): 0 with `osInfo` set; 100 for an unknown client or system; else the database
    // error, `osInfo` untouched.
    int getSimOSInfo(std::string& osInfo);

    // The primary member server of the SharePoint farm behind this pseudo-client (current client
    // property "SharePoint Primary Member Server"): 0 with `memberClientId` set; 100 when none is
    // recorded; else the database error, `memberClientId` untouched.
    int getSharePointPrimaryMemberServer(unsigned long& memberClientId);

private:
    unsigned long m_clientId;
    DBtran* m_tran;  // not owned
};
