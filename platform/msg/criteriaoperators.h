// The operators of a browse criterion (databrowse::FilteredBrowseCriteriaValue::criteriaOperator) that
// the service reads or sets on time attributes, and the attributes and flags that more than one part of
// the system writes or reads, each named once. Constants only; any thread.
#pragma once

#include <cstdint>

namespace criteriaop {

// The value is the last time wanted (a browse's to-time).
inline constexpr int64_t kTo = 1;
// The value bounds the time on the side of the browse's from-time: the from-time of a V2 find, and the
// deletion and archive cut-offs of the retention filters the cycles add.
inline constexpr int64_t kFrom = 3;
// The time is at or before the value.
inline constexpr int64_t kAtOrBefore = 4;
// The item belongs to the virtual machine the value names ("\<VM GUID>"), with criteriaattr::kVirtualMachine.
inline constexpr int64_t kOfVirtualMachine = 5;

}  // namespace criteriaop

namespace criteriaattr {

// An item's name, matched against a pattern.
inline constexpr int64_t kName = 0;
// The time an item was deleted.
inline constexpr int64_t kDeletionTime = 62;
// The virtual machine an item belongs to (its GUID).
inline constexpr int64_t kVirtualMachine = 80;

}  // namespace criteriaattr

namespace browseflag {

// The additional flag type (databrowse::AdditionalFlag::flagType) that carries a job list.
inline constexpr int64_t kJobList = 9;
// The additional flag (type 0, this name, value "1") of an end-user erase the Hubmaster's browse service
// is asked to judge only: the verdict the erase would get, with nothing booked or created.
inline constexpr const char* kEraseDryRun = "EraseDryRun";
// The additional flag (type 0, this name) of a find across clients' prepared request, one per client
// searched: "<subclient id>,<subclient id>... <client name>", the subclients of that client the media
// agent searches. It is in the signed request's clear payload, so a caller that cannot read the signed
// parts names each answered item's client.
inline constexpr const char* kFindClientSubclients = "FindClientSubclients";
// The additional flag (type 0, this name) of a signed request the Hubmaster prepares for a direct caller:
// its value names the media agent the caller takes the request to. It is in the clear payload, where a
// caller without the Hubmaster's key reads it.
inline constexpr const char* kMediaAgentName = "MediaAgentName";

}  // namespace browseflag
