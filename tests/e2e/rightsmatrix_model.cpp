#include "tests/e2e/rightsmatrix_model.h"

#include <map>

namespace rightsmodel {

namespace {

constexpr int64_t kLargestId = 0x7FFFFFFF;

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The types whose data the README gives an end user only in part: his own mailbox, his own OneDrive
// folder; and the virtual machines, which need a browse right of their own.
bool is(long type, apptype::EAppType named) {
    return type == apptype::code(named);
}
bool isMailbox(long type) {
    return is(type, apptype::kExchangeMailbox) || is(type, apptype::kExchangeMailboxClassic) ||
           is(type, apptype::kExchangeMonorun);
}
bool narrowedForEndUser(long type) {
    return isMailbox(type) || is(type, apptype::kOneDrive) || is(type, apptype::kVirtualServer);
}

TExpect refused() {
    TExpect e;
    e.kind = TExpect::kRefused;
    return e;
}
TExpect refusedSaying(std::string text) {
    TExpect e;
    e.kind = TExpect::kRefusedSaying;
    e.text = std::move(text);
    return e;
}
TExpect narrowedTo(std::vector<std::string> roots) {
    TExpect e;
    e.kind = TExpect::kNarrowed;
    for (std::string& root : roots) e.roots.push_back(normal(root));
    return e;
}
TExpect asAdmin() {
    return TExpect{};
}

std::string pathOfItem(const std::string& item) {
    return item.substr(0, item.find('|'));
}

std::string differs(const char* what, const std::vector<std::string>& got,
                    const std::vector<std::string>& want) {
    if (got == want) return {};
    std::string out = std::string(what) + ": " + std::to_string(got.size()) + " where " +
                      std::to_string(want.size()) + " were due";
    for (const std::string& g : got)
        if (std::find(want.begin(), want.end(), g) == want.end()) return out + "; [" + g + "] not due";
    for (const std::string& w : want)
        if (std::find(got.begin(), got.end(), w) == got.end()) return out + "; [" + w + "] missing";
    return out;
}

std::string sameAs(const TAnswer& user, const TAnswer& admin, bool errorToo) {
    if (user.exit != admin.exit)
        return "exit " + std::to_string(user.exit) + " [" + user.error + "] where the administrator's was " +
               std::to_string(admin.exit) + " [" + admin.error + "]";
    if (errorToo && user.error != admin.error)
        return "error [" + user.error + "] where the administrator's was [" + admin.error + "]";
    if (std::string d = differs("items", user.items, admin.items); !d.empty()) return d;
    if (std::string d = differs("counts", user.counts, admin.counts); !d.empty()) return d;
    return differs("media", user.media, admin.media);
}

}  // namespace

bool CWorldModel::seesClient(const std::string& login, long clientId) const {
    const zyent::AppBrowseWorld& apps = m_world.apps;
    if (login == "admin" || login == "TENANT\\olivia") return true;  // rights on every client
    if (clientId <= 0) return false;
    if (login == "alice") return clientId == m_world.fileClient;
    if (login == "EXCH\\mary" || login == "EXCH\\sam" || login == "EXCH\\dan")
        return clientId == apps.mailboxClient;
    if (login == "vmowner")  // his virtual machine, and the hypervisor that protects it
        return clientId == m_world.vsa.vms.front().clientId || clientId == m_world.vsa.client;
    return false;
}

bool CWorldModel::searches(const std::string& login, long clientId, long appType) const {
    if (login == "admin") return true;
    if (login == "alice") return clientId == m_world.fileClient;
    // An end user's right on every client searches what she sees all of.
    if (login == "TENANT\\olivia") return !narrowedForEndUser(appType);
    if (login == "vmowner") return clientId == m_world.vsa.vms.front().clientId;
    return false;
}

TExpect CWorldModel::expect(const std::string& login, const TEntity& e, const std::string& path, EOp op,
                            int64_t claimed, EForm form) const {
    // A number that names no type at all is refused as such, to everyone, before the entity is read.
    if (claimed < -1 || claimed > kLargestId) return asAdmin();
    if (!seesClient(login, form == EForm::kUnknownClient ? 0 : e.clientId)) return refused();
    // What is wrong with the entity is told to whoever may see its client, as to the administrator.
    if (namesNothingThatExists(form)) return asAdmin();
    if (e.subclient > 0 && claimed > 0 && claimed != e.appType) return asAdmin();
    // A client named alone with a type it holds no subclient of.
    if (e.subclient == 0 && claimed > 0 && !m_holds.count({e.clientId, static_cast<long>(claimed)}))
        return asAdmin();
    if (op == EOp::kEraseDryRun) {
        // Only alice holds the delete capability, on her client.
        TExpect erase;
        erase.kind = login == "alice" && e.clientId == m_world.fileClient ? TExpect::kNotRefused
                                                                          : TExpect::kNotAccepted;
        return erase;
    }
    if (login == "admin" || login == "alice") return asAdmin();
    const long type = e.subclient > 0 ? e.appType : static_cast<long>(std::max<int64_t>(claimed, 0));
    if (login == "TENANT\\olivia") return oliviaSees(e, type, path, op);
    if (login == "vmowner") return vmOwnerSees(e, type, path);
    return endUserOfMailboxes(login, type, path, op);
}

TExpect CWorldModel::endUserOfMailboxes(const std::string& login, long type, const std::string& path,
                                        EOp op) const {
    const zyent::AppBrowseWorld& apps = m_world.apps;
    if (!isMailbox(type)) return asAdmin();
    const std::string own = "/mb/" + lower(login == "EXCH\\mary"  ? apps.ownerGuid
                                           : login == "EXCH\\sam" ? apps.strangerGuid
                                                                  : apps.delegateGuid);
    const std::string p = normal(path);
    if (p == "/" || p == "/mb") {
        // His own mailbox in the older layout is the one made before the client's upgrade: sam's was not.
        if (is(type, apptype::kExchangeMailboxClassic) && login == "EXCH\\sam")
            return refusedSaying(kNoOlderLayoutMailbox);
        if (op == EOp::kMedia) return refusedSaying(kNarrowedMedia);
        return narrowedTo({own});
    }
    if (!within(p, own)) return refused();
    if (op == EOp::kMedia) return refusedSaying(kNarrowedMedia);
    return asAdmin();
}

TExpect CWorldModel::oliviaSees(const TEntity& e, long type, const std::string& path, EOp op) const {
    const zyent::AppBrowseWorld& apps = m_world.apps;
    if (is(type, apptype::kVirtualServer)) return refusedSaying(kVirtualMachineRight);
    if (isMailbox(type)) return refusedSaying(kNoOwnMailbox);  // she has none
    if (!is(type, apptype::kOneDrive)) return asAdmin();
    if (op == EOp::kMedia) return refusedSaying(kNarrowedMedia);
    // A OneDrive client named alone names no instance, whose provider decides how she is narrowed:
    // refused, never widened.
    if (e.subclient == 0) return refused();
    const std::string own = "/onedrive/" + lower(apps.oneDriveEmail);
    const std::string p = normal(path);
    if (e.clientId != apps.oneDriveV1Client) return narrowedTo({own});  // V2: her object id's items
    // V1: the way down to her folder leads to it; another folder is refused.
    if (p == "/" || p == "/onedrive") {
        TExpect at;
        at.kind = TExpect::kAsAdminAt;
        at.path = "\\OneDrive\\" + apps.oneDriveEmail;
        return at;
    }
    return within(p, own) ? asAdmin() : refused();
}

TExpect CWorldModel::vmOwnerSees(const TEntity& e, long type, const std::string& path) const {
    const auto& vm = m_world.vsa.vms.front();
    if (e.clientId == vm.clientId) return asAdmin();
    // Of the hypervisor's virtual machines (its own, or it named alone as a hypervisor), his virtual
    // machine by its GUID, and nothing else of it.
    if (is(type, apptype::kVirtualServer) && within(normal(path), normal("/" + vm.guid))) return asAdmin();
    return refused();
}

TAnswer answerOf(int exit, const TConsoleResult& r) {
    TAnswer a;
    a.exit = exit;
    a.error = r.error;
    for (const TConsoleItem& i : r.items)
        a.items.push_back(normal(i.path) + "|" + std::to_string(i.size) + "|" + std::to_string(i.modified) +
                          "|" + std::to_string(i.version) + "|" + (i.deleted ? "deleted" : "") + "|" +
                          i.client);
    for (const auto& [id, count] : r.counts) a.counts.push_back(id + "=" + std::to_string(count));
    for (const TConsoleMedia& m : r.media) a.media.push_back(std::to_string(m.archiveFileId));
    for (auto* list : {&a.items, &a.counts, &a.media}) std::sort(list->begin(), list->end());
    return a;
}

std::vector<std::string> narrowed(const std::vector<std::string>& items,
                                  const std::vector<std::string>& roots) {
    std::vector<std::string> out;
    for (const std::string& item : items) {
        const std::string path = pathOfItem(item);
        for (const std::string& root : roots)
            if (within(path, root) || within(root, path)) {
                out.push_back(item);
                break;
            }
    }
    return out;
}

std::string judge(const TExpect& expect, const TAnswer& user, const TAnswer& admin, const TAnswer* adminAt) {
    const bool nothing = user.items.empty() && user.counts.empty() && user.media.empty();
    switch (expect.kind) {
        case TExpect::kAsAdmin:
            return sameAs(user, admin, true);
        case TExpect::kAsAdminAt:
            return adminAt ? sameAs(user, *adminAt, false) : "no administrator's answer at " + expect.path;
        case TExpect::kRefused:
            if (user.exit == kExitRefused && user.error == kNotAuthorised && nothing) return {};
            return "exit " + std::to_string(user.exit) + " [" + user.error + "] where the refusal of data " +
                   "one may not browse was due";
        case TExpect::kRefusedSaying:
            if (user.exit == kExitRefused && nothing && user.error.find(expect.text) != std::string::npos)
                return {};
            return "exit " + std::to_string(user.exit) + " [" + user.error + "] where a refusal saying [" +
                   expect.text + "] was due";
        case TExpect::kNotRefused:
            return user.exit == kExitRefused ? "refused [" + user.error + "]" : std::string();
        case TExpect::kNotAccepted:
            return user.exit == kExitOk ? "accepted" : std::string();
        case TExpect::kNarrowed:
            break;
    }
    const std::vector<std::string> due = narrowed(admin.items, expect.roots);
    if (std::string d = differs("items", user.items, due); !d.empty()) return d;
    if (!user.media.empty()) return "media of a narrowed sight";
    if (admin.exit != kExitOk && (user.exit != admin.exit || user.error != admin.error))
        return "exit " + std::to_string(user.exit) + " [" + user.error + "] where the administrator's was " +
               std::to_string(admin.exit) + " [" + admin.error + "]";
    // An answer narrowed to nothing may say there is nothing there; never that it is refused.
    if (admin.exit == kExitOk && user.exit != kExitOk && (!due.empty() || user.exit == kExitRefused))
        return "exit " + std::to_string(user.exit) + " [" + user.error + "]";
    // A count of a narrowed sight counts no more than the administrator's.
    std::map<std::string, long long> most;
    for (const std::string& c : admin.counts)
        most[c.substr(0, c.find('='))] = std::stoll(c.substr(c.find('=') + 1));
    for (const std::string& c : user.counts)
        if (std::stoll(c.substr(c.find('=') + 1)) > most[c.substr(0, c.find('='))]) return "count " + c;
    return {};
}

}  // namespace rightsmodel
