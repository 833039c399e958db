#include "service/vmcopyprecedence.h"

#include <strings.h>

#include <algorithm>
#include <iterator>
#include <list>
#include <memory>

#include "Db/Tbl/APP_Application.h"
#include "appbrowse/fastbrowsehm_vsa.h"
#include "appbrowse/fbhmvsautils.h"
#include "appbrowse/vmbrowseview.h"
#include "fbDebug/fbdebug.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/requestscope.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/recordedkind.h"
#include "platform/entities/zyclient.h"
#include "service/directtaskprep.h"
#include "service/routerfields.h"

namespace {

using namespace routerfields;
using E = ZyEntities::GenericEntity::f;
using R = databrowse::BrowseRequest::f;

constexpr const char* kTag = "FBHMROUTER";
constexpr int kBackupCopy = -4;
constexpr unsigned long kCloudInstanceType = 402;
constexpr int kWindowsOsIds[] = {2,  3,  4,  5,  21, 24, 27,  34,  35,  39,  46,  48,  62, 63,
                                 64, 65, 66, 67, 93, 94, 200, 208, 209, 210, 211, 212, 213};

bool namesUser(const databrowse::BrowseRequest& request) {
    const CNMessageBase* user = child(child(&request, R::caller), ZyEntities::Msg74::f::user);
    return !textOf(&request, R::userName).empty() || !textOf(&request, R::token).empty() ||
           !textOf(user, ZyEntities::UserEntity::f::userName).empty() ||
           intOf(user, ZyEntities::UserEntity::f::userId) != 0;
}

// The client of a machine GUID: by its instance UUID property, else by its virtual-server GUID; 0 when
// neither names one.
unsigned long machineClient(const std::string& guid, CBrowseLog& log) {
    std::list<_AppClientInfo> clients;
    std::string error;
    int rc = ClientProperties::getClientInfoWithProperty(clients, CVSALiveBrowse::kVmInstanceUuidProperty,
                                                         guid, error, nullptr);
    if (rc != 0 || clients.empty()) {
        clients.clear();
        error.clear();
        rc = ClientProperties::getClientInfoWithProperty(clients, CVSALiveBrowse::kVirtualServerGuidProperty,
                                                         guid, error, nullptr);
        if (rc != 0) {
            log.debugLvl(0, "Unable to get clients for VMGUID [%s] with error [%s]", guid.c_str(),
                         error.c_str());
            return 0;
        }
    }
    return clients.empty() ? 0 : static_cast<unsigned long>(clients.front().clientId);
}

// The virtual-server instance type of an application; 0 when it is no virtual-server instance or
// cannot be read.
bool vsInstanceType(unsigned long kelmarchId, unsigned long subclientId, unsigned long& type,
                    std::unique_ptr<Instance>& instance) {
    instance = ApplicationId(kelmarchId, subclientId).getInstance(nullptr);
    auto* vs = dynamic_cast<InstanceTypeVirtualServer*>(instance.get());
    return vs && vs->getInstanceType(type) == 0;
}

unsigned long instanceTypeOf(TDirectTask& t, CBrowseLog& log) {
    const CNMessageBase* e = entity(t.request);
    auto kelmarchId = static_cast<unsigned long>(intOf(e, E::kelmarchId));
    auto subclientId = static_cast<long>(intOf(e, E::subclientId));
    const auto backupSetId = static_cast<unsigned long>(intOf(e, E::backupsetId));
    // The subclient named, or the backup set's first, and its kelmarch, as the database records them.
    if (subclientId <= 0 || kelmarchId <= 1) {
        TEntityKind kind;
        std::string error;
        const EEntityKindRead read =
            readEntityKind(zydb::CRequestReads::current(), subclientId > 0 ? subclientId : 0,
                           static_cast<long>(backupSetId), kind, &error);
        if (read == EEntityKindRead::kRecorded) {
            if (subclientId <= 0 || kelmarchId <= 1) kelmarchId = static_cast<unsigned long>(kind.kelmarchId);
            subclientId = kind.readSubclientId;
        } else {
            log.debugLvl(0, "Unable to read subclient [%ld] of backup set [%lu]: %s", subclientId,
                         backupSetId, read == EEntityKindRead::kUnreadable ? error.c_str() : "not recorded");
        }
    }
    unsigned long type = 0;
    std::unique_ptr<Instance> instance;
    if (!vsInstanceType(kelmarchId, static_cast<unsigned long>(subclientId), type, instance)) return 0;
    if (type != 0) return type;
    // A VM's own instance: the type is its hypervisor's, through the parent backup set.
    PropertiesList properties;
    instance->getProperties(properties, nullptr);
    for (const ApplProperty& p : properties) {
        if (strcasecmp(p.getName().c_str(), "Discovered VM Instance") != 0 ||
            std::atoi(p.getValue().c_str()) != 1)
            continue;
        APP_Application parent(nullptr);
        parent.setIsolationType(4);
        parent.setTop(1);
        parent.setWhere(
            "backupSet in (select ParentBackupSetId from APP_VMBackupSet WITH(NOLOCK) where "
            "ChildBackupSetId=%lu)",
            backupSetId);
        if (parent.getOneRow(&parent, false, -1, 0) == 0) {
            std::unique_ptr<Instance> parentInstance;
            vsInstanceType(static_cast<unsigned long>(parent.getDataPtr()->origKMId),
                           static_cast<unsigned long>(parent.getDataPtr()->id), type, parentInstance);
        }
        break;
    }
    return type;
}

}  // namespace

