// How the index service reads VM browses against its item index: a VM's own subclient (application
// type 106) is browsed under the VM's GUID ("\<vm guid>\disk\folder" names "/disk/folder" of that
// subclient's tree), a hypervisor's subclient answers each of its VMs below the VM's GUID, and a find over
// VMs ("\**\*" below a directory) lists every file below it as of the request's time. Pure functions over the
// index object given (one thread at a time, like the index).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/mediaagent/itemindex.h"

namespace mediaagent {

// The path within the subclient's tree that a browse path names: for a VM's own subclient, a first
// component that is a VM GUID (with or without braces) is the VM itself and leaves the path.
std::string vmFileViewPath(const TIndexSubclient& subclient, const std::string& path);

// A hypervisor's subclient holds each of its VMs below the VM's GUID: a query whose path begins with
// the GUID of one of them is read from that VM's own subclient (`subclient` with it), the path to the
// rest, and `under` is the path's head that names the VM (its answers go back below it). Any other query
// is left as it is, `under` empty. False with `why` when the index cannot be read or does not hold that
// VM's backups.
bool vmPartOfHypervisor(CItemIndex& index, TIndexSubclient& subclient, TBrowseQuery& query, std::string& why,
                        std::string& under);

// The VM GUID a head of vmPartOfHypervisor names, without separators and braces, in upper case.
std::string vmGuidOf(const std::string& under);

// An item path of a VM's own tree as the hypervisor's index names it: below `under`.
std::string underVm(const std::string& under, const std::string& path);

// True when `path` asks for every file below a directory ("<dir>\**\*" or "<dir>/**/*"); the
// directory is then left in `path` ("/" for the root).
bool splitFindBelow(std::string& path);

// The files below the query's directory (every level) whose newest version at or before its to-time,
// within its cycles, is not a deletion, in path order, narrowed by its name filter (a glob over file
// names); false with the index's error. A walk that `stopped` (when given) ends between two
// directories keeps what it found so far.
bool listFilesBelow(CItemIndex& index, const TBrowseQuery& query, std::vector<TItemVersion>& out,
                    const std::function<bool()>& stopped = {});

}  // namespace mediaagent
