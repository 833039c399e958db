// The application manager's procedure behind a multi-client find (App_ExecuteSP with the tag of
// databrowse::BrowseRequest): it picks the media agent that holds the newest data of the request's
// entities and prepares the browse request for it. Registered through hubtagprocs.def; runs on the
// caller's thread, in the caller's transaction when one is passed as context.
#pragma once

#include <string>

namespace hubdb {

// Answers a databrowse::BrowseRequest with the prepared one: the caller's parts (session, paths, time
// range, options, queries, entities with filters, user) and a routing block (element 21, its element
// 2) naming the media agent (element 20) and the Hubmaster host, with its found-marker (the index
// database block) set. A request naming a user (element 22: a login or full name) finds only the
// subclients that user, enabled, holds a Browse right on; without a user name every subclient counts.
// When no entity has such data up to the request's to-time the routing block is absent, which the
// caller reads as "nothing to find".
int multiClientFindTagProc(const std::string& requestXml, std::string& responseXml, void* context);

}  // namespace hubdb
