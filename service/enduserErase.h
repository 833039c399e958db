// End-user erase bookkeeping of a routed erase request (operation 7): the subclients are marked as
// having an erase pending and the erased items' sizes are taken off the usage figures of the mailbox,
// subclient or backup set. Run by the router's direct road on its callback thread, only after the
// request's caller has been authenticated; every failure is a log line and the request goes on.
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

// The choice inside operation 7: file-system types (when the erase gate found indexing v1), mailboxes,
// nothing for other types. Does nothing for another operation.
void runEndUserEraseBookkeeping(TDirectTask& t, CBrowseLog& log);
