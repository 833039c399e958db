// The application manager's procedures of browse planning that callers run by request tag
// (App_ExecuteSP, I2::Utils::ExecuteAppMgrSP) over the Hubmaster tables: the cloud-laptop mode of a
// backup set and the index server of a subclient. Registered through hubtagprocs.def; each runs on the
// caller's thread, in the caller's transaction when one is passed as context.
#pragma once

#include <string>

namespace hubdb {

// App::GetIsCloudLaptopModeEnabledReq: whether the backup set of the GUID is in cloud-laptop mode (its
// current property "Cloud Laptop Mode" is "1"). An unknown GUID is refused.
int getIsCloudLaptopModeEnabledTagProc(const std::string& requestXml, std::string& responseXml,
                                       void* context);
// Api::AdvancedIndexingInfoRequest: the index server (client) of the entity: the subclient's current
// property "Index Server Client Id", else that of its backup set; the answer names no client when
// neither is set. An entity without a subclient or backup set is refused.
int advancedIndexingInfoTagProc(const std::string& requestXml, std::string& responseXml, void* context);

}  // namespace hubdb
