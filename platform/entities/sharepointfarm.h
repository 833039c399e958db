// The platform's view of SharePoint clients: the special-client bits that mark a farm's pseudo-client,
// the farm's primary member server, and the administrator account stored for a client's SharePoint
// agent (ApplicationTypeSharePointV2Doc). Objects are made on the calling thread's stack for one or
// two questions; reads run on that thread's connection.
#pragma once

#include <string>

// Special-client bit of a SharePoint farm's pseudo-client (APP_Client.specialClientFlags).
inline constexpr unsigned long kSpecialClientPseudoClient = 0x2;

// The SharePoint agent (application type 78 or another SharePoint type) of one client, with the
// account its services log on with: agent properties "SharePoint Admin User Name" and "SharePoint
// Admin Password" (the password kept enciphered with msgEncipherSecret).
class ApplicationTypeSharePointV2Doc {
public:
    static constexpr const char* kUserNameProperty = "SharePoint Admin User Name";
    static constexpr const char* kPasswordProperty = "SharePoint Admin Password";

    ApplicationTypeSharePointV2Doc(unsigned long clientId, unsigned long appType);
    virtual ~ApplicationTypeSharePointV2Doc();

    // 0 with the stored value (empty when none is stored); else the database error, or -1 for a
    // password that cannot be deciphered, with `out` untouched.
    virtual int getUserName(std::string& out);
    virtual int getPassword(std::string& out);

private:
    int read(const char* property, std::string& out);

    unsigned long m_clientId;
    unsigned long m_appType;
};
