// The client of a virtual machine named by its GUID: the VM's current "Virtual Machine Instance UUID"
// client property, else the client's own GUID (letter case ignored). Any thread; reads run on the
// calling thread's connection.
#pragma once

#include <string>

// True with `clientId` set when exactly one client has that VM GUID; false for an empty or unknown
// GUID, a GUID that two clients claim, or a read that fails (clientId untouched).
bool getClientIdfromGUID(std::string guid, int& clientId);