int resolveVmCopyPrecedence(TDirectTask& t, int copyPrecedence) {
    const databrowse::BrowseRequest& request = t.request;
    const int64_t op = intOf(&request, R::opType);
    const CNMessageBase* o = options(request);
    if (t.appType != apptype::kVirtualServer || copyPrecedence != 0 || (op != 0 && op != 1) ||
        intOf(o, databrowse::BrowseOptions::f::at3_3) == 0 || !namesUser(request))
        return copyPrecedence;
    CBrowseLog log(kTag);
    int prefer = 1;
    ZYPlatformInfo::getRegInt("~Indexing", "PREFER_BACKUP_COPY", &prefer);
    if (prefer == 0) {
        log.debugLvl(
            0,
            "PREFER_BACKUP_COPY during browse is disabled. Browse from Snap backup of Linux VM could fail "
            "for Azure instance.");
        return 0;
    }
    if (prefer == 2) {
        log.debugLvl(1, "Resetting copyPrecedence from %d to %d as per registry setting", copyPrecedence,
                     kBackupCopy);
        return kBackupCopy;
    }

    bool windows = false, unix = false;
    if (auto* paths = const_cast<databrowse::BrowseRequest&>(request).getlistobject(R::paths, false)) {
        for (const CNMessageBase& entry : *paths) {
            const std::string guid = CBrowseVSAUtils::ExtractVMGUID(
                CVMBrowseView::oneLeadingSeparator(entry.getstring(databrowse::BrowsePath::f::path)));
            const unsigned long client = CBrowseVSAUtils::IsVMGUID(guid) ? machineClient(guid, log) : 0;
            if (client == 0) continue;
            int osId = 0;
            if (ZYClient(client).getOperatingSystemId(osId) != 0) {
                log.debugLvl(0, "Unable to check OS type for client ID [%lu]", client);
                continue;
            }
            if (std::find(std::begin(kWindowsOsIds), std::end(kWindowsOsIds), osId) !=
                std::end(kWindowsOsIds))
                windows = true;
            else
                unix = true;
        }
    }
    log.debugLvl(0, "VM Type Windows VM : [%d] Unix VM : [%d] VM Type Unknown : [%d]", windows, unix, 0);
    if (!unix) return 0;
    if (instanceTypeOf(t, log) != kCloudInstanceType) return 0;
    log.debugLvl(1, "Resetting copyPrecedence from %d to %d", copyPrecedence, kBackupCopy);
    t.request.getObjectAccessor(R::advOptions, true)
        ->setint64(databrowse::Msg63::f::copyPrecedence, kBackupCopy);
    return kBackupCopy;
}
