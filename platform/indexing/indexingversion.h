// The indexing utilities' answers about the indexing version of a client: which indexing application
// type a backup set is indexed under, whether the client switched it to indexing v2 (a client property
// whose row's created time is the switch time), whether a backup set keeps one index database per
// subclient, and the service pack a client runs. Any thread; reads run on the calling thread's
// connection.
#pragma once

#include <string>

#include "platform/errors/cuxerror.h"

namespace I2 {
namespace Utils {

// The client property that records the switch of `idxAppType` to indexing v2: "IndexingV2_VSA" for the
// virtual-machine types 200106 to 200108, else "IndexingV2_<type>".
std::string getIndexingV2PropertyName(unsigned long idxAppType);

// The indexing application type of the backup set (its property "Indexing App Type" when set, else
// 200000 + appType) into `idxAppType`, and into `useV2` whether the client's current property of that
// type holds "1". Non-zero when determined; 0 (outputs untouched) without a client or on a read error.
int shouldUseIndexingV2ByAppType(unsigned long clientId, unsigned long backupSetId, unsigned long appType,
                                 bool& useV2, unsigned long& idxAppType, int reserved);

// True when the client is one of the Hubmaster's media agents.
bool IsMediaAgentClient(unsigned long clientId);
// The service-pack number in the client's release text ("11.0 SP24" gives 24); 0 when it names none
// or the client is unknown.
int GetClientServicePack(const std::string& clientName);

// The Hubmaster's answers that the index layer asks for by backup set.
class HubmasterCallHelper {
public:
    static HubmasterCallHelper* Instance(bool refresh);
    // Whether the backup set of this GUID keeps one index database per subclient (its property
    // "Subclient Level Index" is "1"); an unknown GUID or a read error is an error.
    CUxError isSubclientLevelIndex(const std::string& backupSetGuid, bool& perSubclient);
    // Whether the backup set of this GUID belongs to a cloud laptop (its property "Cloud Laptop Mode"
    // is "1"); an unknown GUID or a read error is an error.
    CUxError isCloudLaptopBackupSet(const std::string& backupSetGuid, bool& cloudLaptop);
};

}  // namespace Utils
}  // namespace I2
