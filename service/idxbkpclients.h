// Index-backup client management of the administration thread (AdminThreadHM::checkIdxBkpClients and
// manageIdxBkpClient, defined in idxbkpclients.cpp): the actions the Hubmaster database asks for on the
// media agents' Indexing pseudo-clients, one transaction each. Administration thread only.
#pragma once

// The actions of IdxGetMAWithoutIndexSubClient's status flag.
enum IdxBkpClientAction : int {
    IDXBKP_CREATE_CLIENT = 0,         // make the Indexing pseudo-client of a media agent
    IDXBKP_DELETE_CLIENT = 1,         // delete an index client
    IDXBKP_DELETE_OLD_SUBCLIENT = 2,  // delete an older index subclient
    IDXBKP_DISABLE_BACKUP = 3,        // disable backups of an IndexBackup subclient
    IDXBKP_RENAME_CLIENT = 4,         // give an index client its media agent's new name
    IDXBKP_DELETE_BROKEN_CLIENT = 5,  // delete an index client (to be made anew)
    IDXBKP_REASSIGN_ARCHGROUP = 6,    // move an index subclient to another storage policy
};

inline constexpr const char* kIndexInstanceName = "classicIndexInstance";
inline constexpr const char* kIndexSubclientDescription = "System created IndexBackup subclient";
