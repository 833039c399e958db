#include "platform/entities/clientaddress.h"

#include "Db/Tbl/APP_Client.h"
#include "platform/db/dbresult.h"

bool ZyClientAddressFromDatabase(const std::string& name, TZyNetAddress& address) {
    APP_Client client(nullptr);
    client.setIsolationType(4);
    client.setWhere("name = '%s' OR net_hostname = '%s'", name.c_str(), name.c_str());
    if (client.getOneRow(&client, false, 0, 0) != zydb::DB_OK) return false;
    address.host = client.getDataPtr()->net_hostname;
    address.port = client.getDataPtr()->zydPort;
    // Found by its exact name, the machine must prove that name; found by a host name, no client is meant.
    address.peerName = client.getDataPtr()->name == name ? name : std::string();
    return address.port > 0;
}
