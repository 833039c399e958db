// The application types named in code and their traits, generated from apptypes.def (the one place
// each code is written). Constants only; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace apptype {

// An application type. Scoped, so it neither converts from nor to an integer: a comparison with a bare
// number does not compile. Messages and rows keep the integer; it crosses with of() and code().
enum class EAppType : int64_t {};

// The application type a message field or a database column holds.
constexpr EAppType of(int64_t code) {
    return EAppType{code};
}
// The integer a message field or a database column takes.
constexpr int64_t code(EAppType appType) {
    return static_cast<int64_t>(appType);
}

#define APP_TYPE(name, code, mailbox) inline constexpr EAppType k##name{code};
#include "platform/entities/apptypes.def"
#undef APP_TYPE

// True when `appType` is browsed as mailboxes.
constexpr bool isMailbox(EAppType appType) {
#define APP_TYPE(name, code, mailbox) \
    if (appType == k##name) return mailbox;
#include "platform/entities/apptypes.def"
#undef APP_TYPE
    return false;
}

// The families of application types: each class the code tests is written here once. Where two
// families overlap but differ, the product's own rules differ, and the comment says how.
namespace family {

// A family written by its codes.
template <int64_t... codes>
inline constexpr EAppType members[] = {EAppType{codes}...};

// The file-system agents.
inline constexpr auto& kFileSystem =
    members<11, 17, 18, 19, 20, 21, 29, 33, 34, 36, 40, 42, 43, 48, 63, 64, 74>;
// The agents whose volumes a block-level (VM) browse mounts: the file-system agents and OneDrive,
// whose cache is a volume of its own.
inline constexpr auto& kBlockLevel =
    members<11, 17, 18, 19, 20, 21, 29, 33, 34, 36, 40, 42, 43, 48, 63, 64, 74, 134>;
// The agents a cloud laptop backs up: the file-system agents of the laptop plans (with 1 and 38,
// without the server-only 40 and 48).
inline constexpr auto& kCloudLaptop =
    members<1, 11, 17, 18, 19, 20, 21, 29, 33, 34, 36, 38, 42, 43, 63, 64, 74>;
// The file-system agents whose NAS block-level backups an indexing-V2 find completes.
inline constexpr auto& kNasBlock = members<1, 11, 33, 34, 42, 43>;
// The Exchange agents whose items carry Exchange metadata and retention.
inline constexpr auto& kExchange = members<8, 14, code(kExchangeMailbox)>;
// The SharePoint agents.
inline constexpr auto& kSharePoint = members<code(apptype::kSharePoint), 89>;
// The agents whose filtered find searches mailboxes.
inline constexpr auto& kMailboxSearch =
    members<code(kExchangeMailbox), code(kExchangeMailboxClassic), code(kCloudMailbox), 82, 35>;
// Oracle and its cluster: data files, the table view and the retry over data files.
inline constexpr auto& kOracle = members<code(kOracleDatabase), code(kOracleRac)>;
// Oracle for SAP.
inline constexpr auto& kOracleSap = members<100061, 100079>;
// The virtual machines browsed as an image or, with the exact-browse option, exactly; their paths are
// corrected before the index lookup.
inline constexpr auto& kVirtualMachine = members<65, 75, 76, 87>;
// The virtual machines whose unknown items at the root are directories.
inline constexpr auto& kVirtualMachineRootDirectories = members<65, 75>;
// The databases that offer a table view.
inline constexpr auto& kTableView =
    members<code(kOracleDatabase), code(kOracleRac), code(kPostgreSql), 104, 135, 37, 62, 61, 128, 103, 5, 3>;
// The agents whose subclient content items are browsed into (listed as directories).
inline constexpr auto& kBrowsedContent =
    members<0, 1, 10, 11, 12, 13, 17, 18, 19, 20, 21, 24, 25, 29, 33, 34, 36, 38, 39, 40, 41, 42, 43, 48, 58,
            63, 64, 65, 66, 75, 83, 86, 88>;
// The agents whose data an end user sees only in part, narrowed to his own by the browse of the one
// entity: his mailbox (54, 56, 137), his OneDrive folder (134), the virtual machines he holds a right
// on (106). A find across clients, which narrows nothing, searches none of them for an end user.
inline constexpr auto& kNarrowedForEndUser =
    members<code(kExchangeMailbox), code(kExchangeMailboxClassic), code(kExchangeMonorun), code(kOneDrive),
            code(kVirtualServer)>;
// The agents whose paths compare without case.
inline constexpr auto& kCaseInsensitive = members<code(kWindowsFileSystem)>;

}  // namespace family

// True when `appType` belongs to `family` (one of apptype::family::k...).
template <std::size_t N>
constexpr bool in(const EAppType (&family)[N], EAppType appType) {
    for (EAppType member : family)
        if (appType == member) return true;
    return false;
}

}  // namespace apptype
