// ZYClient: one client of the Hubmaster database, named by id or by name (or host name), read when
// first asked: its id, name, operating system, release and the mangled network host name that sessions
// are opened with. A local of one thread, made for a few questions. Every question returns 0 when
// answered; 100 when no such client exists; else the database error, with `out` left alone.
#pragma once

#include <string>

class ClientProperties;
class DBtran;

class ZYClient {
public:
    explicit ZYClient(unsigned long clientId);
    // The Hubmaster database serves one Kelmarch, so the Kelmarch id selects nothing further.
    ZYClient(unsigned long kelmarchId, unsigned long clientId);
    // By client name, else by network host name (letter case ignored).
    explicit ZYClient(const std::string& name);
    // By client name (and network host name when `alsoHostName`), read inside `transaction` (a DBtran*)
    // when given, so that a client made in that transaction is found.
    ZYClient(const std::string& name, bool alsoHostName, void* transaction);

    // Reads the client's row (again; inside a zydb::CRequestReads, once per request). 0 when the client
    // exists.
    int lookup();

    int getClientId(unsigned long& out);
    int getName(std::string& out);
    // The client's GUID text (empty when none is recorded).
    int getGUIDStr(std::string& out);
    // The name users see (the client name when no display name is recorded).
    int getDisplayName(std::string& out);
    // Kinds of client, each from its current client property ("NAS Client", "Non NDMP Client",
    // "Reference Copy Client" holding a non-zero number); a client without the property is not of
    // that kind.
    int isNASClient(bool& out);
    int isNonNDMPClient(bool& out);
    int isReferenceCopyClient(bool& out);
    int getOperatingSystemId(int& out);
    int getReleaseId(int& out);
    // The client's network host name (its name when no host name is recorded).
    int getNetworkHostname(std::string& out);
    // "<host>*<client name>" with "*0*<port>" when the client has a listener port.
    int getNetworkHostnameMangled(std::string& out);
    // The client's special-client bits (APP_Client.specialClientFlags; 0x2: a pseudo-client whose work
    // member servers do).
    int getSpecialClientFlags(unsigned long& out);
    // The client's properties, read and written in this object's transaction; for a client that
    // cannot be read, an object whose every change fails.
    ClientProperties getClientProperties();

    // The client that is this Hubmaster: registry value "nHubmasterClientId" of section "~Hubmaster",
    // else client 2 (the management server's own client in a product installation).
    static unsigned long hubmasterClientId();

    // The client named exactly `name`, as a certificate proved it: 0 when none is. Unlike a lookup by a
    // name someone typed, neither letter case nor a client's network host name stands in for its name, so
    // a certificate issued for "HUBMASTER" or for a host name is no client's.
    static unsigned long idOfProvenName(const std::string& name);

private:
    int load();
    int read();

    unsigned long m_id = 0;
    std::string m_lookupName;  // empty: look up by id
    bool m_alsoHostName = true;
    DBtran* m_tran = nullptr;  // not owned
    int m_status = -7;         // of the last read; -7: not read yet
    std::string m_name;
    std::string m_hostName;
    std::string m_guid;
    int m_osId = 0;
    int m_releaseId = 0;
    int m_port = 0;
};
