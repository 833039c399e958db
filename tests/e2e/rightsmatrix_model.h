// The rights matrix's model of the demo world: what each user of the world may see of each entity, at a
// path, by an operation, written from the world's definition (who holds which right on which client,
// who owns which mailbox, OneDrive folder and virtual machine), never from the service's code; and the
// judge of an answer against it: the administrator's answer to the same request, narrowed where the
// user's right is narrowed, or the refusal every refused cell gives. Pure functions; any thread.
#pragma once

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/entities/apptypes.h"
#include "platform/hubdemo/hubdemo.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consoleoutput.h"

namespace rightsmodel {

// The refusal of data a user may not browse, whatever it is and whether it exists.
inline const std::string kNotAuthorised = "Browse access denied: you are not authorised to browse this data.";

// A path as compared here: forward slashes, no doubled or trailing slash, case folded (GUIDs and the
// mailbox and OneDrive names the world uses compare without case).
inline std::string normal(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    std::string out;
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    if (out.empty() || out[0] != '/') out.insert(out.begin(), '/');
    return out;
}
// `path` is `root` or below it.
inline bool within(const std::string& path, const std::string& root) {
    return root == "/" || path == root ||
           (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

enum class EOp { kList, kCount, kVersions, kFind, kFindAcross, kMedia, kEraseDryRun, kMine };

// How a request names its entity: the console's own way (client name, subclient id), other names of
// the same entity, and names of nothing that exists.
enum class EForm {
    kIds,
    kClientId,       // the client by its id
    kSubclientName,  // the subclient by its name, without its id
    kBackupSetGuid,  // the backup set by its GUID, without the subclient
    kBackupSetId,    // the backup set by its id, without the subclient
    kUnknownClient,  // a client the Hubmaster does not know
    kUnknownSubclient,
    kOtherClientsSubclient,  // a subclient of another client
    kUnknownSubclientName,
    kUnknownBackupSet,       // a backup set id no backup set has
    kOtherClientsBackupSet,  // a backup set of another client
    kUnknownBackupSetGuid,   // the last form
};
inline bool namesNothingThatExists(EForm form) {
    return form >= EForm::kUnknownClient;
}

struct TEntity {
    std::string client;
    long clientId = 0;
    long subclient = 0;  // 0: the client named alone
    long appType = 0;    // recorded (0 for a client named alone)
    std::string subclientName, backupSetGuid;
    std::vector<std::string> paths;  // where cells browse: the canonical paths first
    size_t canonical = 0;            // how many of them are canonical (the model judges those exactly)
    long backupSetId = 0;
};

// What the model expects of a cell.
struct TExpect {
    enum EKind {
        kAsAdmin,        // the administrator's answer to the same request
        kRefused,        // the refusal of data the user may not browse, exit 3
        kRefusedSaying,  // a refusal (exit 3) saying `text`
        kNarrowed,       // the administrator's answer kept to what lies at, below or on the way to `roots`
        kAsAdminAt,      // the administrator's answer to the same request at `path`
        kNotRefused,     // answered, or failed for a reason that is no refusal
        kNotAccepted,    // not answered: refused, or failed
    } kind = kAsAdmin;
    std::string text;
    std::vector<std::string> roots;  // normal paths
    std::string path;
};

// The world's users and what each holds (the README's table of users), for the model.
class CWorldModel {
public:
    // `holds`: the application types each client's subclients hold (client id, type).
    CWorldModel(const hubdemo::DemoWorld& world, std::set<std::pair<long, long>> holds)
        : m_world(world), m_holds(std::move(holds)) {}

    // A right on client `clientId` or on anything of it (0: none, or one the Hubmaster does not know).
    bool seesClient(const std::string& login, long clientId) const;
    // What `login` gets for `e` at `path` by `op`, claiming `claimed`, naming it by `form`.
    TExpect expect(const std::string& login, const TEntity& e, const std::string& path, EOp op,
                   int64_t claimed, EForm form) const;
    // Whether a find across clients by `login` searches subclient `subclientId` (of type `appType`) of
    // client `clientId`.
    bool searches(const std::string& login, long clientId, long appType) const;

private:
    TExpect endUserOfMailboxes(const std::string& login, long appType, const std::string& path, EOp op) const;
    TExpect oliviaSees(const TEntity& e, long appType, const std::string& path, EOp op) const;
    TExpect vmOwnerSees(const TEntity& e, long type, const std::string& path) const;

    const hubdemo::DemoWorld& m_world;
    const std::set<std::pair<long, long>> m_holds;
};

// The refusals the rules give, in their words.
inline const std::string kNarrowedMedia = "the media of a restore are worked out for the whole subclient";
inline const std::string kVirtualMachineRight = "a virtual machine is browsed with a browse right on it";
inline const std::string kNoOwnMailbox = "the mailbox directory records none of yours";
inline const std::string kNoOlderLayoutMailbox =
    "yours has no path in the layout of before the client's upgrade";

// What of an answer the judge compares: exit, error, and the items, counts and media as sorted text.
struct TAnswer {
    int exit = 0;
    std::string error;
    std::vector<std::string> items, counts, media;
};
TAnswer answerOf(int exit, const TConsoleResult& r);
// The items of `a` kept to those at, below or on the way to `roots`.
std::vector<std::string> narrowed(const std::vector<std::string>& items,
                                  const std::vector<std::string>& roots);
// "" when `user` is what `expect` says given the administrator's `admin` (and `adminAt`, the
// administrator's answer at expect.path); else what differs.
std::string judge(const TExpect& expect, const TAnswer& user, const TAnswer& admin, const TAnswer* adminAt);

}  // namespace rightsmodel
