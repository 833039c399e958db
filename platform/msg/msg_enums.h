// Enumerations carried by integer message fields. Values are set and tested by the services that use
// them; an enumeration here holds any 32-bit value. Plain types.
#pragma once

#include <cstdint>

namespace databrowse {
enum BrowseOperation : int32_t {};    // operation type of a browse request
enum BrowseErrorCode : int32_t {};    // code of a BrowseError
enum ForceUseIndexType : int32_t {};  // index engine forced on a browse
enum AppMiningType : int32_t {};      // kind of an application-mining browse
}  // namespace databrowse

namespace App {
enum IdxDbEngineType : int32_t {};  // engine of an index database
}  // namespace App
