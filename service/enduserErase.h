// End-user erase bookkeeping (operation 7): the router books the paths an authenticated user may
// erase; when the Hubmaster makes the erase task of them (with each item's size as the media agent's
// index answered it), the subclients are marked as having an erase pending and the sizes are taken off
// the usage figures of the mailbox, subclient or backup set. Every failure is a log line.
#pragma once

#include "fbDebug/fbdebug.h"
#include "platform/msg/msg_classes.h"

struct TDirectTask;

// File-system erase: sizes summed per subclient (clients on indexing v1) or per backup set (clients
// on indexing v2); each subclient marked pending and its usage lowered, then each backup set's.
void ProcessFSEndUserErase(databrowse::BrowseRequest* request, CBrowseLog* log);
// Mailbox erase (application type 54): sizes summed per mailbox GUID, the subclient marked pending and
// the mailboxes' usage lowered in one message.
void ProcessMailboxEndUserErase(databrowse::BrowseRequest* request, CBrowseLog* log);

// The router's part of operation 7: the request's paths booked for its user and entity, for the
// Hubmaster's erase task. Does nothing for another operation.
void runEndUserEraseBookkeeping(TDirectTask& t, CBrowseLog& log);

// The usage part, once the erase task exists: file-system types on indexing v1, mailboxes, nothing
// for other types.
void bookEndUserEraseUsage(databrowse::BrowseRequest& request, CBrowseLog& log);
