// The application manager's mount descriptions for live browse: the XML that tells a media agent how to
// mount the snapshot behind an archive file, for a block-level backup or for a virtual machine. Read
// from the archive file, its subclient and client in the Hubmaster database; any thread. The browse
// hands the text on unread. Both return 0 with `xml` filled; 100 when the archive file (or its
// subclient) does not exist or is not valid; DB_ERR_ARGUMENT when the file is not the given
// subclient's; else the database error; `xml` is left alone on failure.
#pragma once

#include <string>

// requestType and mountOption are the caller's selectors (the browse passes 2 and 1); fromTime, toTime,
// copyPrecedence and option are carried into the description as given. Kelmarch 2 is assumed.
int EvAppMgr_GetBlockLevelMountXMLParams(int requestType, unsigned int appId, unsigned long afileId,
                                         int mountOption, unsigned long appType, unsigned long fromTime,
                                         unsigned long toTime, int copyPrecedence, bool option,
                                         std::string& xml);

// The VM's GUID (its current "Virtual Machine Instance UUID", else its client's GUID) and the media
// agent that will mount (empty: the one the archive file lives on decides) go into the description.
int EvAppMgr_GetVSASnapMountXMLParams(unsigned long kelmarchId, unsigned int appId, unsigned long afileId,
                                      int mountOption, const std::string& mediaAgentName, std::string& xml);
