// The application types named in code and their traits, generated from apptypes.def (the one place
// each code is written). Constants only; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace apptype {

#define APP_TYPE(name, code, mailbox) inline constexpr int64_t k##name = code;
#include "platform/entities/apptypes.def"
#undef APP_TYPE

// True when `appType` is browsed as mailboxes.
constexpr bool isMailbox(int64_t appType) {
#define APP_TYPE(name, code, mailbox) \
    if (appType == code) return mailbox;
#include "platform/entities/apptypes.def"
#undef APP_TYPE
    return false;
}

// The families of application types: each class the code tests is written here once. Where two
// families overlap but differ, the product's own rules differ, and the comment says how.
namespace family {

// The file-system agents.
inline constexpr int64_t kFileSystem[] = {11, 17, 18, 19, 20, 21, 29, 33, 34, 36, 40, 42, 43, 48, 63, 64, 74};
// The agents whose volumes a block-level (VM) browse mounts: the file-system agents and OneDrive,
// whose cache is a volume of its own.
inline constexpr int64_t kBlockLevel[] = {11, 17, 18, 19, 20, 21, 29, 33, 34, 36, 40, 42, 43, 48, 63, 64, 74, 134};
// The agents a cloud laptop backs up: the file-system agents of the laptop plans (with 1 and 38,
// without the server-only 40 and 48).
inline constexpr int64_t kCloudLaptop[] = {1, 11, 17, 18, 19, 20, 21, 29, 33, 34, 36, 38, 42, 43, 63, 64, 74};
// The file-system agents whose NAS block-level backups an indexing-V2 find completes.
inline constexpr int64_t kNasBlock[] = {1, 11, 33, 34, 42, 43};
// The Exchange agents whose items carry Exchange metadata and retention.
inline constexpr int64_t kExchange[] = {8, 14, kExchangeMailbox};
// The SharePoint agents.
inline constexpr int64_t kSharePoint[] = {apptype::kSharePoint, 89};
// The agents whose filtered find searches mailboxes.
inline constexpr int64_t kMailboxSearch[] = {kExchangeMailbox, kExchangeMailboxClassic, kCloudMailbox, 82, 35};
// Oracle and its cluster: data files, the table view and the retry over data files.
inline constexpr int64_t kOracle[] = {kOracleDatabase, kOracleRac};
// Oracle for SAP.
inline constexpr int64_t kOracleSap[] = {100061, 100079};
// The virtual machines browsed as an image or, with the exact-browse option, exactly; their paths are
// corrected before the index lookup.
inline constexpr int64_t kVirtualMachine[] = {65, 75, 76, 87};
// The virtual machines whose unknown items at the root are directories.
inline constexpr int64_t kVirtualMachineRootDirectories[] = {65, 75};
// The databases that offer a table view.
inline constexpr int64_t kTableView[] = {kOracleDatabase, kOracleRac, kPostgreSql, 104, 135, 37, 62, 61, 128, 103, 5, 3};
// The agents whose paths compare without case.
inline constexpr int64_t kCaseInsensitive[] = {kWindowsFileSystem};

}  // namespace family

// True when `appType` belongs to `family` (one of apptype::family::k...).
template <typename T, std::size_t N>
constexpr bool in(const int64_t (&family)[N], T appType) {
    for (int64_t code : family)
        if (static_cast<int64_t>(appType) == code) return true;
    return false;
}

}  // namespace apptype
