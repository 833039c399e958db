// Mangled host names (host, client name, service number, port in one text) and the directory from a
// client or host name to its machine's listener, fed by a resolver the host installs (APP_Client)
// and by registrations. Any thread.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/errors/cuxerror.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/hubmutex.h"

// Mangled form: "<host>*<client name>*<service number>*<port>", trailing parts optional; a plain host
// name is its own client name. Splits it; false (outputs as far as they were read) for a malformed
// text: empty host, a part that is not a number in range, or more than four parts.
bool DemangleHostName(const std::string& mangled, std::string& hostName, std::string& clientName,
                      int& serviceNumber, int& port);
bool DemangleHostName(const char* mangled, std::string& hostName, std::string& clientName, int& serviceNumber,
                      int& port);
// The mangled form; empty when a name is empty or holds the separator '*'. Zero numbers are left out
// from the end.
std::string MangleHostName(const std::string& hostName, const std::string& clientName, int serviceNumber = 0,
                           int port = 0);

class CZyNetDirectory {
public:
    // Finds the listener of a client or host name; false when the name is unknown. Called outside
    // the directory's lock, possibly from several threads at once.
    using Resolver = std::function<bool(const std::string& name, TZyNetAddress& address)>;

    // Finds a client's name from its id; false when the id is unknown. Same calling rule.
    using ClientIdResolver = std::function<bool(int clientId, std::string& clientName)>;

    static CZyNetDirectory& instance();

    void setResolver(Resolver resolver);
    void setClientIdResolver(ClientIdResolver resolver);
    // A client id above 0 also finds the client by its id. Sessions to it expect its certificate to
    // prove `clientName`, or `proves` when given (a test process that plays the machine with its own
    // certificate).
    void registerClient(const std::string& clientName, const std::string& host, int port, int clientId = 0,
                        const std::string& proves = "");
    void unregisterClient(const std::string& clientName);

    // The listener for a mangled name: its own port when it carries one; else the registration of
    // its client name, then of its host name; else the resolver, asked the same way. The address's
    // peer name is the client the name means: the client part of a mangled name, a registered client,
    // or the client the resolver found by its exact name; none for a bare host name.
    CUxError resolve(const std::string& name, TZyNetAddress& address) const;
    // The listener of a client by id: the name registered with the id, else the one the id resolver
    // gives, found as by resolve(); tells the name.
    CUxError resolveClientId(int clientId, TZyNetAddress& address, std::string& clientName) const;

private:
    CZyNetDirectory() = default;

    mutable CHubMutex m_mutex;
    Resolver m_resolver GUARDED_BY(m_mutex);
    ClientIdResolver m_idResolver GUARDED_BY(m_mutex);
    std::map<std::string, TZyNetAddress> m_byName GUARDED_BY(m_mutex);  // registrations by client name
    std::map<int, std::string> m_nameById GUARDED_BY(m_mutex);  // client names of registrations with an id
};
