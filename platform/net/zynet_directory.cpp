#include "platform/net/zynet_directory.h"

#include <charconv>
#include <vector>

#include "platform/net/zynet_errors.h"

namespace {

constexpr char kSeparator = '*';

bool readNumber(const std::string& text, int max, int& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0 && value <= max;
}

}  // namespace

bool DemangleHostName(const std::string& mangled, std::string& hostName, std::string& clientName,
                      int& serviceNumber, int& port) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t at = mangled.find(kSeparator, from);
        parts.push_back(mangled.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) break;
        from = at + 1;
    }
    hostName = parts[0];
    clientName = parts.size() > 1 && !parts[1].empty() ? parts[1] : hostName;
    serviceNumber = 0;
    port = 0;
    if (hostName.empty() || parts.size() > 4) return false;
    if (parts.size() > 2 && !readNumber(parts[2], 0x7fffffff, serviceNumber)) return false;
    if (parts.size() > 3 && !readNumber(parts[3], 65535, port)) return false;
    return true;
}

bool DemangleHostName(const char* mangled, std::string& hostName, std::string& clientName, int& serviceNumber,
                      int& port) {
    return DemangleHostName(std::string(mangled ? mangled : ""), hostName, clientName, serviceNumber, port);
}

std::string MangleHostName(const std::string& hostName, const std::string& clientName, int serviceNumber,
                           int port) {
    if (hostName.empty() || clientName.empty() || hostName.find(kSeparator) != std::string::npos ||
        clientName.find(kSeparator) != std::string::npos || serviceNumber < 0 || port < 0 || port > 65535)
        return std::string();
    std::string mangled = hostName + kSeparator + clientName;
    if (serviceNumber != 0 || port != 0) mangled += kSeparator + std::to_string(serviceNumber);
    if (port != 0) mangled += kSeparator + std::to_string(port);
    return mangled;
}

CZyNetDirectory& CZyNetDirectory::instance() {
    static CZyNetDirectory directory;
    return directory;
}

void CZyNetDirectory::setResolver(Resolver resolver) {
    CHubMutexLock lock(m_mutex);
    m_resolver = std::move(resolver);
}

void CZyNetDirectory::setClientIdResolver(ClientIdResolver resolver) {
    CHubMutexLock lock(m_mutex);
    m_idResolver = std::move(resolver);
}

void CZyNetDirectory::registerClient(const std::string& clientName, const std::string& host, int port,
                                     int clientId, const std::string& proves) {
    CHubMutexLock lock(m_mutex);
    m_byName[clientName] = TZyNetAddress{host, port, proves.empty() ? clientName : proves};
    if (clientId > 0) m_nameById[clientId] = clientName;
}

void CZyNetDirectory::unregisterClient(const std::string& clientName) {
    CHubMutexLock lock(m_mutex);
    m_byName.erase(clientName);
    std::erase_if(m_nameById, [&clientName](const auto& entry) { return entry.second == clientName; });
}

CUxError CZyNetDirectory::resolveClientId(int clientId, TZyNetAddress& address,
                                          std::string& clientName) const {
    clientName.clear();
    ClientIdResolver resolver;
    {
        CHubMutexLock lock(m_mutex);
        if (auto it = m_nameById.find(clientId); it != m_nameById.end()) clientName = it->second;
        resolver = m_idResolver;
    }
    if (clientName.empty() && clientId > 0 && resolver && !resolver(clientId, clientName)) clientName.clear();
    if (clientName.empty())
        return zynet::makeError(ZYNET_E_UNKNOWN_HOST, "CZyNetDirectory::resolveClientId",
                                "client id " + std::to_string(clientId));
    return resolve(clientName, address);
}

CUxError CZyNetDirectory::resolve(const std::string& name, TZyNetAddress& address) const {
    std::string hostName, clientName;
    int serviceNumber = 0, port = 0;
    if (!DemangleHostName(name, hostName, clientName, serviceNumber, port))
        return zynet::makeError(ZYNET_E_UNKNOWN_HOST, "CZyNetDirectory::resolve",
                                "malformed name [" + name + "]");
    // Only a mangled name says which client it means; a bare one may be a client's or a host's.
    const bool namesClient = name.find('*') != std::string::npos;
    if (port > 0) {
        address = TZyNetAddress{hostName, port, namesClient ? clientName : std::string()};
        return CUxError::Success();
    }
    const std::string candidates[] = {clientName, hostName};
    Resolver resolver;
    {
        CHubMutexLock lock(m_mutex);
        for (const std::string& candidate : candidates) {
            if (auto it = m_byName.find(candidate); it != m_byName.end()) {
                address = it->second;
                if (namesClient && address.peerName.empty()) address.peerName = clientName;
                return CUxError::Success();
            }
        }
        resolver = m_resolver;
    }
    if (resolver) {
        for (const std::string& candidate : candidates) {
            TZyNetAddress found;
            if (resolver(candidate, found) && !found.host.empty() && found.port > 0) {
                if (namesClient) found.peerName = clientName;
                address = found;
                return CUxError::Success();
            }
        }
    }
    return zynet::makeError(ZYNET_E_UNKNOWN_HOST, "CZyNetDirectory::resolve", "[" + name + "]");
}
